// SPDX-License-Identifier: MIT
// The BITRATE operand's grammar: every form it takes, every form it refuses,
// the range edges with and without multipliers.
#include <gtest/gtest.h>

#include <string>

#include "cli/bitrate.hpp"

namespace psrate {
namespace {

struct BitrateCase {
  const char* text;
  BitrateError error;
  uint32_t value = 0;
  friend void PrintTo(const BitrateCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class Bitrate : public ::testing::TestWithParam<BitrateCase> {};

TEST_P(Bitrate, ParsedAndJudged) {
  const BitrateCase& c = GetParam();
  uint32_t value = 0;
  EXPECT_EQ(parse_bitrate(c.text, value), c.error) << "'" << c.text << "'";
  if (c.error == BitrateError::None) {
    EXPECT_EQ(value, c.value) << "'" << c.text << "'";
  }
}

constexpr BitrateError kOk = BitrateError::None;

INSTANTIATE_TEST_SUITE_P(
    Accepted, Bitrate,
    ::testing::Values(
        BitrateCase{"10080000", kOk, 10080000}, BitrateCase{"10080000bps", kOk, 10080000},
        BitrateCase{"10080k", kOk, 10080000}, BitrateCase{"10.08M", kOk, 10080000},
        BitrateCase{"10.08Mbps", kOk, 10080000}, BitrateCase{" +10080000 ", kOk, 10080000},
        BitrateCase{"9800k", kOk, 9800000}, BitrateCase{"1411.2k", kOk, 1411200},
        BitrateCase{"9.8M", kOk, 9800000}, BitrateCase{"2788.8K", kOk, 2788800},
        BitrateCase{"10080000BPS", kOk, 10080000}, BitrateCase{"10080000Bit/S", kOk, 10080000},
        BitrateCase{"10080000b/s", kOk, 10080000}, BitrateCase{"10080000bit", kOk, 10080000},
        BitrateCase{"10080000bits", kOk, 10080000}, BitrateCase{"10Mb/s", kOk, 10000000},
        BitrateCase{"10kbit/s", kOk, 10000},
        BitrateCase{"\t\n\v\f\r1411200\t\n\v\f\r ", kOk, 1411200}, BitrateCase{"0000400", kOk, 400},
        // a fraction's remainder below 1 bit/s is dropped
        BitrateCase{"1.0000009M", kOk, 1000000}, BitrateCase{"0.4005k", kOk, 400},
        BitrateCase{"1.2345678901234567890M", kOk, 1234567},
        // range edges
        BitrateCase{"400", kOk, 400}, BitrateCase{"0.4k", kOk, 400},
        BitrateCase{"1677721599", kOk, 1677721599}, BitrateCase{"1677721.599k", kOk, 1677721599},
        BitrateCase{"1677.721599M", kOk, 1677721599}, BitrateCase{"401", kOk, 401}));

INSTANTIATE_TEST_SUITE_P(
    Refused, Bitrate,
    ::testing::Values(
        BitrateCase{"9800kb", BitrateError::Trailing},
        BitrateCase{"10080000xyz", BitrateError::Trailing},
        BitrateCase{"1e7", BitrateError::Trailing}, BitrateCase{"0x100", BitrateError::Trailing},
        BitrateCase{"10 080 000", BitrateError::Trailing},
        BitrateCase{"10080000 bps", BitrateError::Trailing},
        BitrateCase{"9.8", BitrateError::FractionAlone},
        BitrateCase{"9.8bps", BitrateError::FractionAlone},
        BitrateCase{"9.M", BitrateError::Trailing}, BitrateCase{"9800m", BitrateError::Trailing},
        BitrateCase{"9.8m", BitrateError::FractionAlone},
        BitrateCase{"10kk", BitrateError::Trailing}, BitrateCase{"10Mbpsx", BitrateError::Trailing},
        BitrateCase{"-9800000", BitrateError::Negative}, BitrateCase{"-0", BitrateError::Negative},
        BitrateCase{" -1k", BitrateError::Negative},
        BitrateCase{"+ 8000000", BitrateError::BlankAfterSign},
        BitrateCase{"++800", BitrateError::NoDigits}, BitrateCase{"+", BitrateError::NoDigits},
        BitrateCase{"", BitrateError::NoDigits}, BitrateCase{"abc", BitrateError::NoDigits},
        BitrateCase{".5M", BitrateError::NoDigits}, BitrateCase{"k", BitrateError::NoDigits},
        BitrateCase{"\x1c"
                    "800",
                    BitrateError::NoDigits},
        BitrateCase{"\xa0"
                    "800",
                    BitrateError::NoDigits},
        BitrateCase{"399", BitrateError::TooSmall}, BitrateCase{"0", BitrateError::TooSmall},
        BitrateCase{"0.3999k", BitrateError::TooSmall}, BitrateCase{"0k", BitrateError::TooSmall},
        BitrateCase{"1677721600", BitrateError::TooLarge},
        BitrateCase{"1677721.6k", BitrateError::TooLarge},
        BitrateCase{"1677.7216M", BitrateError::TooLarge},
        BitrateCase{"4294967696", BitrateError::TooLarge},
        BitrateCase{"99999999999999999999", BitrateError::TooLarge},
        BitrateCase{"99999999999999999999M", BitrateError::TooLarge}));

TEST(Bitrate, EveryRefusalIsExplained) {
  for (BitrateError e : {BitrateError::NoDigits, BitrateError::Negative,
                         BitrateError::BlankAfterSign, BitrateError::FractionAlone,
                         BitrateError::Trailing, BitrateError::TooSmall, BitrateError::TooLarge})
    EXPECT_FALSE(bitrate_error_text(e).empty());
}

}  // namespace
}  // namespace psrate
