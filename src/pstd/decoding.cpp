// SPDX-License-Identifier: MIT
#include "pstd/decoding.hpp"

#include "es/codecs.hpp"

namespace psrate {
namespace {

// a x k / m, exactly: the denominator grows by m.
Instant scaled(const Instant& a, int64_t k, uint64_t m) { return {a.num * k, a.den * m}; }

}  // namespace

Instant frame_period(const Sequence& s) {
  VideoParams v;  // the frame rate as a sequence header and its extension give it
  v.frame_rate_code = s.frame_rate_code;
  v.mpeg2 = s.mpeg2;
  v.frame_rate_extension_n = s.frame_rate_extension_n;
  v.frame_rate_extension_d = s.frame_rate_extension_d;
  Rational r = frame_rate(v);
  if (r.num == 0) return {0, 1};
  return {SignedWide(kTicksPerSecond27) * SignedWide(r.den), r.num};
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
