// SPDX-License-Identifier: MIT
// One P-STD buffer: arrivals at exact times, removals between them, the peak,
// episodes above the size, a clock that steps back, and the held rings.
#include <gtest/gtest.h>

#include "pstd/buffer.hpp"

namespace psrate::test {
namespace {

// R = 5400 units: one byte every 100 ticks; SCR 0 at offset `anchor`.
ArrivalRun run(uint64_t pos, uint64_t offset, uint32_t count, uint64_t size, int64_t scr = 0,
               uint64_t anchor = 0) {
  ArrivalRun r;
  r.pos = pos;
  r.offset = offset;
  r.count = count;
  r.clock = {scr, anchor, 5400};
  r.size = size;
  return r;
}

TEST(Buffer, RemovalBetweenArrivals) {
  BufferModel b;
  ASSERT_TRUE(buffer_arrive(b, run(0, 0, 1000, 600)));
  ASSERT_TRUE(buffer_remove(b, 400, ticks(40000)));  // byte 400 arrives at 40000: both count
  buffer_release(b, 1000);
  EXPECT_EQ(b.figures.peak, 600u);
  EXPECT_EQ(b.figures.peak_offset, 999u);
  EXPECT_EQ(b.figures.peak_time, ticks(99900));
  EXPECT_EQ(b.figures.overflows, 0u);
  EXPECT_EQ(b.occupancy, 600);
}

TEST(Buffer, OverflowFromAnExactByte) {
  BufferModel b;
  buffer_arrive(b, run(0, 0, 1000, 500));
  buffer_remove(b, 400, ticks(40000));
  buffer_release(b, 1000);
  EXPECT_EQ(b.figures.overflows, 1u);
  EXPECT_EQ(b.figures.first_overflow_offset, 900u);  // the 501st byte after the removal
  EXPECT_EQ(b.figures.first_overflow_time, ticks(90000));
  EXPECT_EQ(b.figures.max_excess, 100u);
  // a removal brings it back; the next rise is a second episode
  // SCR 0 at offset 4000: t = 100 x (i - 4000), from 100000
  buffer_arrive(b, run(1000, 5000, 700, 500, 0, 4000));
  buffer_remove(b, 1000, ticks(100000));
  buffer_release(b, 1700);
  EXPECT_EQ(b.figures.overflows, 2u);
  EXPECT_EQ(b.figures.first_overflow_offset, 900u);
  EXPECT_EQ(b.figures.max_excess, 200u);
  EXPECT_EQ(b.figures.peak, 700u);
  EXPECT_EQ(b.figures.peak_offset, 5699u);
}

TEST(Buffer, UnreleasedArrivalsWait) {
  BufferModel b;
  buffer_arrive(b, run(0, 0, 1000, 0));
  buffer_release(b, 300);
  EXPECT_EQ(b.simulated, 300u);
  EXPECT_EQ(b.figures.peak, 300u);
  buffer_remove(b, 300, ticks(35000));  // known late, still in time: bytes 300..349 come first
  buffer_release(b, 1000);
  EXPECT_EQ(b.figures.peak, 700u);  // 350, then 0 + 650 after the removal... at 999: 700
  EXPECT_EQ(b.occupancy, 700);
}

// A pack whose SCR steps back: its bytes arrive no earlier than the latest before them.
TEST(Buffer, EffectiveArrivalNeverGoesBack) {
  BufferModel b;
  buffer_arrive(b, run(0, 0, 100, 0));
  buffer_arrive(b, run(100, 2000, 100, 0, 0, 1950));  // t = 100 x (i - 1950): 5000 .. 14900
  Instant at;
  ASSERT_TRUE(arrival_of(b, 100, at));
  EXPECT_EQ(at, ticks(9900));  // held at the latest arrival, 9900
  ASSERT_TRUE(arrival_of(b, 199, at));
  EXPECT_EQ(at, ticks(14900));
  ASSERT_TRUE(arrival_of(b, 150, at));
  EXPECT_EQ(at, ticks(10000));
  EXPECT_FALSE(arrival_of(b, 200, at));
}

TEST(Buffer, FullRingsStopTheCheck) {
  BufferModel b;
  for (size_t k = 0; k < kHeldRuns; ++k) ASSERT_TRUE(buffer_arrive(b, run(k, k * 10, 1, 0)));
  EXPECT_FALSE(buffer_arrive(b, run(kHeldRuns, kHeldRuns * 10, 1, 0)));
  EXPECT_TRUE(b.stalled);
  // simulated runs make room
  BufferModel c;
  for (size_t k = 0; k < 2 * kHeldRuns; ++k) {
    ASSERT_TRUE(buffer_arrive(c, run(k, k * 10, 1, 0)));
    buffer_release(c, k + 1);
  }
  EXPECT_FALSE(c.stalled);
  EXPECT_EQ(c.figures.peak, 2 * kHeldRuns);
}

}  // namespace
}  // namespace psrate::test
