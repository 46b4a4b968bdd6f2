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
  bool rates = v.remedy_needed == Remedy::Rewrite;
  bool bounds = v.repairs && v.remedy_needed <= Remedy::Rewrite;
  outcome = fix_pass(opened.source, b.window, *b.out, pass, rates, bounds ? &v.repair : nullptr);
  bool incomplete = false;
  return end_pass(b, unit, opened, outcome, pass, incomplete);
}

std::string why_nothing_is_written(const Verdict& v) {
  switch (v.remedy_needed) {
    case Remedy::Remux:
      if (v.found[size_t(Finding::ScrAboveProfile)] &&
          v.severity[size_t(Finding::ScrAboveProfile)] == Severity::Problem)
        return "Nothing written: the verdict is remux. The SCRs themselves exceed the profile, "
               "and rate fields that disagree with them would only hide it.";
      return "Nothing written: the verdict is remux. The decoder buffers overflow or access "
             "units arrive late: only new SCRs change when the bytes arrive, and a new "
             "multiplex writes its own bounds.";
    case Remedy::Reencode:
      return "Nothing written: the verdict is reencode. No rate field makes the elementary "
             "streams fit the profile.";
    case Remedy::Rewrite:
    case Remedy::None: break;
  }
  return v.problem ? "Nothing written: no rewrite of the rate fields fixes the problems above."
                   : "Nothing written: the rate fields need no fix.";
}

// "Fixed: N pack headers and M system headers set to R bit/s", then the
// stream-table entries when bounds were set.
std::string fixed_line(const PassOutcome& o, const Verdict& v) {
  std::string line = "Fixed: ";
  if (v.remedy_needed == Remedy::Rewrite) {
    line += std::to_string(o.packs) + (o.packs == 1 ? " pack header" : " pack headers");
    line += " and " + std::to_string(o.system_headers);
    line += o.system_headers == 1 ? " system header" : " system headers";
    line += " set to " + std::to_string(v.suggested_rate) + " bit/s";
    if (!v.repairs) return line;
    line += "; ";
  }
  line += std::to_string(o.entries);
  line += o.entries == 1 ? " stream-table entry" : " stream-table entries";
  return line + " set to the profile's buffer sizes";
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
  // bounds are set only when no remux or new encoding is due: those write the stream anew
  bool bounds = before.repairs && before.remedy_needed <= Remedy::Rewrite;
  if (before.remedy_needed != Remedy::Rewrite && !bounds) {
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
                    {"rate", before.has_suggestion ? Json(before.suggested_rate) : Json()},
                    {"entries", written.entries}};
    j["after"] = json_report(unit.name, measurement, after);
    put_json_unit(b, j);
  } else {
    put_char(out, '\n');
    put_wrapped_text(out, fixed_line(written, before));
    put_verdict_lines(out, unit.name, after);
  }
  set_report_parts(nullptr);
  b.rows.push_back(summary_row(unit.name, measurement, after));
  b.problem = b.problem || after.problem;
  return 0;
}

}  // namespace psrate
