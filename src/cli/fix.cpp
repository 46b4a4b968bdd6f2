// SPDX-License-Identifier: MIT
// --fix: the audit, the rewrite of every rate field to the suggested rate when
// the verdict is a rewrite, then the audit again.
#include <string>

#include "audit/audit.hpp"
#include "audit/report.hpp"
#include "cli/batch.hpp"
#include "cli/cli.hpp"

namespace psrate {
namespace {

using Json = nlohmann::ordered_json;

// The rewrite to the suggested rate, walking as the audit did; 130 when
// interrupted, 1 on failure (reported), else 0.
int rewrite_unit(Batch& b, const WorkUnit& unit, const Verdict& v, PassOutcome& outcome) {
  OpenedUnit opened;
  if (!open_unit(opened, unit, OpenMode::ReadWrite)) {
    fail_unit(b, unit, Failure::Open, unit_cause(Failure::Open, opened));
    return 1;
  }
  PassOptions pass;
  pass.mode = RunMode::Rewrite;
  pass.walk = {v.fix_resync, v.fix_past_end};
  pass.bitrate = uint32_t(v.suggested_rate);
  pass.quiet = b.options->pass.quiet || b.options->json;  // stdout holds the JSON
  watch_interrupts(pass);
  outcome = run_pass(opened.source, b.window, *b.out, pass);
  bool incomplete = false;
  return end_pass(b, unit, opened, outcome, pass, incomplete);
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

int fix_unit(Batch& b, const WorkUnit& unit) {
  static Measurement measurement;
  OutBuffer& out = *b.out;
  bool json = b.options->json;
  Verdict before;
  if (!audit_unit(b, unit, measurement, before)) return 0;
  Json j;
  if (json)
    j["before"] = json_report(unit.name, measurement, before);
  else
    put_report(out, unit.name, measurement, before);
  set_report_parts(nullptr);
  if (before.remedy_needed != Remedy::Rewrite) {
    if (json) {
      j["written"] = nullptr;
      j["after"] = nullptr;
      put_json_unit(b, j);
    } else {
      put_char(out, '\n');
      put_wrapped_text(out, why_nothing_is_written(before));
    }
    b.rows.push_back(summary_row(unit.name, measurement, before));
    b.problem = b.problem || before.problem;
    return 0;
  }
  if (!flush(out)) b.failed = true;
  PassOutcome written;
  if (int status = rewrite_unit(b, unit, before, written); status != 0)
    return status == 130 ? 130 : 0;
  Verdict after;
  if (!audit_unit(b, unit, measurement, after)) return 0;
  if (json) {
    j["written"] = {{"packs", written.packs},
                    {"system_headers", written.system_headers},
                    {"rate", before.suggested_rate}};
    j["after"] = json_report(unit.name, measurement, after);
    put_json_unit(b, j);
  } else {
    put_char(out, '\n');
    put(out, fixed_line(written, before.suggested_rate));
    put_char(out, '\n');
    put_verdict_lines(out, unit.name, after);
  }
  set_report_parts(nullptr);
  b.rows.push_back(summary_row(unit.name, measurement, after));
  b.problem = b.problem || after.problem;
  return 0;
}

}  // namespace psrate
