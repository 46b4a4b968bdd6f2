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
size_t format_progress(const RateRewriter& r, uint64_t done, char* line) {
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

}  // namespace

void put_progress(RateRewriter& r, uint64_t done, char end) {
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

Failure rewrite_unit(void* context, const Unit& unit, const ReadWindow& w) {
  RateRewriter& r = *static_cast<RateRewriter*>(context);
  RateField field;
  if (!rate_field_of(unit, r.rate_units, field)) return Failure::None;
  // The field lies in the header's fixed bytes, which the pass has read.
  const uint8_t* held = w.buffer.data() + w.pos + field.at;
  if (std::memcmp(held, field.bytes.data(), field.bytes.size()) != 0) {
    // On POSIX the file keeps the position itself: the write is one pwrite.
    if (!file_seek(*r.file, unit.offset + field.at)) return Failure::Seek;
    if (!file_write(*r.file, field.bytes.data(), field.bytes.size())) return Failure::Write;
  }
  put_progress(r, w.base, '\r');
  return Failure::None;
}

}  // namespace psrate
