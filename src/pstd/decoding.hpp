// SPDX-License-Identifier: MIT
// Decoding times of access units without a timestamp: each one's time is the
// last one's plus a period that its codec gives (ISO/IEC 13818-2, 6.3.10 and
// 6.3.11 for the display of pictures; a frame's samples for audio).
#pragma once

#include <cstdint>

#include "pstd/access_units.hpp"
#include "pstd/clock.hpp"

namespace psrate {

inline constexpr int64_t kTicksPerSecond27 = 27'000'000;

// T, the frame period: 27,000,000 x D x (frame_rate_extension_d + 1) /
// (N x (frame_rate_extension_n + 1)) ticks for a frame_rate_code of N/D;
// {0, 1} for a reserved code. MPEG-1 has no extension.
Instant frame_period(const Sequence& s);

// How long a picture is shown: MPEG-1 T; a field picture T/2; a frame
// picture T x (2 + repeat_first_field) / 2, or with progressive_sequence
// T x (1 + repeat_first_field x (1 + top_field_first)).
Instant display_duration(const Sequence& s, const Picture& p);

// The period after a picture in decode order: its own duration for a
// B-picture or with low_delay, else the duration of the I- or P-picture
// before it in the segment (a D-picture counts as I); for the segment's first
// such picture, T (T/2 for a field picture).
struct VideoClock {
  bool has_anchor = false;
  Instant anchor_duration;  // of the last I- or P-picture
};
Instant video_period(VideoClock& clock, const Sequence& s, const Picture& p);

// An audio frame of `samples` at `sample_rate`: 27,000,000 x samples / rate ticks.
constexpr Instant audio_period(uint32_t samples, uint32_t sample_rate) {
  return {SignedWide(kTicksPerSecond27) * samples, sample_rate == 0 ? 1 : sample_rate};
}

// An LPCM frame is 1/600 s.
inline constexpr Instant kLpcmPeriod{45000, 1};

}  // namespace psrate
