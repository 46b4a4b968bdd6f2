// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "ps/units.hpp"
#include "stream_builder.hpp"

namespace psrate {
namespace {

struct ClassCase {
  uint32_t start_code;
  UnitKind kind;
  friend void PrintTo(const ClassCase& c, std::ostream* os) { *os << std::hex << c.start_code; }
};

class Classify : public ::testing::TestWithParam<ClassCase> {};

TEST_P(Classify, MapsWholeStartCode) {
  EXPECT_EQ(classify(GetParam().start_code), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    StartCodes, Classify,
    ::testing::Values(
        ClassCase{0x000001B9, UnitKind::EndCode}, ClassCase{0x000001BA, UnitKind::Pack},
        ClassCase{0x000001BB, UnitKind::SystemHeader},
        ClassCase{0x000001BC, UnitKind::Unknown},  // program_stream_map
        ClassCase{0x000001BD, UnitKind::PrivateStream1}, ClassCase{0x000001BE, UnitKind::Padding},
        ClassCase{0x000001BF, UnitKind::PrivateStream2}, ClassCase{0x000001C0, UnitKind::Audio},
        ClassCase{0x000001C7, UnitKind::Audio}, ClassCase{0x000001C8, UnitKind::Unknown},
        ClassCase{0x000001DF, UnitKind::Unknown}, ClassCase{0x000001E0, UnitKind::Video},
        ClassCase{0x000001E1, UnitKind::Unknown}, ClassCase{0x000001EF, UnitKind::Unknown},
        ClassCase{0x000001B8, UnitKind::Unknown},
        ClassCase{0x000002BA, UnitKind::Unknown},  // not 00 00 01: no pack
        ClassCase{0x010001BA, UnitKind::Unknown}, ClassCase{0xFFFFFFFF, UnitKind::Unknown},
        ClassCase{0x00000100, UnitKind::Unknown}, ClassCase{0x000000FF, UnitKind::ZeroStuffing},
        ClassCase{0x00000000, UnitKind::ZeroStuffing}));

Unit frame(const std::vector<uint8_t>& bytes, size_t available,
           Framing expected = Framing::Decoded) {
  Unit u{};
  EXPECT_EQ(frame_unit({bytes.data(), available}, 0, u), expected)
      << "with " << available << " bytes";
  return u;
}

// The fewest bytes with which each kind is decoded; one byte fewer cuts it off.
struct FixedCase {
  const char* name;
  std::vector<uint8_t> unit;
  size_t fixed;
  friend void PrintTo(const FixedCase& c, std::ostream* os) { *os << c.name; }
};

class FixedFields : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedFields, DecodedOnlyWhenPresent) {
  const FixedCase& c = GetParam();
  for (size_t n = 0; n < c.fixed; ++n) frame(c.unit, n, Framing::CutOff);
  frame(c.unit, c.fixed);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FixedFields,
    ::testing::Values(FixedCase{"end", StreamBuilder{}.end().data, 4},
                      FixedCase{"stuffing", {0, 0, 0, 1}, 4},
                      FixedCase{"pes", StreamBuilder{}.pes(0xE0, 10).data, 6},
                      FixedCase{"unknown", {0x12, 0x34, 0x56, 0x78, 0, 0}, 6},
                      FixedCase{"pack2", StreamBuilder{}.pack(1, 7).data, 14},
                      FixedCase{"pack1", StreamBuilder{}.pack1(1).data, 12},
                      FixedCase{"system", StreamBuilder{}.system_header(1, {{0xE0, 1, 2}}).data,
                                12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PackHeader, Mpeg2RateAndStuffing) {
  // program_mux_rate 0x2AAAAA with marker bits 11; stuffing 7
  std::vector<uint8_t> b = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0xAA, 0xAA, 0xAB, 0xFF};
  Unit u = frame(b, b.size());
  EXPECT_FALSE(u.pack.mpeg1);
  EXPECT_EQ(u.pack.program_mux_rate, 0x2AAAAAu);
  EXPECT_EQ(u.pack.pack_stuffing_length, 7u);
  EXPECT_EQ(u.length, 21u);
}

TEST(PackHeader, Mpeg1LayoutByVersionBits) {
  std::vector<uint8_t> b = StreamBuilder{}.pack1(0x3FFFFF).data;
  Unit u = frame(b, b.size());
  EXPECT_TRUE(u.pack.mpeg1);
  EXPECT_EQ(u.pack.program_mux_rate, 0x3FFFFFu);
  EXPECT_EQ(u.length, 12u);
  b[4] = 0x30;  // '0011' is not MPEG-1: read as MPEG-2, and needs 14 bytes
  frame(b, b.size(), Framing::CutOff);
}

TEST(SystemHeader, TableLimitedToUnitAndData) {
  std::vector<uint8_t> b =
      StreamBuilder{}.system_header(0x1234, {{0xC0, 0, 32}, {0xE0, 1, 0x1FFF}, {0xBD, 1, 58}}).data;
  Unit u = frame(b, b.size());
  EXPECT_EQ(u.length, 21u);
  EXPECT_EQ(u.system.rate_bound, 0x1234u);
  EXPECT_EQ(u.system.entry_count, 3u);
  StreamEntry e = stream_entry(u.system, 1);
  EXPECT_EQ(e.stream_id, 0xE0);
  EXPECT_EQ(e.buffer_bound_scale, 1);
  EXPECT_EQ(e.buffer_size_bound, 0x1FFFu);
  EXPECT_EQ(frame(b, 20).system.entry_count, 2u);  // third entry cut by the data read
  EXPECT_EQ(frame(b, 12).system.entry_count, 0u);
  b[5] = 13;  // header_length 13: unit of 19 bytes holds two whole entries
  EXPECT_EQ(frame(b, b.size()).system.entry_count, 2u);
  b[5] = 2;  // shorter than its fixed fields: no entries, still 8 bytes long
  u = frame(b, b.size());
  EXPECT_EQ(u.system.entry_count, 0u);
  EXPECT_EQ(u.length, 8u);
}

TEST(RateEncoding, ImagesAndRoundTrip) {
  EXPECT_EQ(encode_mux_rate(0).bytes, (std::array<uint8_t, 3>{0x00, 0x00, 0x03}));
  EXPECT_EQ(encode_mux_rate(0x3FFFFF).bytes, (std::array<uint8_t, 3>{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode_rate_bound(0).bytes, (std::array<uint8_t, 3>{0x80, 0x00, 0x01}));
  EXPECT_EQ(encode_rate_bound(0x3FFFFF).bytes, (std::array<uint8_t, 3>{0xFF, 0xFF, 0xFF}));
  for (uint32_t r : {1u, 25200u, 24500u, 3528u, 0x2AAAAAu, 0x155555u, 0x3FFFFFu}) {
    std::vector<uint8_t> pack2 = StreamBuilder{}.pack(0).data;
    std::vector<uint8_t> pack1 = StreamBuilder{}.pack1(0).data;
    std::vector<uint8_t> sys = StreamBuilder{}.system_header(0, {}).data;
    for (std::vector<uint8_t>* b : {&pack2, &pack1, &sys}) {
      Unit u = frame(*b, b->size());
      RateField f;
      ASSERT_TRUE(rate_field_of(u, r, f));
      std::copy(f.bytes.begin(), f.bytes.end(), b->begin() + f.at);
      u = frame(*b, b->size());
      EXPECT_EQ(u.kind == UnitKind::Pack ? u.pack.program_mux_rate : u.system.rate_bound, r);
    }
  }
}

TEST(RateEncoding, NoFieldOutsideHeaders) {
  RateField f;
  std::vector<uint8_t> sys = StreamBuilder{}.system_header(0, {}).data;
  sys[5] = 3;  // 9-byte unit: rate_bound just fits
  EXPECT_TRUE(rate_field_of(frame(sys, sys.size()), 1, f));
  sys[5] = 2;  // 8-byte unit: bytes 6..8 belong to the next unit
  EXPECT_FALSE(rate_field_of(frame(sys, sys.size()), 1, f));
  std::vector<uint8_t> pes = StreamBuilder{}.pes(0xE0, 20).data;
  EXPECT_FALSE(rate_field_of(frame(pes, pes.size()), 1, f));
}

}  // namespace
}  // namespace psrate
