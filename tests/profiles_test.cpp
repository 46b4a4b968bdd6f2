// SPDX-License-Identifier: MIT
// The profile table: which packs name a profile, its buffer sizes by stream id,
// the video it allows; and the most common pack distance.
#include <gtest/gtest.h>

#include "audit/most_common.hpp"
#include "audit/profiles.hpp"

namespace psrate {
namespace {

TEST(Profiles, FromPackLayoutAndSize) {
  EXPECT_EQ(profile_row(true, 2048)->name, "dvd");
  EXPECT_EQ(profile_row(true, 2324)->name, "svcd");
  EXPECT_EQ(profile_row(false, 2324)->name, "vcd");
  EXPECT_EQ(profile_row(false, 2048), nullptr);
  EXPECT_EQ(profile_row(true, 2328), nullptr);
}

TEST(Profiles, BufferSizesByStreamId) {
  const ProfileRow& dvd = *profile_row(true, 2048);
  EXPECT_EQ(profile_buffer(dvd, 0xE0), 237568u);
  EXPECT_EQ(profile_buffer(dvd, 0xC0), 4096u);
  EXPECT_EQ(profile_buffer(dvd, 0xC7), 4096u);
  EXPECT_EQ(profile_buffer(dvd, 0xC8), 0u);
  EXPECT_EQ(profile_buffer(dvd, 0xBD), 59392u);
  EXPECT_EQ(profile_buffer(dvd, 0xBF), 2048u);
  EXPECT_EQ(profile_buffer(dvd, 0xE1), 0u);
  const ProfileRow& svcd = *profile_row(true, 2324);
  EXPECT_EQ(profile_buffer(svcd, 0xE0), 235520u);
  EXPECT_EQ(profile_buffer(svcd, 0xC1), 4096u);
  EXPECT_EQ(profile_buffer(svcd, 0xC2), 0u);
  const ProfileRow& vcd = *profile_row(false, 2324);
  EXPECT_EQ(profile_buffer(vcd, 0xE0), 47104u);
  EXPECT_EQ(profile_buffer(vcd, 0xC1), 0u);
}

VideoParams video(uint32_t w, uint32_t h, uint8_t rate_code, uint32_t bit_rate_value, bool mpeg2) {
  VideoParams v;
  v.width = w;
  v.height = h;
  v.frame_rate_code = rate_code;
  v.bit_rate_value = bit_rate_value;
  v.mpeg2 = mpeg2;
  return v;
}

TEST(Profiles, VideoInsideAndOutside) {
  const ProfileRow& dvd = *profile_row(true, 2048);
  const ProfileRow& svcd = *profile_row(true, 2324);
  const ProfileRow& vcd = *profile_row(false, 2324);
  EXPECT_TRUE(video_fits(dvd, video(720, 576, 3, 24500, true)));    // PAL, 9.8 Mbit/s
  EXPECT_FALSE(video_fits(dvd, video(720, 576, 3, 24501, true)));   // above 9.8 Mbit/s
  EXPECT_TRUE(video_fits(dvd, video(720, 576, 3, 0x3FFFF, true)));  // no declared rate
  EXPECT_TRUE(video_fits(dvd, video(720, 480, 4, 20000, true)));    // NTSC
  EXPECT_FALSE(video_fits(dvd, video(720, 480, 3, 20000, true)));   // 480 lines at 25 fps
  EXPECT_FALSE(video_fits(dvd, video(1280, 720, 3, 20000, true)));
  EXPECT_TRUE(video_fits(dvd, video(352, 288, 3, 2875, false)));  // MPEG-1 on a DVD
  EXPECT_TRUE(video_fits(svcd, video(480, 576, 3, 6500, true)));
  EXPECT_FALSE(video_fits(svcd, video(480, 576, 3, 6501, true)));   // above 2.6 Mbit/s
  EXPECT_FALSE(video_fits(svcd, video(480, 576, 3, 6500, false)));  // MPEG-1
  EXPECT_TRUE(video_fits(vcd, video(352, 288, 3, 2875, false)));    // 1,150,000 bit/s
  EXPECT_FALSE(video_fits(vcd, video(352, 288, 3, 2881, false)));   // above 1,152,000
  EXPECT_FALSE(video_fits(vcd, video(352, 288, 3, 2875, true)));    // MPEG-2
  EXPECT_FALSE(video_fits(vcd, video(720, 576, 3, 2875, false)));
}

TEST(MostCommon, CoversItsShareExactly) {
  MostCommon<4> m;
  for (int i = 0; i < 990; ++i) m.add(2324);
  for (int i = 0; i < 10; ++i) m.add(uint64_t(100 + i));  // others, most past the slots
  uint64_t v = 0;
  ASSERT_TRUE(m.dominant(99, 100, v));
  EXPECT_EQ(v, 2324u);
  m.add(7);  // 990 of 1001: below 99%
  EXPECT_FALSE(m.dominant(99, 100, v));
  MostCommon<2> none;
  EXPECT_FALSE(none.dominant(99, 100, v));
  // an odd sector first, then the run: still found
  MostCommon<2> late;
  late.add(2048);
  for (int i = 0; i < 200; ++i) late.add(2324);
  ASSERT_TRUE(late.dominant(99, 100, v));
  EXPECT_EQ(v, 2324u);
}

}  // namespace
}  // namespace psrate
