#include "io/scan.hpp"

#include <cstring>

namespace psrate {
namespace {

Failure refill(StreamFile& file, ReadWindow& w, RunMode mode) {
  // Rewriting moves the file position, and a skipped unit leaves it behind the new base.
  if ((mode == RunMode::Rewrite || w.skipped) && !file_seek(file, w.base + w.carried))
    return Failure::Seek;
  size_t got = 0;
  if (!file_read(file, w.buffer.data() + w.carried, w.buffer.size() - w.carried, got))
    return Failure::Read;
  w.last_read = got;
  w.filled = w.carried + got;
  w.pos = 0;
  return Failure::None;
}

void rebase(ReadWindow& w) {
  w.base += w.pos;
  w.skipped = w.pos > w.filled;
  w.carried = w.pos < w.filled ? w.filled - w.pos : 0;
  if (w.carried > 0) std::memmove(w.buffer.data(), w.buffer.data() + w.pos, w.carried);
}

// A system header that runs past the window while the file still delivers data
// is decoded after the refill, so that its whole stream table is listed.
bool carry_whole(const Unit& u, const ReadWindow& w, RunMode mode) {
  return mode == RunMode::Dump && u.kind == UnitKind::SystemHeader && w.last_read != 0 &&
         w.pos + u.length > w.filled && u.length < w.buffer.size();
}

}  // namespace

Failure scan_stream(StreamFile& file, ReadWindow& w, const ScanConfig& config) {
  w.base = 0;
  w.carried = 0;
  w.skipped = false;
  for (;;) {
    if (Failure f = refill(file, w, config.mode); f != Failure::None) return f;
    for (;;) {
      size_t margin = w.last_read != 0 ? kDecodeMargin : kStartCodeBytes;
      if (w.pos + margin > w.filled) break;
      std::span<const uint8_t> data(w.buffer.data() + w.pos, w.filled - w.pos);
      Unit unit;
      if (frame_unit(data, w.base + w.pos, unit) == Framing::CutOff) break;
      if (carry_whole(unit, w, config.mode)) break;
      if (Failure f = config.on_unit(config.context, unit, w); f != Failure::None) return f;
      if (unit.kind == UnitKind::EndCode) return Failure::None;
      w.pos += unit.length;
    }
    rebase(w);
    if (w.last_read == 0) return Failure::None;
  }
}

}  // namespace psrate
