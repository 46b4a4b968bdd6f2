// SPDX-License-Identifier: MIT
// Decoding-time periods: the frame period of each frame_rate_code and
// extension, display durations of fields, frames and repeated fields, the
// period after each picture in decode order, and audio frames.
#include <gtest/gtest.h>

#include "pstd/decoding.hpp"

namespace psrate::test {
namespace {

Sequence mpeg2(uint8_t code, bool progressive = false, bool low_delay = false) {
  Sequence s;
  s.frame_rate_code = code;
  s.mpeg2 = true;
  s.progressive_sequence = progressive;
  s.low_delay = low_delay;
  return s;
}

Picture picture(PictureType type, uint8_t structure = 3, bool tff = false, bool rff = false) {
  Picture p;
  p.type = type;
  p.structure = structure;
  p.top_field_first = tff;
  p.repeat_first_field = rff;
  return p;
}

TEST(Decoding, FramePeriods) {
  struct Case {
    uint8_t code;
    int64_t ticks_num, ticks_den;  // the period as a fraction of ticks
  } cases[] = {
      {1, 1126125, 1}, {2, 1125000, 1}, {3, 1080000, 1}, {4, 900900, 1},
      {5, 900000, 1},  {6, 540000, 1},  {7, 450450, 1},  {8, 450000, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(frame_period(mpeg2(c.code)), (Instant{c.ticks_num, uint64_t(c.ticks_den)}))
        << int(c.code);
    Sequence m1;
    m1.frame_rate_code = c.code;
    EXPECT_EQ(frame_period(m1), frame_period(mpeg2(c.code))) << int(c.code);
  }
  EXPECT_EQ(frame_period(mpeg2(0)).num, 0);
  EXPECT_EQ(frame_period(mpeg2(9)).num, 0);
  // the extension scales the rate by (n + 1) / (d + 1): 25 x 2 / 1 = 50 fps
  Sequence doubled = mpeg2(3);
  doubled.frame_rate_extension_n = 1;
  EXPECT_EQ(frame_period(doubled), ticks(540000));
  doubled.frame_rate_extension_d = 1;
  EXPECT_EQ(frame_period(doubled), ticks(1080000));
  // MPEG-1 has no extension to read
  Sequence m1 = doubled;
  m1.mpeg2 = false;
  EXPECT_EQ(frame_period(m1), ticks(1080000));
}

TEST(Decoding, DisplayDurations) {
  const int64_t t = 1080000;  // 25 fps
  Sequence interlaced = mpeg2(3), progressive = mpeg2(3, true);
  EXPECT_EQ(display_duration(interlaced, picture(PictureType::I)), ticks(t));
  EXPECT_EQ(display_duration(interlaced, picture(PictureType::I, 3, true, true)), ticks(t * 3 / 2));
  EXPECT_EQ(display_duration(interlaced, picture(PictureType::I, 1)), ticks(t / 2));
  EXPECT_EQ(display_duration(interlaced, picture(PictureType::I, 2, false, true)), ticks(t / 2));
  EXPECT_EQ(display_duration(progressive, picture(PictureType::P)), ticks(t));
  EXPECT_EQ(display_duration(progressive, picture(PictureType::P, 3, false, true)), ticks(2 * t));
  EXPECT_EQ(display_duration(progressive, picture(PictureType::P, 3, true, true)), ticks(3 * t));
  Sequence m1;
  m1.frame_rate_code = 3;
  EXPECT_EQ(display_duration(m1, picture(PictureType::B, 1, true, true)), ticks(t));
  // 3:2 pulldown at 29.97: a repeated field is half a frame more
  EXPECT_EQ(display_duration(mpeg2(4), picture(PictureType::B, 3, true, true)),
            ticks(900900 * 3 / 2));
}

// I P B B P in decode order, 25 fps: the first anchor waits T, each later
// anchor the previous anchor's duration, each B its own.
TEST(Decoding, PeriodsInDecodeOrder) {
  const int64_t t = 1080000;
  Sequence s = mpeg2(3);
  VideoClock clock;
  EXPECT_EQ(video_period(clock, s, picture(PictureType::I, 3, true, true)), ticks(t));
  EXPECT_EQ(video_period(clock, s, picture(PictureType::P)), ticks(t * 3 / 2));  // the I's
  EXPECT_EQ(video_period(clock, s, picture(PictureType::B, 3, false, true)), ticks(t * 3 / 2));
  EXPECT_EQ(video_period(clock, s, picture(PictureType::B)), ticks(t));
  EXPECT_EQ(video_period(clock, s, picture(PictureType::D)), ticks(t));  // the P's
  // low_delay: every picture its own duration
  VideoClock low;
  Sequence ld = mpeg2(3, false, true);
  EXPECT_EQ(video_period(low, ld, picture(PictureType::P, 3, true, true)), ticks(t * 3 / 2));
  // a first field picture waits half a frame
  VideoClock fields;
  EXPECT_EQ(video_period(fields, s, picture(PictureType::I, 1)), ticks(t / 2));
  EXPECT_EQ(video_period(fields, s, picture(PictureType::P, 2)), ticks(t / 2));
}

TEST(Decoding, AudioPeriods) {
  EXPECT_EQ(audio_period(1152, 48000), ticks(648000));
  EXPECT_EQ(audio_period(1536, 48000), ticks(864000));
  // AC-3 at 44.1 kHz: 940408 + 8/49 ticks, kept exact
  Instant ac3 = audio_period(1536, 44100);
  EXPECT_EQ(floor_ticks(ac3), 940408);
  EXPECT_EQ(plus(ac3, 0, 1), ac3);
  EXPECT_EQ(floor_ticks(Instant{ac3.num * 49, ac3.den}), 27000000LL * 1536 * 49 / 44100);
  EXPECT_EQ(kLpcmPeriod, ticks(45000));
  EXPECT_EQ(audio_period(384, 32000), ticks(324000));
}

}  // namespace
}  // namespace psrate::test
