#include "io/scan.hpp"

#include <cstring>

namespace psrate {
namespace {

// The three bytes after a unit that a resynchronising walk reads to trust it.
constexpr size_t kNextPrefixBytes = 3;

Failure refill(StreamFile& file, ReadWindow& w, RunMode mode) {
  // Rewriting moves the file position, and so does a skipped unit or a look
  // past the window: the read must then seek to the new base.
  if ((mode == RunMode::Rewrite || w.skipped) && !file_seek(file, w.base + w.carried))
    return Failure::Seek;
  w.skipped = false;
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
  w.skipped = w.skipped || w.pos > w.filled;
  w.carried = w.pos < w.filled ? w.filled - w.pos : 0;
  if (w.carried > 0) std::memmove(w.buffer.data(), w.buffer.data() + w.pos, w.carried);
}

// A system header that runs past the window while the file still delivers data
// is decoded after the refill, so that its whole stream table is listed.
bool carry_whole(const Unit& u, const ReadWindow& w, RunMode mode) {
  return mode == RunMode::Dump && u.kind == UnitKind::SystemHeader && w.last_read != 0 &&
         w.pos + u.length > w.filled && u.length < w.buffer.size();
}

// --- what a resynchronising walk takes ---

// Pack headers, system headers, PES packets and the end code: 00 00 01 B9..FF.
// Anything else above zero stuffing is not a program stream unit (00 00 01
// 00..B8 are video-layer codes, found only inside a PES payload).
bool off_stream(uint32_t start_code) {
  return start_code > 0xFF && (start_code < 0x000001B9 || start_code > 0x000001FF);
}

// The marker bits of a pack header whose fixed bytes lie in d.
bool pack_markers(std::span<const uint8_t> d, const PackHeader& p) {
  if (p.mpeg1)
    return (d[4] & 0xF1) == 0x21 && (d[6] & 0x01) && (d[8] & 0x01) && (d[9] & 0x80) &&
           (d[11] & 0x01);
  return (d[4] & 0xC4) == 0x44 && (d[6] & 0x04) && (d[8] & 0x04) && (d[9] & 0x01) &&
         (d[12] & 0x03) == 0x03;
}

// 00 00 01 (the next start code) or 00 00 00 (zero stuffing).
bool next_prefix(const uint8_t* b) { return b[0] == 0 && b[1] == 0 && b[2] <= 1; }

enum class Verdict : uint8_t { Take, Search, Carry, Peek };

// A framed unit at the front of d. The bytes after it count only when they
// lie in the data read; while the file still delivers data they are waited for.
Verdict judge(const Unit& u, std::span<const uint8_t> d, const ReadWindow& w) {
  if (u.kind == UnitKind::EndCode || u.kind == UnitKind::ZeroStuffing) return Verdict::Take;
  if (u.kind == UnitKind::Pack && !pack_markers(d, u.pack)) return Verdict::Search;
  if (u.length <= d.size() && d.size() - u.length >= kNextPrefixBytes)
    return next_prefix(d.data() + u.length) ? Verdict::Take : Verdict::Search;
  if (w.last_read == 0) return Verdict::Take;
  // A unit is at most 65,541 bytes: only a window smaller than that cannot carry it.
  return u.length + kNextPrefixBytes <= w.buffer.size() ? Verdict::Carry : Verdict::Peek;
}

// The three bytes after a unit too long for the window, read from the file.
Failure peek_next(StreamFile& file, ReadWindow& w, uint64_t at, Verdict& verdict) {
  if (!file_seek(file, at)) return Failure::Seek;
  w.skipped = true;  // the file position no longer follows the window
  uint8_t b[kNextPrefixBytes];
  size_t have = 0;
  while (have < kNextPrefixBytes) {
    size_t got = 0;
    if (!file_read(file, b + have, kNextPrefixBytes - have, got)) return Failure::Read;
    if (got == 0) break;
    have += got;
  }
  verdict = have < kNextPrefixBytes || next_prefix(b) ? Verdict::Take : Verdict::Search;
  return Failure::None;
}

// A pack header that the walk would take at the front of d.
bool takes_pack(std::span<const uint8_t> d) {
  Unit u;
  if (d.size() < kStartCodeBytes || get_u32(d, 0) != 0x000001BA) return false;
  if (frame_unit(d, 0, u) == Framing::CutOff || !pack_markers(d, u.pack)) return false;
  return u.length > d.size() || d.size() - u.length < kNextPrefixBytes ||
         next_prefix(d.data() + u.length);
}

// Where a search picks up the stream: a pack header that would be taken, or an
// end code that ends the data or is directly followed by such a pack header.
bool resumes_at(std::span<const uint8_t> d) {
  if (takes_pack(d)) return true;
  if (get_u32(d, 0) != 0x000001B9) return false;
  return d.size() == kStartCodeBytes || takes_pack(d.subspan(kStartCodeBytes));
}

// The first position in [from, last] where the search ends, judged on the
// filled data; every candidate begins 00 00 01, so the scan runs on memchr.
// last + 4 must lie within the filled data.
bool find_resume(const ReadWindow& w, size_t from, size_t last, size_t& at) {
  const uint8_t* data = w.buffer.data();
  std::span<const uint8_t> filled(data, w.filled);
  for (size_t q = from; q <= last;) {
    const void* hit = std::memchr(data + q + 2, 0x01, last - q + 1);
    if (hit == nullptr) return false;
    size_t c = size_t(static_cast<const uint8_t*>(hit) - data) - 2;
    if (data[c] == 0 && data[c + 1] == 0 && (data[c + 3] == 0xBA || data[c + 3] == 0xB9) &&
        resumes_at(filled.subspan(c))) {
      at = c;
      return true;
    }
    q = c + 1;
  }
  return false;
}

Unit skipped_range(uint64_t from, uint64_t to) {
  Unit u{};
  u.kind = UnitKind::Skipped;
  u.offset = from;
  u.length = to - from;
  return u;
}

}  // namespace

Failure scan_stream(StreamFile& file, ReadWindow& w, const ScanConfig& config) {
  w.base = 0;
  w.carried = 0;
  w.skipped = false;
  bool searching = false;  // a resynchronising search is under way since skip_from
  uint64_t skip_from = 0;
  for (;;) {
    if (Failure f = refill(file, w, config.mode); f != Failure::None) return f;
    for (;;) {
      size_t margin = w.last_read != 0 ? kDecodeMargin : kStartCodeBytes;
      if (w.pos + margin > w.filled) break;
      if (searching) {
        // Byte by byte, each position with its margin: the first position
        // without one is where the window moves on, as for any unit.
        size_t at = 0;
        if (!find_resume(w, w.pos, w.filled - margin, at)) {
          w.pos = w.filled - margin + 1;
          break;
        }
        w.pos = at;
        searching = false;
        Unit skipped = skipped_range(skip_from, w.base + w.pos);
        if (Failure f = config.on_unit(config.context, skipped, w); f != Failure::None) return f;
      }
      std::span<const uint8_t> data(w.buffer.data() + w.pos, w.filled - w.pos);
      if (config.resync && off_stream(get_u32(data, 0))) {
        searching = true;
        skip_from = w.base + w.pos;
        continue;
      }
      Unit unit;
      if (frame_unit(data, w.base + w.pos, unit) == Framing::CutOff) break;
      if (carry_whole(unit, w, config.mode)) break;
      if (config.resync) {
        Verdict verdict = judge(unit, data, w);
        if (verdict == Verdict::Carry) break;
        if (verdict == Verdict::Peek) {
          Failure f = peek_next(file, w, unit.offset + unit.length, verdict);
          if (f != Failure::None) return f;
        }
        if (verdict == Verdict::Search) {
          searching = true;
          skip_from = unit.offset;
          continue;
        }
      }
      if (Failure f = config.on_unit(config.context, unit, w); f != Failure::None) return f;
      if (unit.kind == UnitKind::EndCode) {
        if (!config.past_end) return Failure::None;
        w.pos += kStartCodeBytes;
        continue;
      }
      w.pos += unit.length;
    }
    if (searching && w.last_read == 0) {
      // Fewer than 4 bytes remain: the skipped range runs to the end of the data.
      w.pos = w.filled;
      searching = false;
      Unit skipped = skipped_range(skip_from, w.base + w.pos);
      if (Failure f = config.on_unit(config.context, skipped, w); f != Failure::None) return f;
    }
    rebase(w);
    if (w.last_read == 0) return Failure::None;
  }
}

}  // namespace psrate
