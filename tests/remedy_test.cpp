// SPDX-License-Identifier: MIT
// The remedy rules: N against the profile's limit L, within it, up to 0.5%
// above it, or further; the streams' own rates; the suggested rate.
#include <gtest/gtest.h>

#include "audit/remedy.hpp"

namespace psrate {
namespace {

const ProfileRow* const kDvd = profile_row(true, 2048);
const ProfileRow* const kVcd = profile_row(false, 2324);

struct RemedyCase {
  const char* name;
  RateFacts facts;
  Weight scr;
  Remedy scr_remedy;
  bool above_profile;
  Remedy field_remedy;
  bool at_limit;
  friend void PrintTo(const RemedyCase& c, std::ostream* os) { *os << c.name; }
};

class Remedies : public ::testing::TestWithParam<RemedyCase> {};

TEST_P(Remedies, AsTheRulesSay) {
  const RemedyCase& c = GetParam();
  RateRemedies r = rate_remedies(c.facts);
  EXPECT_EQ(r.scr_above_profile, c.scr);
  EXPECT_EQ(r.scr_remedy, c.scr_remedy);
  EXPECT_EQ(r.mux_rate_above_profile, c.above_profile);
  EXPECT_EQ(r.field_remedy, c.field_remedy);
  EXPECT_EQ(r.judge_fields_at_limit, c.at_limit);
}

constexpr Weight kAbsent = Weight::Absent, kNote = Weight::Note, kProblem = Weight::Problem;
constexpr Remedy kNone = Remedy::None, kRewrite = Remedy::Rewrite, kRemux = Remedy::Remux,
                 kReencode = Remedy::Reencode;

INSTANTIATE_TEST_SUITE_P(
    Rules, Remedies,
    ::testing::Values(
        // an mplex DVD lowered to 9 Mbit/s: the SCRs need less than the limit
        RemedyCase{"within",
                   {kDvd, true, 10071600, 9000000, 9000000, 0},
                   kAbsent,
                   kNone,
                   false,
                   kRewrite,
                   false},
        RemedyCase{"at_limit",
                   {kDvd, true, 10080000, 10080000, 10080000, 0},
                   kAbsent,
                   kNone,
                   false,
                   kRewrite,
                   false},
        // ffmpeg's -target pal-dvd: 0.11% above, a note; the fields judged at the limit
        RemedyCase{"pal_dvd",
                   {kDvd, true, 10091200, 10080000, 10080000, 8000000},
                   kNote,
                   kRemux,
                   false,
                   kRewrite,
                   true},
        RemedyCase{"half_percent",
                   {kDvd, true, 10130400, 10080000, 10080000, 0},
                   kNote,
                   kRemux,
                   false,
                   kRewrite,
                   true},
        RemedyCase{"past_half_percent_streams_fit",
                   {kDvd, true, 10130800, 10080000, 10080000, 9878400},
                   kProblem,
                   kRemux,
                   false,
                   kRemux,
                   false},
        RemedyCase{"past_half_percent_streams_too_fast",
                   {kDvd, true, 10130800, 10080000, 10080000, 9878401},
                   kProblem,
                   kReencode,
                   false,
                   kReencode,
                   false},
        // ffmpeg -f dvd without -muxrate: 471 Mbit/s of SCRs, 440 Mbit/s fields
        RemedyCase{"ffmpeg_f_dvd",
                   {kDvd, true, 471859200, 440815200, 440815200, 6500000},
                   kProblem,
                   kRemux,
                   true,
                   kRemux,
                   false},
        RemedyCase{"field_above_only",
                   {kVcd, true, 1394400, 1412000, 1412000, 0},
                   kAbsent,
                   kNone,
                   true,
                   kRewrite,
                   false},
        RemedyCase{"no_timing",
                   {kVcd, false, 0, 2000000, 2000000, 0},
                   kAbsent,
                   kNone,
                   true,
                   kRewrite,
                   false},
        RemedyCase{"generic",
                   {nullptr, true, 50000000, 1000, 1000, 0},
                   kAbsent,
                   kNone,
                   false,
                   kRewrite,
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Remedies, SuggestedRate) {
  EXPECT_EQ(suggested_rate({kDvd, true, 10091200, 0, 0, 0}), 10080000u);
  EXPECT_EQ(suggested_rate({kVcd, true, 1412000, 0, 0, 0}), 1411200u);
  EXPECT_EQ(suggested_rate({nullptr, true, 5000400, 0, 0, 0}), 5000400u);
  EXPECT_EQ(suggested_rate({nullptr, false, 0, 0, 2000000, 0}), 2000000u);
  EXPECT_EQ(suggested_rate({nullptr, false, 0, 0, 0, 0}), 400u);
  EXPECT_TRUE(Remedy::Reencode > Remedy::Remux && Remedy::Remux > Remedy::Rewrite);
  EXPECT_EQ(remedy_name(Remedy::Reencode), "reencode");
}

}  // namespace
}  // namespace psrate
