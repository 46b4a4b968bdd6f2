// SPDX-License-Identifier: MIT
#include "cli/batch.hpp"

#include <algorithm>

#include "audit/report.hpp"
#include "io/interrupt.hpp"
#include "text/offsets.hpp"

namespace psrate {
namespace {

using Json = nlohmann::ordered_json;

}  // namespace

std::string naming(const std::string& notes, const WorkUnit& unit) {
  std::string named;
  size_t at = 0;
  while (at < notes.size()) {
    size_t end = notes.find('\n', at);
    end = end == std::string::npos ? notes.size() : end + 1;
    std::string_view line(notes.data() + at, end - at);
    if (line.substr(0, 8) == "psrate: ")
      named += "psrate: " + unit.name + ": " + std::string(line.substr(8));
    else
      named += line;
    at = end;
  }
  return named;
}

namespace {

// "== NAME ==" before each report of several.
void put_heading(Batch& b, const WorkUnit& unit) {
  if (!b.several || b.options->json) return;
  if (b.units_done > 0) put_char(*b.out, '\n');
  put(*b.out, "== ");
  put(*b.out, unit.name);
  put(*b.out, " ==\n");
}

// The audit of one unit and its report.
void check_unit(Batch& b, const WorkUnit& unit) {
  static Measurement m;
  Verdict v;
  if (!audit_unit(b, unit, m, v)) return;
  if (b.options->json) {
    put_json_unit(b, json_report(unit.name, m, v));
  } else {
    put_report(*b.out, unit.name, m, v);
  }
  set_report_parts(nullptr);
  b.rows.push_back(summary_row(unit.name, m, v));
  b.problem = b.problem || v.problem;
}

// A rewrite (--rate) or a listing (--join) of one unit; 130 when interrupted.
int pass_unit(Batch& b, const WorkUnit& unit) {
  const Options& o = *b.options;
  OpenedUnit opened;
  bool rewrite = o.pass.mode == RunMode::Rewrite;
  if (!open_unit(opened, unit, rewrite ? OpenMode::ReadWrite : OpenMode::Read)) {
    fail_unit(b, unit, Failure::Open, unit_cause(Failure::Open, opened));
    return 0;
  }
  PassOptions pass = o.pass;
  if (rewrite) watch_interrupts(pass);
  PassOutcome outcome = run_pass(opened.source, b.window, *b.out, pass);
  bool incomplete = false;
  int status = end_pass(b, unit, opened, outcome, pass, incomplete);
  b.incomplete = b.incomplete || incomplete;
  return status == 130 ? 130 : 0;
}

std::string cell(std::string text, size_t width) {
  if (text.size() > width) text = "..." + text.substr(text.size() - (width - 3));
  return text + std::string(width - text.size(), ' ');
}

std::string right(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string seconds_text(uint64_t ms) {
  std::string frac = std::to_string(ms % 1000);
  return std::to_string(ms / 1000) + "." + std::string(3 - frac.size(), '0') + frac;
}

// One row a unit, within 80 columns: the name's end when it is long.
void put_summary(Batch& b) {
  OutBuffer& out = *b.out;
  put(out, "\nSummary:\n");
  put(out, cell("name", 26) + " profile duration (s) needed b/s declared b/s verdict\n");
  for (const SummaryRow& r : b.rows) {
    std::string line = cell(r.name, 26) + " ";
    if (r.failed) {
      put(out, line + "failed\n");
      continue;
    }
    line += cell(r.profile, 7) + " ";
    line += right(r.has_presentation ? seconds_text(r.presentation_ms) : "-", 12) + " ";
    line += right(r.has_needed ? std::to_string(r.needed_rate) : "-", 10) + " ";
    line += right(r.has_declared ? std::to_string(r.declared_rate) : "-", 12) + " ";
    line += r.verdict == Remedy::None ? "none" : std::string(remedy_name(r.verdict));
    put(out, line + "\n");
  }
}

// An interrupt that came while a unit was audited (after a rewrite the
// handler stays): the run stops before the next unit.
bool interrupted() {
  const volatile std::sig_atomic_t* flag = interrupt_flag();
  return flag != nullptr && *flag != 0;
}

int interrupted_between(const Batch& b, const WorkUnit& unit) {
  flush(*b.out);
  std::string note = "psrate: interrupted after " + unit.name + ": the files after it were not " +
                     "processed; run the same command again to finish\n";
  write_all(kStderr, note.data(), note.size());
  return 130;
}

int unit_status(const Batch& b) {
  if (b.failed) return 1;
  if (b.problem) return 2;
  return b.incomplete ? 3 : 0;
}

}  // namespace

void put_json_unit(Batch& b, const Json& j) {
  if (!b.several) return put_json(*b.out, j);
  std::string text = j.dump(2, ' ', true, Json::error_handler_t::replace);
  put(*b.out, b.json_objects++ == 0 ? "[\n" : ",\n");
  // an element of the array: each line two spaces in
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    put(*b.out, "  ");
    put(*b.out, std::string_view(text).substr(at, end - at));
    if (end < text.size()) put_char(*b.out, '\n');
    at = end + 1;
  }
}

void fail_unit(Batch& b, const WorkUnit& unit, Failure failure, const std::string& cause) {
  flush(*b.out);
  report(failure, b.program, cause);
  b.failed = true;
  SummaryRow row;
  row.name = unit.name;
  row.failed = true;
  b.rows.push_back(row);
  if (b.several && b.options->json) {
    std::string why = cause.rfind("psrate: ", 0) == 0 ? cause.substr(8) : cause;
    put_json_unit(b, Json{{"file", unit.name}, {"error", why}});
  }
}

void watch_interrupts(PassOptions& pass) {
  pass.encoding = console_encoding(kStdout);
  pass.interactive = is_terminal(kStdout);
  catch_interrupts();
  pass.stop = interrupt_flag();
}

int end_pass(Batch& b, const WorkUnit& unit, OpenedUnit& opened, const PassOutcome& outcome,
             const PassOptions& pass, bool& incomplete) {
  bool output_ok = flush(*b.out);
  std::string notes;
  if (outcome.failure == Failure::Interrupted) {
    notes = interrupted_note(outcome.interrupted_at);
  } else if (outcome.failure != Failure::None) {
    std::string cause;
    if (outcome.failure != Failure::Output) cause = unit_cause(outcome.failure, opened);
    fail_unit(b, unit, outcome.failure, cause);
    return 1;
  } else {
    incomplete = put_notes(notes, outcome, pass) != 0;
  }
  if (b.several) notes = naming(notes, unit);
  write_all(kStderr, notes.data(), notes.size());
  if (outcome.failure == Failure::Interrupted) return 130;
  if (!output_ok) b.failed = true;
  return 0;
}

std::string folder_cause(const WorkUnit& unit) {
  if (unit.empty_folder)
    return "psrate: '" + shown(unit.name.c_str()) + "': no program stream file in this folder";
  return file_cause(Failure::Open, unit.name.c_str(), unit.error);
}

std::string unit_cause(Failure failure, OpenedUnit& opened) {
  return file_cause(failure, unit_failed_path(opened).c_str(), unit_error(opened));
}

SummaryRow summary_row(const std::string& name, const Measurement& m, const Verdict& v) {
  SummaryRow r;
  r.name = name;
  r.profile = std::string(profile_name(v.profile));
  r.has_presentation = v.presentation.known;
  r.presentation_ms = v.presentation.ms;
  r.has_needed = v.has_timing;
  r.needed_rate = v.needed_rate;
  r.has_declared = m.packs > 0;
  r.declared_rate = uint64_t(m.mux_max) * kBitsPerRateUnit;
  r.verdict = v.remedy_needed;
  return r;
}

bool audit_unit(Batch& b, const WorkUnit& unit, Measurement& m, Verdict& v) {
  if (unit.failed) {
    fail_unit(b, unit, Failure::Open, folder_cause(unit));
    return false;
  }
  static OpenedUnit opened;
  opened = OpenedUnit{};
  if (!open_unit(opened, unit, OpenMode::Read)) {
    fail_unit(b, unit, Failure::Open, unit_cause(Failure::Open, opened));
    return false;
  }
  m = Measurement{};
  static PstdModel buffers;
  pstd_reset(buffers);
  // the decoder buffers play on in a second thread while the walk reads on
  static uint8_t spare[2][kWindowSize];
  size_t n = b.window.size() == kWindowSize ? kWindowSize : 0;
  Failure failure =
      measure_stream(opened.source, b.window, m, &buffers,
                     {std::span<uint8_t>(spare[0], n), std::span<uint8_t>(spare[1], n)});
  opened.source.close(opened.source.context);  // read only: a close cannot lose a write
  if (failure != Failure::None) {
    fail_unit(b, unit, failure, unit_cause(failure, opened));
    return false;
  }
  v = judge(m);
  judge_buffers(buffers, m, v);
  set_report_parts(opened.is_joined ? &opened.joined : nullptr);
  return true;
}

// One unit as the options ask; 130 when interrupted, else 0.
int do_unit(Batch& b, const WorkUnit& unit) {
  const Options& o = *b.options;
  if (o.check) {
    check_unit(b, unit);
    return 0;
  }
  if (o.fix) return fix_unit(b, unit);
  if (!unit.failed) return pass_unit(b, unit);
  fail_unit(b, unit, Failure::Open, folder_cause(unit));
  return 0;
}

int run_units(const Options& o, std::span<uint8_t> window, OutBuffer& out, const char* program) {
  std::vector<WorkUnit> units;
  for (int i = 0; i < o.file_count; ++i) expand_operand(o.files[i], units);
  if (o.join && !units.empty()) units = {joined_unit(units)};
  Batch b;
  b.options = &o;
  b.window = window;
  b.out = &out;
  b.program = program;
  b.several = units.size() > 1;
  if (units.empty()) {  // folders without a stream file
    report(Failure::Open, program, "psrate: no program stream file in the folders given");
    return 1;
  }
  for (const WorkUnit& unit : units) {
    put_heading(b, unit);
    int stop = do_unit(b, unit);
    ++b.units_done;
    if (stop == 0 && interrupted()) stop = interrupted_between(b, unit);
    if (stop != 0) {
      if (b.several && o.json && b.json_objects > 0) put(out, "\n]\n");
      flush(out);
      return stop;
    }
  }
  if (b.several && o.json && b.json_objects > 0) put(out, "\n]\n");
  if (b.several && !o.json && (o.check || o.fix)) put_summary(b);
  if (!flush(out)) return 1;
  return unit_status(b);
}

}  // namespace psrate
