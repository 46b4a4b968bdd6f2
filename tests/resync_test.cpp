// SPDX-License-Identifier: MIT
// The resynchronising walk (--resync) and the walk past end codes (--past-end).
#include <gtest/gtest.h>

#include <cstdio>

#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

constexpr Walk kResync{true, false};
constexpr Walk kPastEnd{false, true};
constexpr Walk kBoth{true, true};
const size_t kSmallWindows[] = {kMinWindowSize, 300, 512, 1000};

std::string line(const char* format, uint64_t offset, uint64_t length = 0) {
  char s[160];
  std::snprintf(s, sizeof s, format, static_cast<unsigned long long>(offset),
                static_cast<unsigned long long>(length), static_cast<unsigned long long>(length));
  return s;
}
std::string pack_line(uint64_t at) {
  return line("%08llx: PACK_START_CODE len=14(0x0e)/MUX rate=10080000bps/stuff len=0\n", at);
}
std::string skipped_line(uint64_t at, uint64_t n) {
  return line("%08llx:   SKIPPED, length = %llu(0x%02llx)\n", at, n);
}
std::string video_line(uint64_t at, uint64_t n) {
  return line("%08llx:   VIDEO_ELEMENTARY_STREAM(1e0), length = %llu(0x%02llx)\n", at, n);
}
std::string audio_line(uint64_t at, uint64_t n) {
  return line("%08llx:   AUDIO_ELEMENTARY_STREAM_0, length = %llu(0x%02llx)\n", at, n);
}
std::string end_line(uint64_t at) { return line("%08llx: SYSTEM_END_CODE\n", at); }

// pack 0, video packet 14..120, pack 120, audio packet 134..190, end code 190.
StreamBuilder two_packs() {
  StreamBuilder b;
  b.pack(25200).pes(0xE0, 100).pack(25200).pes(0xC0, 50).end();
  return b;
}

// A pack header with all its marker bits written over the bytes at `at`.
StreamBuilder& plant_pack(StreamBuilder& b, size_t at) {
  Bytes p = StreamBuilder{}.pack(25200).data;
  std::copy(p.begin(), p.end(), b.data.begin() + long(at));
  return b;
}

struct DamageCase {
  const char* name;
  StreamBuilder stream;
  std::string listing;  // with --resync
  friend void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }
};

const std::string kTail = pack_line(120) + audio_line(134, 56) + end_line(190);

std::vector<DamageCase> damage_cases() {
  std::vector<DamageCase> cases;
  cases.push_back({"intact", two_packs(), pack_line(0) + video_line(14, 106) + kTail});
  // the packet ends 5 bytes into the next pack header, 9 bytes inside its own payload
  cases.push_back({"length_over", two_packs().shift_length(14, 5),
                   pack_line(0) + skipped_line(14, 106) + kTail});
  cases.push_back({"length_under", two_packs().shift_length(14, -9),
                   pack_line(0) + skipped_line(14, 106) + kTail});
  // a dropout: the packet's length field runs into the next packet's payload
  cases.push_back(
      {"cut", two_packs().cut(60, 30),
       pack_line(0) + skipped_line(14, 76) + pack_line(90) + audio_line(104, 56) + end_line(160)});
  // garbage after a whole packet: the bytes after it are no start code
  cases.push_back({"garbage", two_packs().insert(120, {0x47, 0x41, 0x52}),
                   pack_line(0) + skipped_line(14, 109) + pack_line(123) + audio_line(137, 56) +
                       end_line(193)});
  // 00 00 01 BA in the payload, without marker bits, is searched past
  cases.push_back({"false_pack_without_markers", two_packs().shift_length(14, 5).false_pack(40),
                   pack_line(0) + skipped_line(14, 106) + kTail});
  // a whole pack header in the payload, but no start code after it
  {
    StreamBuilder b = two_packs().shift_length(14, 5);
    cases.push_back({"false_pack_without_start_code_after", plant_pack(b, 40),
                     pack_line(0) + skipped_line(14, 106) + kTail});
  }
  // a pack header that lost a marker bit is the damage; the end code ends the data
  {
    StreamBuilder b = two_packs();
    b.data[120 + 4] = 0x40;
    cases.push_back({"pack_without_marker", b,
                     pack_line(0) + video_line(14, 106) + skipped_line(120, 70) + end_line(190)});
  }
  // a video-layer start code (sequence header) where a unit should begin: the
  // packet before it ends in front of 00 00 01 and is taken
  cases.push_back({"video_layer_code", two_packs().insert(120, {0x00, 0x00, 0x01, 0xB3}),
                   pack_line(0) + video_line(14, 106) + skipped_line(120, 4) + pack_line(124) +
                       audio_line(138, 56) + end_line(194)});
  // codes from 1b9 to 1ff are taken, UNKNOWN ones included; zero stuffing too
  {
    StreamBuilder b;
    b.pack(25200).pes(0xC8, 10).fill(3, 0).pes(0xE0, 4).end();
    cases.push_back({"unknown_and_stuffing", b,
                     pack_line(0) + "0000000e:   UNKNOWN(1c8), length = 16(0x10)\n" +
                         video_line(33, 10) + end_line(43)});
  }
  return cases;
}

class Damage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(Damage, ResyncListsTheSkippedRangeInEveryWindow) {
  const DamageCase& c = GetParam();
  PassResult whole = dump(c.stream.data, kWindowSize, kResync);
  EXPECT_EQ(whole.out, c.listing);
  for (size_t window : kSmallWindows) {
    PassResult r = dump(c.stream.data, window, kResync);
    EXPECT_EQ(r.out, whole.out) << "window " << window;
    EXPECT_EQ(r.final_base, whole.final_base) << "window " << window;
  }
}

// Rewriting writes only the rate fields of the pack headers taken: never into
// the skipped bytes, not even into a whole pack header planted in a payload.
TEST_P(Damage, ResyncRewriteTouchesOnlyTakenHeaders) {
  const DamageCase& c = GetParam();
  std::vector<size_t> expected;
  for (uint64_t at : {uint64_t(0), uint64_t(90), uint64_t(120), uint64_t(123), uint64_t(124)})
    if (c.listing.find(pack_line(at)) != std::string::npos)
      for (size_t i = 11; i < 13; ++i)
        expected.push_back(at + i);  // 25200 -> 24500: 01 62 43 -> 01 7e d3
  for (size_t window : {kWindowSize, kMinWindowSize}) {
    Bytes bytes = c.stream.data;
    ASSERT_EQ(rewrite(bytes, 9800000, window, kResync).failure, Failure::None);
    std::vector<size_t> changed;
    for (size_t i = 0; i < bytes.size(); ++i)
      if (bytes[i] != c.stream.data[i]) changed.push_back(i);
    EXPECT_EQ(changed, expected) << "window " << window;
  }
}

// The default walk takes every unit but judges each as --resync does: where
// --resync begins its first skipped range, the default walk says the stream is
// damaged, in every window.
TEST_P(Damage, DefaultWalkNamesWhereResyncSkips) {
  const DamageCase& c = GetParam();
  size_t skipped = c.listing.find("SKIPPED");
  for (size_t window : {kWindowSize, kMinWindowSize, size_t(300)}) {
    PassResult r = dump(c.stream.data, window);
    EXPECT_EQ(r.facts.damaged, skipped != std::string::npos) << "window " << window;
    if (skipped != std::string::npos) {
      size_t line = c.listing.rfind('\n', skipped);
      uint64_t at =
          std::stoull(c.listing.substr(line == std::string::npos ? 0 : line + 1, 8), nullptr, 16);
      EXPECT_EQ(r.facts.damaged_at, at) << "window " << window;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Damage, ::testing::ValuesIn(damage_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Resync, DefaultWalkNeverSearches) {
  StreamBuilder b = two_packs().shift_length(14, 5);
  std::string out = dump(b.data).out;
  EXPECT_EQ(out.find("SKIPPED"), std::string::npos);
  EXPECT_NE(out.find("0000007d:   UNKNOWN(40004)"), std::string::npos);
}

// A search is stepped like zero stuffing, a byte at a time with the same
// margins: over the same bytes, both move the window at the same points, so
// a rewrite shows the same progress, across one refill or many.
TEST(Resync, SearchMovesTheWindowAsZeroStuffingDoes) {
  for (size_t window : {kMinWindowSize, size_t(300), size_t(512)}) {
    for (size_t n = 1; n <= 1400; n += (n < 600 ? 1 : 7)) {
      StreamBuilder garbage, zeros;
      garbage.fill(n, 0x5A).pack(25200).pes(0xE0, 20).end();
      zeros.fill(n, 0x00).pack(25200).pes(0xE0, 20).end();
      PassResult listed = dump(garbage.data, window, kResync);
      ASSERT_EQ(listed.out,
                skipped_line(0, n) + pack_line(n) + video_line(n + 14, 26) + end_line(n + 40))
          << "window " << window << " n " << n;
      Bytes a = garbage.data, z = zeros.data;
      PassResult ra = rewrite(a, 9800000, window, kResync);
      PassResult rz = rewrite(z, 9800000, window, kResync);
      ASSERT_EQ(ra.out, rz.out) << "window " << window << " n " << n;
      ASSERT_EQ(ra.final_base, rz.final_base);
    }
  }
}

// A valid pack header in the last bytes of a read, where the margin makes
// the window move before it is judged.
TEST(Resync, HeaderNearTheEndOfARead) {
  for (size_t window : {kMinWindowSize, size_t(512)}) {
    for (size_t at = window - 140; at <= window + 4; ++at) {
      StreamBuilder b;
      b.fill(at, 0xA5).pack(25200).pes(0xC0, 200).pack(25200).end();
      std::string expected = skipped_line(0, at) + pack_line(at) + audio_line(at + 14, 206) +
                             pack_line(at + 220) + end_line(at + 234);
      EXPECT_EQ(dump(b.data, window, kResync).out, expected) << "window " << window << " at " << at;
    }
  }
}

// A search that meets the end of the file: with 0 to 3 bytes left the range
// runs to the end of the data; an end code that is the last 4 bytes is taken.
TEST(Resync, SearchRunsToTheEndOfTheFile) {
  const uint8_t tail[] = {0x00, 0x00, 0x01, 0xB9, 0x00};
  for (size_t n = 0; n <= 5; ++n) {
    StreamBuilder b;
    b.raw({0x00, 0x00, 0x02, 0xBA}).fill(110, 0x5A);
    b.data.insert(b.data.end(), tail, tail + n);
    uint64_t size = b.size();
    std::string expected = n == 4 ? skipped_line(0, 114) + end_line(114) : skipped_line(0, size);
    for (size_t window : {kWindowSize, kMinWindowSize}) {
      PassResult r = dump(b.data, window, kResync);
      EXPECT_EQ(r.out, expected) << "n " << n;
      Bytes bytes = b.data;
      PassResult w = rewrite(bytes, 9800000, window, kResync);
      // no header: only the final progress count, the end of the data (or, at an
      // end code, the window's base as ever)
      int64_t done = n == 4 ? 0 : int64_t(size);
      EXPECT_EQ(w.out, progress(done, int64_t(size), done / (int64_t(size) / 100), '\n'))
          << "n " << n;
    }
  }
}

// The bytes after a long packet decide whether it is taken: a window carries
// the packet until they arrive, or, too small to hold it, reads them from the file.
TEST(Resync, PacketEndAcrossTheWindow) {
  for (uint32_t payload : {100u, 240u, 250u, 258u, 262u, 300u, 490u, 506u, 1200u, 5000u}) {
    for (bool good : {true, false}) {
      StreamBuilder b;
      b.pack(25200).pes(0xE0, payload);
      if (!good) b.raw({0x12, 0x34, 0x56});
      b.pack(25200).pes(0xC0, 10).end();
      uint64_t after = 20 + payload + (good ? 0 : 3);
      std::string expected = pack_line(0) +
                             (good ? video_line(14, payload + 6) : skipped_line(14, after - 14)) +
                             pack_line(after) + audio_line(after + 14, 16) + end_line(after + 30);
      for (size_t window : {kWindowSize, kMinWindowSize, size_t(300), size_t(512), size_t(1000)})
        EXPECT_EQ(dump(b.data, window, kResync).out, expected)
            << "payload " << payload << (good ? " good" : " bad") << " window " << window;
    }
  }
}

// Joined files: every end code is listed, and the walk goes on to the end.
TEST(PastEnd, SeveralEndCodes) {
  StreamBuilder b;
  b.pack(25200).pes(0xE0, 10).end();  // 0..30, end code at 30
  b.pack(25200).pes(0xC0, 10).end();  // 34..64, end code at 64
  b.end();                            // 68
  b.pack(25200).pes(0xE0, 10);        // 72..102
  const std::string all = pack_line(0) + video_line(14, 16) + end_line(30) + pack_line(34) +
                          audio_line(48, 16) + end_line(64) + end_line(68) + pack_line(72) +
                          video_line(86, 16);
  EXPECT_EQ(dump(b.data).out, pack_line(0) + video_line(14, 16) + end_line(30));
  for (Walk walk : {kPastEnd, kBoth}) {
    EXPECT_EQ(dump(b.data, kWindowSize, walk).out, all);
    EXPECT_EQ(dump(b.data, kMinWindowSize, walk).out, all);
  }
  // with --past-end every pack header is rewritten; without, only the first
  for (auto [walk, packs] : {std::pair{Walk{}, 1}, std::pair{kPastEnd, 3}}) {
    Bytes bytes = b.data;
    ASSERT_EQ(rewrite(bytes, 400, kWindowSize, walk).failure, Failure::None);
    int changed = 0;
    for (size_t at : {0, 34, 72}) changed += bytes[at + 12] != b.data[at + 12];
    EXPECT_EQ(changed, packs);
  }
}

TEST(PastEnd, GarbageAfterAnEndCodeIsSkipped) {
  StreamBuilder b;
  b.pack(25200).pes(0xE0, 10).end().raw({0x4A, 0x55, 0x4E, 0x4B, 0x00}).pack(25200).end();
  EXPECT_EQ(dump(b.data, kWindowSize, kBoth).out, pack_line(0) + video_line(14, 16) + end_line(30) +
                                                      skipped_line(34, 5) + pack_line(39) +
                                                      end_line(53));
  // without --resync nothing is searched
  EXPECT_EQ(dump(b.data, kWindowSize, kPastEnd).out.find("SKIPPED"), std::string::npos);
}

}  // namespace
}  // namespace psrate::test
