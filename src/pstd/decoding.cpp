// SPDX-License-Identifier: MIT
#include "pstd/decoding.hpp"

#include <array>

namespace psrate {
namespace {

struct FrameRate {
  uint32_t n, d;
};
constexpr std::array<FrameRate, 9> kFrameRates{{{0, 1},
                                                {24000, 1001},
                                                {24, 1},
                                                {25, 1},
                                                {30000, 1001},
                                                {30, 1},
                                                {50, 1},
                                                {60000, 1001},
                                                {60, 1}}};

// a x k / m, exactly: the denominator grows by m.
Instant scaled(const Instant& a, int64_t k, uint64_t m) { return {a.num * k, a.den * m}; }

}  // namespace

Instant frame_period(const Sequence& s) {
  if (s.frame_rate_code == 0 || s.frame_rate_code >= kFrameRates.size()) return {0, 1};
  FrameRate r = kFrameRates[s.frame_rate_code];
  uint64_t ext_n = s.mpeg2 ? s.frame_rate_extension_n + 1u : 1u;
  uint64_t ext_d = s.mpeg2 ? s.frame_rate_extension_d + 1u : 1u;
  return {SignedWide(kTicksPerSecond27) * r.d * ext_d, uint64_t(r.n) * ext_n};
}

Instant display_duration(const Sequence& s, const Picture& p) {
  Instant t = frame_period(s);
  if (!s.mpeg2) return t;
  if (p.structure != 3) return scaled(t, 1, 2);
  int64_t rff = p.repeat_first_field ? 1 : 0, tff = p.top_field_first ? 1 : 0;
  if (s.progressive_sequence) return scaled(t, 1 + rff * (1 + tff), 1);
  return scaled(t, 2 + rff, 2);
}

Instant video_period(VideoClock& clock, const Sequence& s, const Picture& p) {
  Instant own = display_duration(s, p);
  if (p.type == PictureType::B || s.low_delay) return own;
  Instant period = clock.has_anchor   ? clock.anchor_duration
                   : p.structure != 3 ? scaled(frame_period(s), 1, 2)
                                      : frame_period(s);
  clock.has_anchor = true;
  clock.anchor_duration = own;
  return period;
}

}  // namespace psrate
