// SPDX-License-Identifier: MIT
#include "ps/walk.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace psrate {
namespace {

// The three bytes after a unit that a resynchronising walk reads to trust it.
constexpr size_t kNextPrefixBytes = 3;

// --- what a resynchronising walk takes ---

// Pack headers, system headers, PES packets and the end code: 00 00 01 B9..FF.
// Anything else above zero stuffing is not a program stream unit.
bool off_stream(uint32_t start_code) { return start_code > 0xFF && !is_stream_code(start_code); }

// 00 00 01 (the next start code) or 00 00 00 (zero stuffing).
bool next_prefix(const uint8_t* b) { return b[0] == 0 && b[1] == 0 && b[2] <= 1; }

enum class Verdict : uint8_t { Take, Search, Carry, Peek };

// A framed unit at the front of d. The bytes after it count only when they
// lie in the data read; while the source still delivers data they are waited for.
Verdict judge(const Unit& u, std::span<const uint8_t> d, const ReadWindow& w) {
  if (u.kind == UnitKind::EndCode || u.kind == UnitKind::ZeroStuffing) return Verdict::Take;
  if (u.kind == UnitKind::Pack && !u.pack.markers) return Verdict::Search;
  if (d.size() >= u.length + kNextPrefixBytes)  // a unit is at most 65,541 bytes: no overflow
    return next_prefix(d.data() + u.length) ? Verdict::Take : Verdict::Search;
  if (w.last_read == 0) return Verdict::Take;
  // Only a window smaller than the longest unit cannot carry it.
  return u.length + kNextPrefixBytes <= w.buffer.size() ? Verdict::Carry : Verdict::Peek;
}

// A pack header that the walk would take at the front of d.
bool takes_pack(std::span<const uint8_t> d) {
  Unit u;
  if (d.size() < kStartCodeBytes || get_u32(d, 0) != 0x000001BA) return false;
  if (frame_unit(d, 0, u) == Framing::CutOff || !u.pack.markers) return false;
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

// A unit that runs past the window while the source still delivers data, of a
// kind the consumer must see whole, is taken after the refill.
bool carry_whole(const Walker& w) {
  const ReadWindow& win = w.window;
  const Unit& u = w.unit;
  return (w.whole & kind_bit(u.kind)) != 0 && win.last_read != 0 &&
         win.pos + u.length > win.filled && u.length < win.buffer.size();
}

void begin_search(Walker& w) {
  w.searching = true;
  w.skip_from = w.unit.offset;
}

// The search ends at `at`: the bytes from skip_from on are one skipped range.
Step end_search(Walker& w, size_t at) {
  ReadWindow& win = w.window;
  win.pos = at;
  w.searching = false;
  w.unit = Unit{};
  w.unit.kind = UnitKind::Skipped;
  w.unit.offset = w.skip_from;
  w.unit.length = win.base + at - w.skip_from;
  w.unit.window_base = win.base;
  return Step::Unit;
}

// Nothing more to frame here. A search that meets the end of the data makes
// the rest of it one skipped range.
Step window_end(Walker& w) {
  if (w.searching && w.window.last_read == 0) return end_search(w, w.window.filled);
  return Step::WindowEnd;
}

void mark_damaged(Walker& w, uint64_t at) {
  w.facts.damaged = true;
  w.facts.damaged_at = at;
}

// The default walk takes every unit; it judges each as --resync would, to say
// where the stream is damaged. The bytes after a unit count when they lie in
// the source: in this window, or at the front of the next.
void judge_in_passing(Walker& w, std::span<const uint8_t> d) {
  const Unit& u = w.unit;
  if (u.kind == UnitKind::Pack && !u.pack.markers) return mark_damaged(w, u.offset);
  if (u.kind == UnitKind::EndCode || u.kind == UnitKind::ZeroStuffing) return;
  if (d.size() >= u.length + kNextPrefixBytes) {
    if (!next_prefix(d.data() + u.length)) mark_damaged(w, u.offset);
  } else if (w.window.last_read != 0) {
    w.next_unjudged = true;
    w.next_unjudged_unit = u.offset;
  }
}

// The bytes after the last unit of a window, now at the parse position.
void judge_deferred(Walker& w) {
  const ReadWindow& win = w.window;
  if (win.pos <= win.filled && win.filled - win.pos >= kNextPrefixBytes) {
    if (!next_prefix(win.buffer.data() + win.pos)) mark_damaged(w, w.next_unjudged_unit);
  } else if (win.last_read != 0) {
    return;  // not read yet
  }
  w.next_unjudged = false;
}

// The unit framed at the parse position: the step it makes, or none when a
// search for the stream begins there.
std::optional<Step> judge_unit(Walker& w) {
  ReadWindow& win = w.window;
  std::span<const uint8_t> data = win.buffer.subspan(win.pos, win.filled - win.pos);
  Framing framing = frame_unit(data, win.base + win.pos, w.unit);
  w.unit.window_base = win.base;
  // The margin leaves the start code in the data: it is judged before the fixed
  // bytes, so a start code that is none is damage even in a unit the file cuts.
  if (off_stream(w.unit.start_code)) {
    if (w.options.resync) {
      begin_search(w);
      return std::nullopt;
    }
    if (!w.facts.damaged) mark_damaged(w, w.unit.offset);
  }
  if (framing == Framing::CutOff || carry_whole(w)) return window_end(w);
  if (!w.options.resync) {
    if (!w.facts.damaged) judge_in_passing(w, data);
    return Step::Unit;
  }
  switch (judge(w.unit, data, win)) {
    case Verdict::Take: return Step::Unit;
    case Verdict::Carry: return window_end(w);
    case Verdict::Peek: return Step::Peek;
    case Verdict::Search: break;
  }
  begin_search(w);
  return std::nullopt;
}

}  // namespace

void start_walk(Walker& w, std::span<uint8_t> buffer, KindSet whole) {
  ReadWindow& win = w.window;
  win = ReadWindow{};
  win.buffer = buffer;
  w.whole = whole;
  w.searching = w.peeked_take = w.stopping = w.next_unjudged = false;
  w.skip_from = w.data_end = 0;
  w.facts = WalkFacts{};
}

Failure refill(Walker& w) {
  ReadWindow& win = w.window;
  size_t got = 0;
  std::span<uint8_t> into = win.buffer.subspan(win.carried);
  if (Failure f = w.source.read_at(w.source.context, win.base + win.carried, into, got);
      f != Failure::None)
    return f;
  win.last_read = got;
  win.filled = win.carried + got;
  win.pos = 0;
  // A read past a unit that ran beyond the data meets nothing: no data ends there.
  if (got > 0) w.data_end = std::max(w.data_end, win.base + win.filled);
  return Failure::None;
}

Step next_step(Walker& w) {
  if (w.peeked_take) {
    w.peeked_take = false;
    return Step::Unit;
  }
  if (w.stopping) return Step::Stop;
  if (w.next_unjudged) judge_deferred(w);
  ReadWindow& win = w.window;
  for (;;) {
    size_t margin = win.last_read != 0 ? kDecodeMargin : kStartCodeBytes;
    if (win.pos + margin > win.filled) return window_end(w);
    if (w.searching) {
      // Byte by byte, each position with its margin: the first position
      // without one is where the window moves on, as for any unit.
      size_t at = 0;
      if (find_resume(win, win.pos, win.filled - margin, at)) return end_search(w, at);
      win.pos = win.filled - margin + 1;
      return window_end(w);
    }
    if (std::optional<Step> step = judge_unit(w)) return *step;
  }
}

namespace {

// An end code that ends the walk, with a pack start code after it: files joined with cat.
void stop_at_end_code(Walker& w) {
  const ReadWindow& win = w.window;
  w.stopping = true;
  size_t after = win.pos + kStartCodeBytes;
  // The decode margin keeps the four bytes in the window while data still comes.
  if (after + kStartCodeBytes <= win.filled && get_u32(win.buffer, after) == 0x000001BA) {
    w.facts.joined = true;
    w.facts.end_code_at = w.unit.offset;
  }
}

}  // namespace

void step_over(Walker& w) {
  switch (w.unit.kind) {
    case UnitKind::Skipped:  // the search left the parse position at the stream
      ++w.facts.skipped_ranges;
      w.facts.skipped_bytes += w.unit.length;
      return;
    case UnitKind::EndCode:
      if (w.options.past_end)
        w.window.pos += kStartCodeBytes;
      else
        stop_at_end_code(w);
      return;
    case UnitKind::Pack: ++w.facts.packs; break;
    default: break;
  }
  w.window.pos += w.unit.length;
}

// The three bytes after a unit too long for the window, read from the source.
Failure peek_next(Walker& w) {
  uint64_t at = w.unit.offset + w.unit.length;
  uint8_t b[kNextPrefixBytes];
  size_t have = 0;
  while (have < kNextPrefixBytes) {
    size_t got = 0;
    std::span<uint8_t> into(b + have, kNextPrefixBytes - have);
    if (Failure f = w.source.read_at(w.source.context, at + have, into, got); f != Failure::None)
      return f;
    if (got == 0) break;
    have += got;
  }
  if (have < kNextPrefixBytes || next_prefix(b))
    w.peeked_take = true;
  else
    begin_search(w);
  return Failure::None;
}

Failure move_window(Walker& w, bool& ended) {
  ReadWindow& win = w.window;
  win.base += win.pos;
  win.carried = win.pos < win.filled ? win.filled - win.pos : 0;
  if (!w.spare[0].empty()) {  // the units of this buffer stay as they are
    std::span<uint8_t> next = w.spare[0];
    if (win.carried > 0) std::memcpy(next.data(), win.buffer.data() + win.pos, win.carried);
    w.spare[0] = w.spare[1].empty() ? win.buffer : w.spare[1];
    if (!w.spare[1].empty()) w.spare[1] = win.buffer;
    win.buffer = next;
  } else if (win.carried > 0) {
    std::memmove(win.buffer.data(), win.buffer.data() + win.pos, win.carried);
  }
  ended = win.last_read == 0;
  return ended ? Failure::None : refill(w);
}

WalkEnd walk_end(const Walker& w, WalkStop how) {
  const ReadWindow& win = w.window;
  WalkEnd e;
  e.how = how;
  e.base = win.base;
  e.data_end = w.data_end;
  e.tail_offset = win.base;
  if (how == WalkStop::EndOfData) e.tail = win.buffer.first(win.carried);
  return e;
}

}  // namespace psrate
