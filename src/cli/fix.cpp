// SPDX-License-Identifier: MIT
// --fix: the audit, the rewrite of every rate field to the suggested rate when
// the verdict is a rewrite, then the audit again.
#include <string>

#include "audit/audit.hpp"
#include "audit/report.hpp"
#include "cli/cli.hpp"
#include "io/interrupt.hpp"

namespace psrate {
namespace {

using Json = nlohmann::ordered_json;

struct FixRun {
  const Options* options = nullptr;
  std::span<uint8_t> window;
  OutBuffer* out = nullptr;
  const char* program = nullptr;
};

// The audit of the file, read only: 1 on failure (reported), else 0.
int audit_file(const FixRun& run, Measurement& m, Verdict& v) {
  StreamFile file;
  if (!file_open(file, run.options->path, OpenMode::Read)) {
    report(Failure::Open, run.program, file_cause(Failure::Open, run.options->path, file.error));
    return 1;
  }
  m = Measurement{};
  ByteSource source = file_source(file);
  Failure failure = measure_stream(source, run.window, m);
  source.close(source.context);  // read only: a close cannot lose a write
  if (failure != Failure::None) {
    report(failure, run.program, file_cause(failure, run.options->path, file.error));
    return 1;
  }
  v = judge(m);
  return 0;
}

// The rewrite to the suggested rate, walking as the audit did.
PassOutcome rewrite_file(const FixRun& run, const Verdict& v, int& status) {
  PassOutcome outcome;
  StreamFile file;
  const char* path = run.options->path;
  if (!file_open(file, path, OpenMode::ReadWrite)) {
    report(Failure::Open, run.program, file_cause(Failure::Open, path, file.error));
    status = 1;
    outcome.failure = Failure::Open;
    return outcome;
  }
  PassOptions pass;
  pass.mode = RunMode::Rewrite;
  pass.walk = {v.fix_resync, v.fix_past_end};
  pass.bitrate = uint32_t(v.suggested_rate);
  pass.quiet = run.options->pass.quiet || run.options->json;  // stdout holds the JSON
  pass.encoding = console_encoding(kStdout);
  pass.interactive = is_terminal(kStdout);
  catch_interrupts();
  pass.stop = interrupt_flag();
  ByteSource source = file_source(file);
  outcome = run_pass(source, run.window, *run.out, pass);
  bool output_ok = flush(*run.out);
  std::string notes;
  if (outcome.failure == Failure::Interrupted) {
    notes = interrupted_note(outcome.interrupted_at);
    status = 130;
  } else if (outcome.failure != Failure::None) {
    std::string cause;
    if (outcome.failure != Failure::Output) cause = file_cause(outcome.failure, path, file.error);
    report(outcome.failure, run.program, cause);
    status = 1;
    return outcome;
  } else {
    put_notes(notes, outcome, pass);
    status = output_ok ? 0 : 1;
  }
  write_all(kStderr, notes.data(), notes.size());
  return outcome;
}

std::string why_nothing_is_written(const Verdict& v) {
  switch (v.remedy_needed) {
    case Remedy::Remux:
      return "Nothing written: the verdict is remux. The SCRs themselves exceed the profile, "
             "and rate fields that disagree with them would only hide it.";
    case Remedy::Reencode:
      return "Nothing written: the verdict is reencode. No rate field makes the elementary "
             "streams fit the profile.";
    case Remedy::Rewrite:
    case Remedy::None: break;
  }
  return v.problem ? "Nothing written: no rewrite of the rate fields fixes the problems above."
                   : "Nothing written: the rate fields need no fix.";
}

std::string fixed_line(const PassOutcome& o, uint64_t rate) {
  return std::string("Fixed: ") + std::to_string(o.packs) +
         (o.packs == 1 ? " pack header" : " pack headers") + std::string(" and ") +
         std::to_string(o.system_headers) +
         (o.system_headers == 1 ? " system header" : " system headers") + " set to " +
         std::to_string(rate) + " bit/s";
}

}  // namespace

int fix_file(const Options& options, std::span<uint8_t> window, OutBuffer& out,
             const char* program) {
  static Measurement measurement;
  FixRun run{&options, window, &out, program};
  Verdict before;
  if (audit_file(run, measurement, before) != 0) return 1;
  Json j;
  if (options.json)
    j["before"] = json_report(options.path, measurement, before);
  else
    put_report(out, options.path, measurement, before);
  if (before.remedy_needed != Remedy::Rewrite) {
    if (options.json) {
      j["written"] = nullptr;
      j["after"] = nullptr;
      put_json(out, j);
    } else {
      put_char(out, '\n');
      put_wrapped_text(out, why_nothing_is_written(before));
    }
    if (!flush(out)) return 1;
    return before.problem ? 2 : 0;
  }
  if (!flush(out)) return 1;
  int status = 0;
  PassOutcome written = rewrite_file(run, before, status);
  if (status != 0) return status;
  Verdict after;
  if (audit_file(run, measurement, after) != 0) return 1;
  if (options.json) {
    j["written"] = {{"packs", written.packs},
                    {"system_headers", written.system_headers},
                    {"rate", before.suggested_rate}};
    j["after"] = json_report(options.path, measurement, after);
    put_json(out, j);
  } else {
    put_char(out, '\n');
    put(out, fixed_line(written, before.suggested_rate));
    put_char(out, '\n');
    put_verdict_lines(out, options.path, after);
  }
  if (!flush(out)) return 1;
  return after.problem ? 2 : 0;
}

}  // namespace psrate
