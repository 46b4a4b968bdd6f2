// SPDX-License-Identifier: MIT
#include "io/scan.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

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
inline bool pack_markers(std::span<const uint8_t> d, const PackHeader& p) {
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
  if (d.size() >= u.length + kNextPrefixBytes)  // a unit is at most 65,541 bytes: no overflow
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

constexpr size_t kNoCandidate = SIZE_MAX;

// The first c in [q, last] where 00 00 01 B8..BB begins; d[last + 3] must be
// readable. Sixteen positions at a time where SSE2 is there: random bytes
// pass at memory speed, where a search for the 01 alone stops every 256 bytes.
size_t next_candidate(const uint8_t* d, size_t q, size_t last) {
#if defined(__SSE2__) || defined(_M_X64)
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  const __m128i top = _mm_set1_epi8(char(0xFC));
  const __m128i b8 = _mm_set1_epi8(char(0xB8));
  auto load = [d](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at)); };
  while (q <= last && last - q >= 63) {
    // two zero bytes in a row first, 64 positions at once: rare in payloads
    // of random or compressed bytes, so the branch is all but never taken
    auto pairs = [&](size_t at) {
      return _mm_cmpeq_epi8(_mm_or_si128(load(at), load(at + 1)), zero);
    };
    __m128i any = _mm_or_si128(_mm_or_si128(pairs(q), pairs(q + 16)),
                               _mm_or_si128(pairs(q + 32), pairs(q + 48)));
    if (_mm_movemask_epi8(any) == 0) {
      q += 64;
      continue;
    }
    for (size_t end = q + 64; q < end; q += 16) {
      __m128i hit =
          _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(load(q), load(q + 1)), zero),
                        _mm_and_si128(_mm_cmpeq_epi8(load(q + 2), one),
                                      _mm_cmpeq_epi8(_mm_and_si128(load(q + 3), top), b8)));
      if (int mask = _mm_movemask_epi8(hit); mask != 0)
        return q + size_t(std::countr_zero(unsigned(mask)));
    }
  }
#endif
  for (; q <= last; ++q)
    if (d[q] == 0 && d[q + 1] == 0 && d[q + 2] == 1 && (d[q + 3] & 0xFC) == 0xB8) return q;
  return kNoCandidate;
}

// The first position in [from, last] where the search ends, judged on the
// filled data; last + 4 must lie within it.
bool find_resume(const ReadWindow& w, size_t from, size_t last, size_t& at) {
  const uint8_t* data = w.buffer.data();
  std::span<const uint8_t> filled(data, w.filled);
  for (size_t q = from; q <= last;) {
    size_t c = next_candidate(data, q, last);
    if (c == kNoCandidate) return false;
    if ((data[c + 3] == 0xBA || data[c + 3] == 0xB9) && resumes_at(filled.subspan(c))) {
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

// The pass; the resynchronising walk is its own instance, so that the default
// walk pays nothing for it.
template <bool kResync>
Failure walk(StreamFile& file, ReadWindow& w, const ScanConfig& config) {
  w.base = 0;
  w.carried = 0;
  w.skipped = false;
  // Kept apart from `config`, which the handler might reach: read once.
  const RunMode mode = config.mode;
  const bool past_end = config.past_end;
  const UnitHandler on_unit = config.on_unit;
  void* const context = config.context;
  bool searching = false;  // a resynchronising search is under way since skip_from
  uint64_t skip_from = 0;
  for (;;) {
    if (Failure f = refill(file, w, mode); f != Failure::None) return f;
    for (;;) {
      size_t margin = w.last_read != 0 ? kDecodeMargin : kStartCodeBytes;
      if (w.pos + margin > w.filled) break;
      if (kResync && searching) {
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
        if (Failure f = on_unit(context, skipped, w); f != Failure::None) return f;
      }
      std::span<const uint8_t> data(w.buffer.data() + w.pos, w.filled - w.pos);
      Unit unit;
      Framing framing = frame_unit(data, w.base + w.pos, unit);
      // The margin leaves the start code in the data: judged before the fixed bytes.
      if (kResync && off_stream(unit.start_code)) {
        searching = true;
        skip_from = unit.offset;
        continue;
      }
      if (framing == Framing::CutOff) break;
      if (carry_whole(unit, w, mode)) break;
      if constexpr (kResync) {
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
      if (Failure f = on_unit(context, unit, w); f != Failure::None) return f;
      if (unit.kind == UnitKind::EndCode) {
        if (!past_end) return Failure::None;
        w.pos += kStartCodeBytes;
        continue;
      }
      w.pos += unit.length;
    }
    if (kResync && searching && w.last_read == 0) {
      // Fewer than 4 bytes remain: the skipped range runs to the end of the data.
      w.pos = w.filled;
      searching = false;
      Unit skipped = skipped_range(skip_from, w.base + w.pos);
      if (Failure f = on_unit(context, skipped, w); f != Failure::None) return f;
    }
    rebase(w);
    if (w.last_read == 0) return Failure::None;
  }
}

}  // namespace

Failure scan_stream(StreamFile& file, ReadWindow& w, const ScanConfig& config) {
  return config.resync ? walk<true>(file, w, config) : walk<false>(file, w, config);
}

}  // namespace psrate
