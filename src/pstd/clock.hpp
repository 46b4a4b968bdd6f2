// SPDX-License-Identifier: MIT
// Exact instants of the P-STD (ISO/IEC 13818-1, 2.5.2): times in 27 MHz ticks
// as rationals, never rounded; the arrival time of a byte from its pack's SCR
// and program_mux_rate (2.5.3.4); the unwrapping of 33-bit clocks.
#pragma once

#include <cstdint>

namespace psrate {

__extension__ typedef __int128 SignedWide;

// num / den ticks of the 27 MHz clock; den > 0. A byte arrives at a time of
// denominator R (rate units), a decoding time has the denominator of its
// stream's frame or sample period: both stay below 2^32, and every numerator
// of a stream of a few days stays below 2^70, so a cross product fits 128 bits.
struct Instant {
  SignedWide num = 0;
  uint64_t den = 1;
};

constexpr Instant ticks(int64_t t) { return {t, 1}; }

// Compared exactly, by cross-multiplying.
constexpr int compare(const Instant& a, const Instant& b) {
  SignedWide l = a.num * SignedWide(b.den), r = b.num * SignedWide(a.den);
  return l < r ? -1 : l > r ? 1 : 0;
}
constexpr bool operator<(const Instant& a, const Instant& b) { return compare(a, b) < 0; }
constexpr bool operator<=(const Instant& a, const Instant& b) { return compare(a, b) <= 0; }
constexpr bool operator==(const Instant& a, const Instant& b) { return compare(a, b) == 0; }
constexpr const Instant& later(const Instant& a, const Instant& b) { return a < b ? b : a; }

// a + n / d ticks, in a's denominator when d divides it (the common case: a
// stream's decoding times all share one), else in the product of both.
constexpr Instant plus(const Instant& a, SignedWide n, uint64_t d) {
  if (a.den % d == 0) return {a.num + n * SignedWide(a.den / d), a.den};
  return {a.num * SignedWide(d) + n * SignedWide(a.den), a.den * d};
}

// The whole ticks of an instant, rounded down (reported figures only).
constexpr int64_t floor_ticks(const Instant& a) {
  SignedWide q = a.num / SignedWide(a.den);
  if (a.num % SignedWide(a.den) != 0 && a.num < 0) --q;
  return int64_t(q);
}

// The bytes of a pack arrive at program_mux_rate R from the byte that holds
// the last bit of system_clock_reference_base (the pack start code + 8):
// t(i) = SCR + (i - i') * 540000 / R, for R > 0.
struct PackClock {
  int64_t scr = 0;      // unwrapped, in ticks
  uint64_t anchor = 0;  // i': file offset of the pack start code + 8
  uint32_t rate = 1;    // R, units of 50 bytes/s
};

inline constexpr uint64_t kScrAnchor = 8;
inline constexpr int64_t kTicksPerRateByte = 540000;  // 27 MHz / 50 bytes/s

constexpr Instant arrival(const PackClock& c, uint64_t offset) {
  SignedWide bytes = SignedWide(offset) - SignedWide(c.anchor);
  return {SignedWide(c.scr) * c.rate + bytes * kTicksPerRateByte, c.rate};
}

// The bytes of [from, to) of the pack that arrive before `t`: the count k of
// bytes i with t(i) < t, found exactly (t(i) < t  <=>  i < i' + (t - SCR) R / 540000).
constexpr uint64_t bytes_before(const PackClock& c, uint64_t from, uint64_t to, const Instant& t) {
  if (!(arrival(c, from) < t)) return 0;
  // the first offset whose arrival is not before t: ceil of i' + (t - SCR) R / 540000
  SignedWide num = (t.num - SignedWide(c.scr) * SignedWide(t.den)) * c.rate;
  SignedWide den = SignedWide(t.den) * kTicksPerRateByte;
  SignedWide q = num / den;
  if (num % den != 0 && num > 0) ++q;
  SignedWide first = SignedWide(c.anchor) + q;
  if (first >= SignedWide(to)) return to - from;
  return uint64_t(first - SignedWide(from));
}

// A 33-bit clock value (a 90 kHz base or a PTS) unwrapped to the value
// congruent modulo 2^33 that lies nearest `near` (already unwrapped).
constexpr int64_t unwrap33(uint64_t value, int64_t near) {
  constexpr int64_t kWrap = int64_t(1) << 33;
  int64_t v = int64_t(value & uint64_t(kWrap - 1));
  int64_t base = near - (near % kWrap + kWrap) % kWrap;  // near rounded down to a wrap
  int64_t best = base + v;
  for (int64_t cand : {base - kWrap + v, base + kWrap + v}) {
    int64_t d1 = cand > near ? cand - near : near - cand;
    int64_t d0 = best > near ? best - near : near - best;
    if (d1 < d0) best = cand;
  }
  return best;
}

}  // namespace psrate
