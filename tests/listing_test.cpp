// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "ps/listing.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

std::string listing(const StreamBuilder& b) {
  PassResult r = dump(b.data);
  EXPECT_EQ(r.failure, Failure::None);
  return r.out;
}

struct LineCase {
  const char* name;
  uint8_t id;
  uint32_t payload;
  const char* line;
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

class PacketLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PacketLine, ExactBytes) {
  const LineCase& c = GetParam();
  EXPECT_EQ(listing(StreamBuilder{}.pes(c.id, c.payload)), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PacketLine,
    ::testing::Values(
        LineCase{"private1", 0xBD, 2028,
                 "00000000:   PRIVATE_STREAM_1(1bd), length = 2034(0x7f2)\n"},
        LineCase{"padding", 0xBE, 0, "00000000:   PADDING_STREAM, length = 6(0x06)\n"},
        LineCase{"private2", 0xBF, 980, "00000000:   PRIVATE_STREAM_2, length = 986(0x3da)\n"},
        LineCase{"audio0", 0xC0, 10, "00000000:   AUDIO_ELEMENTARY_STREAM_0, length = 16(0x10)\n"},
        LineCase{"audio7", 0xC7, 65535,
                 "00000000:   AUDIO_ELEMENTARY_STREAM_7, length = 65541(0x10005)\n"},
        LineCase{"c8", 0xC8, 1, "00000000:   UNKNOWN(1c8), length = 7(0x07)\n"},
        LineCase{"video", 0xE0, 250,
                 "00000000:   VIDEO_ELEMENTARY_STREAM(1e0), length = 256(0x100)\n"},
        LineCase{"e1", 0xE1, 2, "00000000:   UNKNOWN(1e1), length = 8(0x08)\n"},
        LineCase{"psm", 0xBC, 4, "00000000:   UNKNOWN(1bc), length = 10(0x0a)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Listing, PackHeaders) {
  EXPECT_EQ(listing(StreamBuilder{}.pack(25200).pack(0x3FFFFF, 7).pack1(3528)),
            "00000000: PACK_START_CODE len=14(0x0e)/MUX rate=10080000bps/stuff len=0\n"
            "0000000e: PACK_START_CODE len=21(0x15)/MUX rate=1677721200bps/stuff len=7\n"
            "00000023: PACK_START_CODE len=12(0x0c)/MUX rate=1411200bps/stuff len=0\n");
}

TEST(Listing, SystemHeaderBlock) {
  SystemFlags flags{.audio_bound = 63,
                    .video_bound = 31,
                    .fixed = 1,
                    .csps = 0,
                    .audio_lock = 0,
                    .video_lock = 1};
  EXPECT_EQ(listing(StreamBuilder{}
                        .system_header(
                            25200, {{0xC0, 0, 32}, {0xE0, 1, 232}, {0xBD, 1, 0x1FFF}, {0xBF, 0, 2}},
                            flags)
                        .system_header(1, {})),
            "00000000:   SYSTEM_START_CODE len=18\n"
            "             bitrate=10080000bps\n"
            "             audio 63ch/video 31ch/fixed 1/CSPS 0/AudLock 0/VidLock 1/marker 1\n"
            "              STREAM ID = c0(audio), buffer = 32(0x20), scale = 0\n"
            "              STREAM ID = e0(video), buffer = 232(0xe8), scale = 1\n"
            "              STREAM ID = bd(unknown), buffer = 8191(0x1fff), scale = 1\n"
            "              STREAM ID = bf(unknown), buffer = 2(0x2), scale = 0\n"
            "00000018:   SYSTEM_START_CODE len=0c\n"
            "             bitrate=400bps\n"
            "             audio 1ch/video 1ch/fixed 0/CSPS 0/AudLock 1/VidLock 1/marker 1\n");
}

TEST(Listing, EndCodeEndsThePassMidFile) {
  EXPECT_EQ(listing(StreamBuilder{}.pes(0xE0, 0).end().pack(1).end()),
            "00000000:   VIDEO_ELEMENTARY_STREAM(1e0), length = 6(0x06)\n"
            "00000006: SYSTEM_END_CODE\n");
}

TEST(Listing, GarbageIsAnUnknownChain) {
  // "MPEG" then a length of 0x0001: units step by whatever bytes 4 and 5 hold
  EXPECT_EQ(listing(StreamBuilder{}.raw({'M', 'P', 'E', 'G', 0, 1, 'x', 1, 2, 3, 4, 0, 0})),
            "00000000:   UNKNOWN(4d504547), length = 7(0x07)\n"
            "00000007:   UNKNOWN(1020304), length = 6(0x06)\n");
}

TEST(Listing, ZeroStuffingKeepsStep) {
  // VCD audio packs are followed by zero bytes; the next pack is still found
  EXPECT_EQ(listing(StreamBuilder{}.pes(0xC0, 2).fill(20, 0).pack(3528).fill(3, 0)),
            "00000000:   AUDIO_ELEMENTARY_STREAM_0, length = 8(0x08)\n"
            "0000001c: PACK_START_CODE len=14(0x0e)/MUX rate=1411200bps/stuff len=0\n");
}

TEST(Listing, EmptyFileListsNothing) { EXPECT_EQ(listing(StreamBuilder{}), ""); }

TEST(Listing, OffsetsPastFourGiBKeepAllDigits) {
  OutBuffer out;
  std::string captured;
  out.capture = &captured;
  Unit u{};
  u.kind = UnitKind::EndCode;
  u.offset = 0x123456789ull;
  list_unit(out, u);
  u.offset = 0xFFFFFFFFull;
  list_unit(out, u);
  flush(out);
  EXPECT_EQ(captured, "123456789: SYSTEM_END_CODE\nffffffff: SYSTEM_END_CODE\n");
}

}  // namespace
}  // namespace psrate::test
