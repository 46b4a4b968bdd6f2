#include "rewrite/rewrite.hpp"

#include <cstring>

namespace psrate {

int64_t progress_percent(int64_t done, int64_t size) {
  if (size / 100 != 0) return done / (size / 100);
  return size == 0 ? 0 : done * 100 / size;
}

void put_progress(RateRewriter& r, uint64_t done, char end) {
  OutBuffer& out = *r.out;
  int64_t size = int64_t(r.file_size);
  put(out, text(Text::Progress, r.encoding));
  put_dec(out, int64_t(done));
  put_char(out, '/');
  put_dec(out, size);
  put(out, text(Text::Bytes, r.encoding));
  put(out, " (");
  put_dec(out, progress_percent(int64_t(done), size));
  put(out, "%)");
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
    if (!file_seek(*r.file, unit.offset + field.at)) return Failure::Seek;
    if (!file_write(*r.file, field.bytes.data(), field.bytes.size())) return Failure::Write;
  }
  put_progress(r, w.base, '\r');
  return Failure::None;
}

}  // namespace psrate
