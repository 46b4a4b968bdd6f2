// SPDX-License-Identifier: MIT
// The rewriter's spans: changed fields within 4 KiB of each other go out in one
// write, with the bytes between as read; progress lines follow their write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

constexpr uint32_t kOld = 25200;  // 10,080,000 bit/s
constexpr uint32_t kNew = 24500;  // 9,800,000 bit/s
constexpr uint32_t kBitrate = kNew * 400;

// Packs whose rate fields lie `gaps[i]` bytes apart (17 to 65,552: a padding
// packet of gap - 11 bytes between them), each holding rates[i]; a padding
// packet that keeps the last pack out of the decode margin, and an end code.
Bytes spaced_packs(const std::vector<uint32_t>& rates, const std::vector<uint32_t>& gaps) {
  StreamBuilder b;
  for (size_t i = 0; i < rates.size(); ++i) {
    b.pack(rates[i]);
    if (i < gaps.size()) b.padding(gaps[i] - 11 - 6);
  }
  return b.padding(200).end().data;
}

// The same stream with every pack at the new rate: what a rewrite must leave.
Bytes all_new(const std::vector<uint32_t>& rates, const std::vector<uint32_t>& gaps) {
  return spaced_packs(std::vector<uint32_t>(rates.size(), kNew), gaps);
}

struct SpanCase {
  const char* name;
  std::vector<uint32_t> rates;
  std::vector<uint32_t> gaps;
  uint64_t writes;
  friend void PrintTo(const SpanCase& c, std::ostream* os) { *os << c.name; }
};

class Spans : public ::testing::TestWithParam<SpanCase> {};

TEST_P(Spans, WritesAndBytes) {
  const SpanCase& c = GetParam();
  Bytes bytes = spaced_packs(c.rates, c.gaps);
  PassResult r = rewrite(bytes, kBitrate);
  ASSERT_EQ(r.failure, Failure::None);
  EXPECT_EQ(r.writes, c.writes);
  EXPECT_EQ(bytes, all_new(c.rates, c.gaps));
  // one progress line per header, whatever the writes; the end code, the last
  // 4 bytes, is carried into a window of its own
  const int64_t size = int64_t(bytes.size());
  std::string lines;
  for (size_t i = 0; i < c.rates.size(); ++i) lines += progress(0, size, 0, '\r');
  EXPECT_EQ(r.out, lines + progress(size - 4, size, (size - 4) / (size / 100), '\n'));
}

INSTANTIATE_TEST_SUITE_P(
    Gaps, Spans,
    ::testing::Values(
        SpanCase{"gap_4096_joins", {kOld, kOld}, {4096}, 1},
        SpanCase{"gap_4097_splits", {kOld, kOld}, {4097}, 2},
        SpanCase{"smallest_gap", {kOld, kOld, kOld}, {17, 17}, 1},
        SpanCase{"chain_of_short_gaps", {kOld, kOld, kOld, kOld}, {4096, 4096, 4096}, 1},
        SpanCase{"split_in_the_middle", {kOld, kOld, kOld, kOld}, {100, 5000, 100}, 2},
        // fields that hold the rate start no span and write nothing
        SpanCase{"none_changed", {kNew, kNew, kNew}, {100, 100}, 0},
        SpanCase{"held_field_starts_none", {kNew, kOld}, {100}, 1},
        // a held field more than 4 KiB ahead does not reach back
        SpanCase{"held_between_far", {kOld, kNew, kOld}, {3000, 3000}, 2},
        SpanCase{"held_between_near", {kOld, kNew, kOld}, {1000, 1000}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed write leaves the spans before it written and shows their progress
// lines (and those of held fields before the failed span), and nothing after.
TEST(Spans, FailedWriteKeepsWhatCameBefore) {
  // spans: [0], [1 2], [3]; field 4 holds the rate, after span [3]
  const std::vector<uint32_t> rates = {kOld, kOld, kOld, kOld, kNew};
  const std::vector<uint32_t> gaps = {5000, 200, 5000, 5000};
  struct Expect {
    uint64_t fail_write;
    std::vector<uint32_t> left;
    int lines;
  };
  for (const Expect& e :
       {Expect{1, {kOld, kOld, kOld, kOld, kNew}, 0}, Expect{2, {kNew, kOld, kOld, kOld, kNew}, 1},
        Expect{3, {kNew, kNew, kNew, kOld, kNew}, 3}}) {
    Bytes bytes = spaced_packs(rates, gaps);
    PassResult r = rewrite(bytes, kBitrate, kWindowSize, {}, e.fail_write);
    EXPECT_EQ(r.failure, Failure::Write) << e.fail_write;
    EXPECT_EQ(bytes, spaced_packs(e.left, gaps)) << e.fail_write;
    std::string lines;
    for (int i = 0; i < e.lines; ++i) lines += progress(0, int64_t(bytes.size()), 0, '\r');
    EXPECT_EQ(r.out, lines) << e.fail_write;
  }
}

// A span ends where its window ends: each window's fields go out on their own,
// before the window moves, and their lines show that window's base.
TEST(Spans, NoSpanCrossesAWindow) {
  StreamBuilder b;
  for (int i = 0; i < 8; ++i) b.pack(kOld).pes(0xE0, 2028);  // 2048-byte packs
  Bytes original = b.end().data;
  Bytes bytes = original;
  PassResult r = rewrite(bytes, kBitrate, 4096);
  EXPECT_EQ(r.failure, Failure::None);
  EXPECT_EQ(r.writes, 4u);  // two packs a window
  StreamBuilder expected;
  for (int i = 0; i < 8; ++i) expected.pack(kNew).pes(0xE0, 2028);
  EXPECT_EQ(bytes, expected.end().data);
  const int64_t size = int64_t(bytes.size());
  std::string lines;
  for (int64_t base = 0; base < 8 * 2048; base += 2 * 2048)
    lines += progress(base, size, base / (size / 100), '\r') +
             progress(base, size, base / (size / 100), '\r');
  EXPECT_EQ(r.out, lines + progress(size - 4, size, (size - 4) / (size / 100), '\n'));
}

// A skipped range between two changed fields ends the span before it: the
// second field goes out in a write of its own, and the skipped bytes are
// never part of a write.
TEST(Spans, SkippedRangeEndsTheSpan) {
  StreamBuilder b;
  b.pack(kOld).pes(0xE0, 100).fill(37, 0x5A).pack(kOld).pes(0xC0, 50).end();
  Bytes bytes = b.data;
  PassResult r = rewrite(bytes, kBitrate, kWindowSize, {true, false}, 2);
  EXPECT_EQ(r.failure, Failure::Write);
  EXPECT_EQ(r.writes, 2u);
  StreamBuilder first_only;
  first_only.pack(kNew).pes(0xE0, 100).fill(37, 0x5A).pack(kOld).pes(0xC0, 50).end();
  EXPECT_EQ(bytes, first_only.data);
  Bytes whole = b.data;
  ASSERT_EQ(rewrite(whole, kBitrate, kWindowSize, {true, false}).failure, Failure::None);
  StreamBuilder both;
  both.pack(kNew).pes(0xE0, 100).fill(37, 0x5A).pack(kNew).pes(0xC0, 50).end();
  EXPECT_EQ(whole, both.data);
}

}  // namespace
}  // namespace psrate::test
