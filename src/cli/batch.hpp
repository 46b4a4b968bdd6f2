// SPDX-License-Identifier: MIT
// A run over units of work (several FILEs, folders, or one joined stream):
// each unit's report or pass in turn, one JSON array for several, a summary
// table, and one exit status for all.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audit/audit.hpp"
#include "cli/cli.hpp"
#include "cli/work.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

// What the summary keeps of each unit.
struct SummaryRow {
  std::string name;
  bool failed = false;
  std::string profile;
  bool has_presentation = false;
  uint64_t presentation_ms = 0;
  bool has_needed = false;
  uint64_t needed_rate = 0;
  bool has_declared = false;
  uint64_t declared_rate = 0;
  Remedy verdict = Remedy::None;
};

struct Batch {
  const Options* options = nullptr;
  std::span<uint8_t> window;
  OutBuffer* out = nullptr;
  const char* program = nullptr;
  bool several = false;     // more than one unit: headers, a JSON array, the summary
  size_t json_objects = 0;  // written so far into the array
  size_t units_done = 0;
  std::vector<SummaryRow> rows;
  bool failed = false, problem = false, incomplete = false;
};

// One JSON object of the run: alone, or the next element of the array.
void put_json_unit(Batch& batch, const nlohmann::ordered_json& j);
// A unit that failed: its message and cause on standard error, and in a JSON
// array an object that names the file and the cause.
void fail_unit(Batch& batch, const WorkUnit& unit, Failure failure, const std::string& cause);
// The figures of a checked unit for the summary.
SummaryRow summary_row(const std::string& name, const Measurement& m, const Verdict& v);

// The audit of a unit, read only; false when it failed (reported).
bool audit_unit(Batch& batch, const WorkUnit& unit, Measurement& m, Verdict& v);

// Notes of one unit among several: each line names it ("psrate: NAME: ...").
std::string naming(const std::string& notes, const WorkUnit& unit);

// A rewrite's progress text for standard output, and Ctrl+C caught to stop it between writes.
void watch_interrupts(PassOptions& pass);
// The end of a pass over a unit: its failure reported, or its notes on standard
// error (naming the unit among several); 130 when interrupted, 1 when it
// failed, else 0. `incomplete`: a rewrite may not have reached every header.
int end_pass(Batch& batch, const WorkUnit& unit, OpenedUnit& opened, const PassOutcome& outcome,
             const PassOptions& pass, bool& incomplete);

// The cause line of a folder that could not be read, or holds no stream file.
std::string folder_cause(const WorkUnit& unit);

// The cause line of a failure of one of the unit's files.
std::string unit_cause(Failure failure, OpenedUnit& opened);

// --fix on one unit: 130 when interrupted (the run stops), else 0.
int fix_unit(Batch& batch, const WorkUnit& unit);

// Runs every unit of the command line; returns the exit status.
int run_units(const Options& options, std::span<uint8_t> window, OutBuffer& out,
              const char* program);

}  // namespace psrate
