// SPDX-License-Identifier: MIT
#include "rewrite/rewrite.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace psrate {

int64_t progress_percent(int64_t done, int64_t size) {
  if (size / 100 != 0) return done / (size / 100);
  return size == 0 ? 0 : done * 100 / size;
}

namespace {

char* append(char* p, std::string_view text) { return std::copy(text.begin(), text.end(), p); }
char* append(char* p, int64_t value) { return std::to_chars(p, p + 20, value).ptr; }

// "処理: %d/%dバイト (%d%%)" without its end.
size_t format_progress(const ProgressLine& r, uint64_t done, char* line) {
  int64_t size = int64_t(r.file_size);
  char* p = line;
  p = append(p, text(Text::Progress, r.encoding));
  p = append(p, int64_t(done));
  p = append(p, "/");
  p = append(p, size);
  p = append(p, text(Text::Bytes, r.encoding));
  p = append(p, " (");
  p = append(p, progress_percent(int64_t(done), size));
  p = append(p, "%)");
  return size_t(p - line);
}

void put_progress_lines(ProgressLine& p, uint64_t done, uint64_t lines) {
  for (uint64_t i = 0; i < lines; ++i) put_progress(p, done, '\r');
}

}  // namespace

void put_progress(ProgressLine& r, uint64_t done, char end) {
  if (r.quiet) return;
  r.shown = true;
  OutBuffer& out = *r.out;
  if (done != r.line_done) {
    r.line_length = format_progress(r, done, r.line);
    r.line_done = done;
  }
  put(out, {r.line, r.line_length});
  put_char(out, end);
  if (r.interactive && done != r.shown_base) {
    r.shown_base = done;
    flush(out);
  }
}

namespace {

// An interrupt stops the rewrite before its next write: the first header not
// rewritten is the open span's, else the walk's position.
bool stop_here(RateRewriter& r, uint64_t standing) {
  if (r.stop == nullptr || *r.stop == 0) return false;
  r.interrupted_at = r.span.size > 0 ? r.span.header : standing;
  r.span = RateSpan{};
  return true;
}

}  // namespace

// The open span goes out in one write; its progress lines follow it.
Failure RateRewriter::settle() {
  if (span.size > 0 && stop_here(*this, next_unit)) return Failure::Interrupted;
  if (span.size == 0) return Failure::None;
  RateSpan s = span;
  span = RateSpan{};
  if (Failure f = target->write_at(target->context, s.offset, {s.first, s.size});
      f != Failure::None)
    return f;
  put_progress_lines(progress, s.done, s.lines);
  return Failure::None;
}

Failure set_field(RateRewriter& r, const Unit& unit, uint32_t field_at,
                  std::span<const uint8_t> bytes) {
  // The field lies in the header's bytes, which the walk has read into the window.
  uint8_t* held = r.window.data() + (unit.bytes.data() - r.window.data()) + field_at;
  uint64_t at = unit.offset + field_at;
  if (std::memcmp(held, bytes.data(), bytes.size()) == 0) return Failure::None;
  RateSpan& span = r.span;
  uint64_t span_end = span.offset + span.size;
  if (span.size == 0 || at - span_end > kSpanGap) {
    if (Failure f = r.settle(); f != Failure::None) return f;
    span.header = unit.offset;
    span.offset = at;
    span.first = held;
    span.done = unit.window_base;
  }
  std::memcpy(held, bytes.data(), bytes.size());
  span.size = std::max(span.size, size_t(at - span.offset) + bytes.size());
  return Failure::None;
}

bool begin_unit(RateRewriter& r, const Unit& unit, Failure& f) {
  f = Failure::None;
  if (stop_here(r, unit.offset)) {
    f = Failure::Interrupted;
    return false;
  }
  r.next_unit = unit.offset + (unit.kind == UnitKind::EndCode ? kStartCodeBytes : unit.length);
  if (unit.kind != UnitKind::Skipped) return true;
  f = r.settle();
  return false;
}

void end_header(RateRewriter& r, const Unit& unit) {
  if (r.span.size > 0)
    ++r.span.lines;
  else
    put_progress(r.progress, unit.window_base, '\r');
}

// A header whose field changes joins the open span when at most kSpanGap bytes
// lie between them, the bytes between as the window holds them; else the span
// goes out and a new one starts. A field that already holds the rate is not
// written and starts no span. A skipped range ends the span: nothing is written there.
Failure RateRewriter::take(const Unit& unit) {
  Failure f;
  if (!begin_unit(*this, unit, f)) return f;
  RateField field;
  if (!rate_field_of(unit, rate_units, field)) return Failure::None;
  ++(unit.kind == UnitKind::Pack ? packs : system_headers);
  if (Failure w = set_field(*this, unit, field.at, field.bytes); w != Failure::None) return w;
  end_header(*this, unit);
  return Failure::None;
}

Failure FixRewriter::take(const Unit& unit) {
  Failure f;
  if (!begin_unit(r, unit, f)) return f;
  bool system = unit.kind == UnitKind::SystemHeader;
  if (unit.kind != UnitKind::Pack && !system) return Failure::None;
  RateField field;
  if (rates && rate_field_of(unit, r.rate_units, field)) {
    ++(system ? r.system_headers : r.packs);
    if (Failure w = set_field(r, unit, field.at, field.bytes); w != Failure::None) return w;
  }
  for (uint32_t i = 0; system && bounds != nullptr && i < unit.system.entry_count; ++i) {
    StreamEntry e = stream_entry(unit.system, i);
    uint8_t id = e.stream_id;
    uint32_t now = e.buffer_size_bound * (e.buffer_bound_scale ? 1024u : 128u);
    uint32_t want = uint32_t(bounds->units[id]) * (bounds->scale[id] ? 1024u : 128u);
    if (!bounds->set[id] || now >= want) continue;  // a bound is never lowered
    uint8_t bytes[2] = {uint8_t(0xC0 | bounds->scale[id] << 5 | bounds->units[id] >> 8),
                        uint8_t(bounds->units[id])};
    ++entries;
    if (Failure w = set_field(r, unit, uint32_t(kSystemFixedBytes + 3 * i + 1), bytes);
        w != Failure::None)
      return w;
  }
  end_header(r, unit);
  return Failure::None;
}

// An interrupt after the last write still ends the pass as interrupted, where
// the walk stood.
Failure RateRewriter::finish(const WalkEnd& end) {
  final_base = end.base;
  return stop_here(*this, next_unit) ? Failure::Interrupted : Failure::None;
}

}  // namespace psrate
