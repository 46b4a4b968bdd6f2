// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <regex>

#include "cli/cli.hpp"
#include "random_stream.hpp"
#include "rewrite/rewrite.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

// Every changed byte lies in the rate field of a header that the stream holds,
// the size is kept, a second run changes nothing, and the listing shows the rate.
TEST(Rewrite, ChangesOnlyRateFields) {
  for (uint32_t seed = 100; seed < 140; ++seed) {
    RandomStream s = random_stream(seed, 200, 500, 20, seed % 2 == 0);
    const Bytes& original = s.builder.data;
    for (size_t window : {kMinWindowSize, size_t(1000), kWindowSize}) {
      Bytes bytes = original;
      ASSERT_EQ(rewrite(bytes, 9800000, window).failure, Failure::None);
      ASSERT_EQ(bytes.size(), original.size());
      std::vector<bool> field(original.size(), false);
      for (const BuiltUnit& u : s.units)
        if (u.rate_at)
          for (uint32_t i = 0; i < 3; ++i) field[u.offset + u.rate_at + i] = true;
      for (size_t i = 0; i < original.size(); ++i)
        ASSERT_TRUE(bytes[i] == original[i] || field[i]) << "seed " << seed << " byte " << i;
      Bytes again = bytes;
      rewrite(again, 9800000, window);
      ASSERT_EQ(again, bytes);
      std::string listing = dump(bytes).out;
      std::regex rate("MUX rate=(\\d+)bps|bitrate=(\\d+)bps");
      size_t headers = 0;
      for (auto it = std::sregex_iterator(listing.begin(), listing.end(), rate);
           it != std::sregex_iterator(); ++it, ++headers)
        ASSERT_EQ((*it)[1].matched ? (*it)[1].str() : (*it)[2].str(), "9800000");
      size_t expected = 0;
      for (const BuiltUnit& u : s.units) expected += u.rate_at != 0;
      ASSERT_EQ(headers, expected);
    }
  }
}

TEST(Rewrite, ShortSystemHeaderAndUnitsAfterEndCodeUntouched) {
  // header_length 2: an 8-byte unit whose bytes 6..8 would be the next start code
  auto stream = [](uint32_t first_rate) {
    return StreamBuilder{}
        .start_code(0xBB)
        .u16(2)
        .raw({0x80, 0x01})
        .pack(first_rate)
        .end()
        .pack(7)
        .system_header(7, {})
        .data;
  };
  Bytes bytes = stream(7);
  PassResult r = rewrite(bytes, 9800000);
  // one read holds it all: the window base stays 0
  EXPECT_EQ(r.out, progress(0, 52, 0, '\r') + progress(0, 52, 0, '\n'));
  EXPECT_EQ(bytes, stream(24500));
}

TEST(Rewrite, Mpeg1PackGetsItsOwnLayout) {
  Bytes bytes = StreamBuilder{}.pack1(0).pes(0xC0, 0).data;
  rewrite(bytes, 1411200);
  EXPECT_EQ(bytes, StreamBuilder{}.pack1(3528).pes(0xC0, 0).data);
}

// 2048-byte packs fill 1 MiB windows exactly; the done count is the window base.
TEST(Rewrite, ProgressFollowsWindowBase) {
  StreamBuilder b;
  for (int i = 0; i < 1025; ++i) b.pack(25200).pes(0xE0, 2028);
  b.end();
  Bytes bytes = b.data;
  const int64_t size = int64_t(bytes.size());
  PassResult r = rewrite(bytes, 9800000);
  std::string expected;
  for (int i = 0; i < 512; ++i) expected += progress(0, size, 0, '\r');
  for (int i = 0; i < 512; ++i) expected += progress(1 << 20, size, (1 << 20) / (size / 100), '\r');
  expected += progress(2 << 20, size, (2 << 20) / (size / 100), '\r');
  // the end code, the last 4 bytes, was carried: the final window starts at it
  expected += progress(size - 4, size, (size - 4) / (size / 100), '\n');
  EXPECT_EQ(r.out, expected);
}

TEST(Rewrite, HeaderInLastBytesOfReadShowsNewBase) {
  const size_t window = 1024;
  StreamBuilder b;
  b.pack(1).pes(0xE0, window - 14 - 6 - 100);  // next pack starts 100 bytes before the end
  b.pack(1).pes(0xE0, 2000);
  b.pack(1);
  Bytes bytes = b.data;
  const int64_t size = int64_t(bytes.size());
  PassResult r = rewrite(bytes, 400, window);
  // the second pack is carried and shows the new base; the third is read
  // after the long packet is skipped in the file
  const int64_t hundredth = size / 100;
  EXPECT_EQ(r.out, progress(0, size, 0, '\r') + progress(924, size, 924 / hundredth, '\r') +
                       progress(size - 14, size, (size - 14) / hundredth, '\r') +
                       progress(size, size, size / hundredth, '\n'));
}

TEST(Rewrite, FileEndingInsideAHeaderIsNotWritten) {
  Bytes bytes = StreamBuilder{}.pack(1).pes(0xE0, 200).pack(1).data;
  bytes.resize(bytes.size() - 1);  // 13 bytes of the last pack
  Bytes original = bytes;
  PassResult r = rewrite(bytes, 800);
  EXPECT_EQ(r.out, progress(0, 233, 0, '\r') + progress(220, 233, 110, '\n'));
  EXPECT_TRUE(std::equal(bytes.begin() + 220, bytes.end(), original.begin() + 220));
}

struct PercentCase {
  int64_t done, size, percent;
};

TEST(Progress, Percent) {
  for (PercentCase c :
       {PercentCase{0, 0, 0}, PercentCase{3, 0, 0}, PercentCase{0, 99, 0}, PercentCase{50, 99, 50},
        PercentCase{99, 99, 100}, PercentCase{150, 150, 150}, PercentCase{199, 200, 99},
        PercentCase{4294967296, 8589934592, 50}, PercentCase{8589934588, 8589934592, 100},
        PercentCase{8589934, 8589934592, 0}})
    EXPECT_EQ(progress_percent(c.done, c.size), c.percent) << c.done << "/" << c.size;
}

}  // namespace
}  // namespace psrate::test
