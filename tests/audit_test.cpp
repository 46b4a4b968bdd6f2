// SPDX-License-Identifier: MIT
// The rate audit on streams built to the tick: SCR decoding, pairs, stretches,
// timing, findings and the suggested rate.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "audit/audit.hpp"
#include "audit/report.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

// --- SCR fields, against hand-computed values ---

struct ScrCase {
  const char* name;
  bool mpeg1;
  std::array<uint8_t, 6> b4_to_b9;
  uint64_t ticks;
  friend void PrintTo(const ScrCase& c, std::ostream* os) { *os << c.name; }
};

class DecodeScr : public ::testing::TestWithParam<ScrCase> {};

TEST_P(DecodeScr, EachFieldInItsBits) {
  const ScrCase& c = GetParam();
  Bytes pack = {0x00, 0x00, 0x01, 0xBA};
  pack.insert(pack.end(), c.b4_to_b9.begin(), c.b4_to_b9.end());
  pack.resize(14, 0xFF);
  EXPECT_EQ(decode_scr(pack, c.mpeg1), c.ticks);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DecodeScr,
    ::testing::Values(
        // MPEG-2: '01' base[32..30] 1 base[29..28] | base[27..20] | base[19..15] 1 base[14..13]
        //         | base[12..5] | base[4..0] 1 ext[8..7] | ext[6..0] 1
        ScrCase{"m2_zero", false, {0x44, 0x00, 0x04, 0x00, 0x04, 0x01}, 0},
        ScrCase{"m2_base32", false, {0x64, 0x00, 0x04, 0x00, 0x04, 0x01}, 1288490188800},
        ScrCase{"m2_base30", false, {0x4C, 0x00, 0x04, 0x00, 0x04, 0x01}, 322122547200},
        ScrCase{"m2_base28", false, {0x45, 0x00, 0x04, 0x00, 0x04, 0x01}, 80530636800},
        ScrCase{"m2_base20", false, {0x44, 0x01, 0x04, 0x00, 0x04, 0x01}, 314572800},
        ScrCase{"m2_base15", false, {0x44, 0x00, 0x0C, 0x00, 0x04, 0x01}, 9830400},
        ScrCase{"m2_base13", false, {0x44, 0x00, 0x05, 0x00, 0x04, 0x01}, 2457600},
        ScrCase{"m2_base5", false, {0x44, 0x00, 0x04, 0x01, 0x04, 0x01}, 9600},
        ScrCase{"m2_base0", false, {0x44, 0x00, 0x04, 0x00, 0x0C, 0x01}, 300},
        ScrCase{"m2_ext8", false, {0x44, 0x00, 0x04, 0x00, 0x06, 0x01}, 256},
        ScrCase{"m2_ext0", false, {0x44, 0x00, 0x04, 0x00, 0x04, 0x03}, 1},
        // base 2^33 - 1, extension 299: the largest SCR in range
        ScrCase{"m2_max", false, {0x7F, 0xFF, 0xFF, 0xFF, 0xFE, 0x57}, 2576980377599},
        // MPEG-1: '0010' SCR[32..30] 1 | SCR[29..22] | SCR[21..15] 1 | SCR[14..7] | SCR[6..0] 1
        ScrCase{"m1_zero", true, {0x21, 0x00, 0x01, 0x00, 0x01, 0xFF}, 0},
        ScrCase{"m1_bit32", true, {0x29, 0x00, 0x01, 0x00, 0x01, 0xFF}, 1288490188800},
        ScrCase{"m1_bit30", true, {0x23, 0x00, 0x01, 0x00, 0x01, 0xFF}, 322122547200},
        ScrCase{"m1_bit22", true, {0x21, 0x01, 0x01, 0x00, 0x01, 0xFF}, 1258291200},
        ScrCase{"m1_bit15", true, {0x21, 0x00, 0x03, 0x00, 0x01, 0xFF}, 9830400},
        ScrCase{"m1_bit7", true, {0x21, 0x00, 0x01, 0x01, 0x01, 0xFF}, 38400},
        ScrCase{"m1_bit0", true, {0x21, 0x00, 0x01, 0x00, 0x03, 0xFF}, 300},
        ScrCase{"m1_max", true, {0x2F, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, 2576980377300}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scr, IntervalIsModulo300Times2To33) {
  struct Case {
    uint64_t earlier, later, interval;
  } cases[] = {
      {0, 200000, 200000},
      {kScrModulus - 300, 600, 900},  // the base wraps
      {600, 300, kScrModulus - 300},  // a clock that runs back is a long way forward
      {12345, 12345, 0},
      {kScrModulus + 211, 500, 289},  // base 2^33 - 1 with extension 511
  };
  for (const Case& c : cases) EXPECT_EQ(scr_interval(c.earlier, c.later), c.interval);
}

// --- streams timed to the tick ---

// Pack k: a pack header with SCR scrs[k], then `extra` units, then one video
// packet that fills the pack to pack_bytes; an end code after the last one.
using Extra = std::function<void(StreamBuilder&, size_t k)>;

Bytes timed(const std::vector<uint64_t>& scrs, uint32_t pack_bytes, uint32_t mux,
            const Extra& extra = nullptr, bool end = true, bool mpeg1 = false) {
  StreamBuilder b;
  for (size_t k = 0; k < scrs.size(); ++k) {
    size_t start = b.size();
    if (mpeg1)
      b.pack1_scr(scrs[k], mux);
    else
      b.pack_scr(scrs[k], mux);
    if (extra) extra(b, k);
    // PES packets of at most 65535 payload bytes up to the pack's size
    while (b.size() - start < pack_bytes) {
      uint32_t left = uint32_t(pack_bytes - (b.size() - start));
      b.pes(0xE0, left > 65541 ? std::min<uint32_t>(left - 12, 65535) : left - 6);
    }
  }
  if (end) b.end();
  return b.data;
}

// n SCRs `step` ticks apart from `first`.
std::vector<uint64_t> steady(size_t n, uint64_t step, uint64_t first = 0) {
  std::vector<uint64_t> s;
  for (size_t k = 0; k < n; ++k) s.push_back(first + k * step);
  return s;
}

// n SCRs for packs of `bytes` at exactly `rate` units, rounded down to the
// 90 kHz base as a muxer without the extension writes them.
std::vector<uint64_t> at_rate_90khz(size_t n, uint64_t bytes, uint64_t rate) {
  std::vector<uint64_t> s;
  for (size_t k = 0; k < n; ++k) s.push_back(k * bytes * kTicksPerByteUnit / rate / 300 * 300);
  return s;
}

std::set<std::string> codes(const Verdict& v) {
  std::set<std::string> c;
  for (const FindingClass& f : kFindingClasses)
    if (v.found[size_t(f.finding)]) c.insert(std::string(f.code));
  return c;
}

TEST(Audit, SteadyStreamAtItsRate) {
  // 2000 bytes every 200000 ticks: 5400 units of 50 bytes/s, exactly
  AuditRun r = audit(timed(steady(10, 200000), 2000, 5400));
  ASSERT_EQ(r.failure, Failure::None);
  const Measurement& m = r.measurement;
  EXPECT_EQ(m.file_size, 20004u);
  EXPECT_EQ(m.pairs, 9u);
  EXPECT_EQ(m.continuous, 9u);
  EXPECT_EQ(m.discontinuities, 0u);
  EXPECT_EQ(m.packs_below_needed, 0u);
  // 8 pairs: ceil(16000 * 540000 / 1600300) = 5399; 1 pair: 5392
  EXPECT_EQ(r.verdict.needed_rate, 5399u * 400);
  EXPECT_EQ(m.needed_at, 0u);
  EXPECT_EQ(r.verdict.average_rate, 2160000u);
  EXPECT_EQ(r.verdict.duration_ms, 67u);         // 1800000 ticks: 66.667 ms
  EXPECT_EQ(r.verdict.player_duration_ms, 74u);  // 20004 / 270000 s
  EXPECT_EQ(codes(r.verdict), std::set<std::string>{"duration_mismatch"});
  EXPECT_FALSE(r.verdict.problem);
  EXPECT_FALSE(r.verdict.has_suggestion);
}

// Two packs: the one stretch of one pair against the field.
struct NeedCase {
  const char* name;
  uint32_t d;
  uint64_t dt;
  uint64_t need;  // rate units
  bool too_fast;  // against a field of 5400
  friend void PrintTo(const NeedCase& c, std::ostream* os) { *os << c.name; }
};

class StretchNeed : public ::testing::TestWithParam<NeedCase> {};

TEST_P(StretchNeed, CeilOfBytesOverTicksPlusOneBaseTick) {
  const NeedCase& c = GetParam();
  AuditRun r = audit(timed({0, c.dt}, c.d, 5400));
  EXPECT_EQ(r.measurement.continuous, 1u);
  EXPECT_EQ(r.verdict.needed_rate, c.need * 400);
  EXPECT_EQ(r.measurement.packs_below_needed, c.too_fast ? 1u : 0u);
  EXPECT_EQ(r.verdict.found[size_t(Finding::MuxRateBelowNeeded)], c.too_fast);
  EXPECT_EQ(r.verdict.has_suggestion, c.too_fast);
  EXPECT_EQ(r.verdict.suggested_rate, c.too_fast ? c.need * 400 : 0);
}

INSTANTIATE_TEST_SUITE_P(Edges, StretchNeed,
                         ::testing::Values(NeedCase{"exactly_the_field", 2000, 199700, 5400, false},
                                           NeedCase{"one_tick_less", 2000, 199699, 5401, true},
                                           NeedCase{"one_byte_more", 2001, 199700, 5403, true},
                                           NeedCase{"slower", 2000, 250000, 4315, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Pair 9 -> 10 is 1000 ticks short: every stretch that ends with it is too
// fast, and those begin at packs 2..9; stretches of 9 pairs do not count.
TEST(Audit, ShortPairFlagsTheEightPacksBeforeIt) {
  std::vector<uint64_t> scrs = steady(20, 200000);
  scrs[10] -= 1000;
  AuditRun r = audit(timed(scrs, 2000, 5400));
  EXPECT_EQ(r.measurement.packs_below_needed, 8u);
  EXPECT_EQ(r.verdict.needed_rate, 5419u * 400);  // ceil(1080000000 / 199300)
  EXPECT_EQ(r.measurement.needed_at, 9u * 2000);
  EXPECT_EQ(r.measurement.continuous, 19u);
}

// A clock jump before pack 7 ends the run: only packs 7..9 begin stretches
// that reach the short pair.
TEST(Audit, DiscontinuityEndsTheStretches) {
  std::vector<uint64_t> scrs = steady(100, 200000);
  for (size_t k = 7; k < scrs.size(); ++k) scrs[k] += 19'000'000;
  scrs[10] -= 1000;
  AuditRun r = audit(timed(scrs, 2000, 5400));
  EXPECT_EQ(r.measurement.packs_below_needed, 3u);
  EXPECT_EQ(r.measurement.discontinuities, 1u);
  EXPECT_EQ(r.measurement.continuous, 98u);
  EXPECT_EQ(codes(r.verdict),
            (std::set<std::string>{"mux_rate_below_needed", "scr_discontinuity"}));
}

// The largest need is reached first by the stretch that begins earliest.
TEST(Audit, NeededAtIsTheEarliestStretchAtTheMaximum) {
  // two equal short pairs, 2 -> 3 and 12 -> 13
  std::vector<uint64_t> scrs = steady(20, 200000);
  for (size_t k = 3; k < scrs.size(); ++k) scrs[k] -= 1000;
  for (size_t k = 13; k < scrs.size(); ++k) scrs[k] -= 1000;
  AuditRun r = audit(timed(scrs, 2000, 5400));
  EXPECT_EQ(r.verdict.needed_rate, 5419u * 400);
  EXPECT_EQ(r.measurement.needed_at, 2u * 2000);
}

struct ClockCase {
  const char* name;
  uint32_t d;
  uint64_t first, second;
  bool continuous;
  friend void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }
};

class ClockLimits : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ClockLimits, PairIsContinuousOrNot) {
  const ClockCase& c = GetParam();
  AuditRun r = audit(timed({c.first, c.second}, c.d, 5400));
  EXPECT_EQ(r.measurement.pairs, 1u);
  EXPECT_EQ(r.measurement.continuous, c.continuous ? 1u : 0u);
  EXPECT_EQ(r.measurement.discontinuities, c.continuous ? 0u : 1u);
  EXPECT_EQ(r.verdict.has_timing, c.continuous);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ClockLimits,
    ::testing::Values(ClockCase{"longest_interval", 2000, 0, 18'900'000, true},
                      ClockCase{"one_tick_longer", 2000, 0, 18'900'001, false},
                      ClockCase{"clock_stands_still", 2000, 5000, 5000, false},
                      ClockCase{"clock_runs_back", 2000, 5000, 4999, false},
                      ClockCase{"base_wraps", 2000, kScrModulus - 100200, kScrModulus + 99800,
                                true},
                      // ceil(d * 540000 / dt) against the 22-bit field's 4194303
                      ClockCase{"rate_field_overflows", 2000, 0, 257, false},
                      ClockCase{"rate_field_holds_it", 2000, 0, 258, true},
                      // 1398101 * 540000 == 4194303 * 180000: the largest rate the field holds
                      ClockCase{"rate_field_full", 1398101, 0, 180000, true},
                      ClockCase{"rate_field_one_byte_over", 1398102, 0, 180000, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A muxer that writes SCRs on the 90 kHz base only rounds each one down; the
// one tick of slack per stretch absorbs it, a field 0.4% too low does not.
TEST(Audit, BaseRoundingIsAbsorbedAShortFieldIsNot) {
  std::vector<uint64_t> scrs = at_rate_90khz(600, 2048, 25200);
  AuditRun exact = audit(timed(scrs, 2048, 25200));
  EXPECT_EQ(exact.measurement.continuous, 599u);
  EXPECT_EQ(exact.measurement.packs_below_needed, 0u);
  EXPECT_LE(exact.verdict.needed_rate, 10080000u);
  EXPECT_EQ(exact.verdict.profile, Profile::Dvd);
  EXPECT_EQ(codes(exact.verdict), std::set<std::string>{});

  Bytes low = timed(scrs, 2048, 25100);
  AuditRun r = audit(low);
  EXPECT_EQ(codes(r.verdict), std::set<std::string>{"mux_rate_below_needed"});
  EXPECT_GT(r.measurement.packs_below_needed, 590u);
  EXPECT_TRUE(r.verdict.problem);
  ASSERT_TRUE(r.verdict.has_suggestion);
  EXPECT_EQ(r.verdict.suggested_rate, 10080000u);  // the DVD's standard rate
  // the suggested rate written, a second audit finds nothing
  ASSERT_EQ(rewrite(low, uint32_t(r.verdict.suggested_rate)).failure, Failure::None);
  AuditRun fixed = audit(low);
  EXPECT_EQ(codes(fixed.verdict), std::set<std::string>{});
  EXPECT_EQ(fixed.verdict.needed_rate, r.verdict.needed_rate);
}

// --- findings ---

struct FindingCase {
  const char* name;
  std::function<Bytes()> make;
  std::set<std::string> codes;
  uint64_t suggested;  // 0: none
  friend void PrintTo(const FindingCase& c, std::ostream* os) { *os << c.name; }
};

class Findings : public ::testing::TestWithParam<FindingCase> {};

TEST_P(Findings, ExactlyTheseFindings) {
  const FindingCase& c = GetParam();
  AuditRun r = audit(c.make());
  ASSERT_EQ(r.failure, Failure::None);
  EXPECT_EQ(codes(r.verdict), c.codes);
  bool problem = false;
  for (const FindingClass& f : kFindingClasses)
    problem = problem || (c.codes.count(std::string(f.code)) && f.severity == Severity::Problem);
  EXPECT_EQ(r.verdict.problem, problem);
  EXPECT_EQ(r.verdict.has_suggestion, c.suggested != 0);
  EXPECT_EQ(r.verdict.suggested_rate, c.suggested);
  // every finding has its sentence
  for (const FindingClass& f : kFindingClasses)
    EXPECT_FALSE(finding_message(f.finding, r.measurement, r.verdict).empty());
}

// 100 packs: the last pack's time, which no pair measures, is 1% of the duration.
Bytes clean() { return timed(steady(100, 200000), 2000, 5400); }

Bytes with_system_header(uint32_t rate_bound) {
  return timed(steady(100, 200000), 2000, 5400, [rate_bound](StreamBuilder& b, size_t k) {
    if (k == 0) b.system_header(rate_bound, {{0xE0, 1, 232}});
  });
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Findings,
    ::testing::Values(
        FindingCase{"clean", clean, {}, 0},
        FindingCase{"empty_file", [] { return Bytes{}; }, {"no_pack_header"}, 0},
        FindingCase{"packets_only",
                    [] { return StreamBuilder{}.pes(0xE0, 100).pes(0xC0, 50).end().data; },
                    {"no_pack_header"},
                    0},
        FindingCase{"mux_rate_zero",
                    [] {
                      Bytes b = clean();
                      b[2000 * 4 + 10] = b[2000 * 4 + 11] = 0;
                      b[2000 * 4 + 12] = 0x03;
                      return b;
                    },
                    // pack 4 begins stretches that its 0 cannot carry
                    {"mux_rate_zero", "mux_rate_below_needed", "mux_rate_varies"},
                    5399 * 400},
        FindingCase{"mux_rate_zero_no_timing",
                    [] {
                      return timed({0, 0}, 2000, 0);
                    },
                    {"mux_rate_zero", "scr_discontinuity"},
                    400},
        FindingCase{"rate_bound_below",
                    [] { return with_system_header(5399); },
                    {"rate_bound_below_mux_rate"},
                    5399 * 400},
        FindingCase{"rate_bound_equal", [] { return with_system_header(5400); }, {}, 0},
        // a system header of 8 bytes holds no rate_bound
        FindingCase{"rate_bound_absent",
                    [] {
                      return timed(steady(100, 200000), 2000, 5400, [](StreamBuilder& b, size_t) {
                        b.raw({0x00, 0x00, 0x01, 0xBB, 0x00, 0x02, 0x80, 0x01});
                      });
                    },
                    {},
                    0},
        FindingCase{"rate_bound_below_no_timing",
                    [] {
                      return timed({0, 0}, 2000, 5400, [](StreamBuilder& b, size_t k) {
                        if (k == 0) b.system_header(5000, {});
                      });
                    },
                    {"rate_bound_below_mux_rate", "scr_discontinuity"},
                    5400 * 400},
        FindingCase{"dvd_at_the_limit",
                    [] { return timed(at_rate_90khz(100, 2048, 25200), 2048, 25200); },
                    {},
                    0},
        FindingCase{"dvd_above_the_limit",
                    [] { return timed(at_rate_90khz(100, 2048, 25201), 2048, 25201); },
                    {"mux_rate_above_profile"},
                    10080000},
        FindingCase{"mpeg2_above_the_dvd_limit",
                    [] { return timed(at_rate_90khz(100, 2000, 25201), 2000, 25201); },
                    {},
                    0},
        FindingCase{"mux_rate_varies",
                    [] {
                      Bytes b = timed(steady(100, 200000), 2000, 5500);
                      Bytes low = timed(steady(100, 200000), 2000, 5400);
                      std::copy_n(low.begin() + 2000 * 5, 14, b.begin() + 2000 * 5);
                      return b;
                    },
                    {"mux_rate_varies"},
                    0},
        FindingCase{"clock_restarts",
                    [] {
                      std::vector<uint64_t> s = steady(100, 200000);
                      for (size_t k = 50; k < 100; ++k) s[k] = (k - 50) * 200000;
                      return timed(s, 2000, 5400);
                    },
                    {"scr_discontinuity"},
                    0},
        FindingCase{"duration_within_5_percent",
                    [] { return timed(steady(100, 205000), 2000, 5400); },
                    {},
                    0},
        FindingCase{"duration_off_by_8_percent",
                    [] { return timed(steady(100, 220000), 2000, 5400); },
                    {"duration_mismatch"},
                    0},
        FindingCase{"cut_in_a_packet",
                    [] {
                      Bytes b = timed(steady(100, 205000), 2000, 5400, nullptr, false);
                      b.resize(b.size() - 100);
                      return b;
                    },
                    {"truncated"},
                    0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- damage and joined files: the --resync --past-end walk ---

Bytes joined(uint64_t second_first_scr, uint32_t second_mux = 5400) {
  Bytes b = timed(steady(100, 200000), 2000, 5400);
  Bytes second = timed(steady(100, 200000, second_first_scr), 2000, second_mux);
  b.insert(b.end(), second.begin(), second.end());
  return b;
}

TEST(Audit, JoinedFilesAreWalkedPastTheEndCode) {
  // the clock goes on across the end code: the pair is broken all the same
  for (uint64_t restart : {uint64_t(0), uint64_t(100 * 200000)}) {
    AuditRun r = audit(joined(restart));
    const Measurement& m = r.measurement;
    EXPECT_EQ(m.packs, 200u);
    EXPECT_EQ(m.end_codes, 2u);
    EXPECT_EQ(m.first_end_code, 200000u);
    EXPECT_EQ(m.file_size - m.first_end_code - 4, 200004u);
    EXPECT_EQ(m.pairs, 199u);
    EXPECT_EQ(m.continuous, 198u);
    EXPECT_EQ(m.discontinuities, 1u);
    // the broken pair is 2004 bytes long, and does not count
    EXPECT_TRUE(r.verdict.has_pack_size);
    EXPECT_EQ(r.verdict.pack_size, 2000u);
    EXPECT_EQ(codes(r.verdict),
              (std::set<std::string>{"data_after_end_code", "scr_discontinuity"}));
    EXPECT_FALSE(r.verdict.problem);
  }
  // a field too low after the end code: the fix must go past it
  AuditRun low = audit(joined(0, 5390));
  EXPECT_TRUE(low.verdict.found[size_t(Finding::MuxRateBelowNeeded)]);
  EXPECT_EQ(low.measurement.packs_below_needed, 99u);
  EXPECT_TRUE(low.verdict.fix_past_end);
  EXPECT_FALSE(low.verdict.fix_resync);
}

TEST(Audit, ZeroStuffingAfterTheEndCodeIsNoData) {
  Bytes b = clean();
  b.insert(b.end(), 20, 0);
  AuditRun r = audit(b);
  EXPECT_FALSE(r.measurement.data_after_end_code);
  EXPECT_EQ(r.measurement.zero_stuffing, 20u);
  EXPECT_EQ(codes(r.verdict), std::set<std::string>{});
}

// Seven bytes inserted in pack 50's video packet: the packet ends in the
// middle of them, so the walk searches from it to pack 51.
Bytes damaged(uint32_t mux) {
  StreamBuilder b;
  b.data = timed(steady(100, 200000), 2000, mux);
  return b.insert(50 * 2000 + 100, 7, 0xFF).data;
}

TEST(Audit, DamageIsSkippedAndBreaksThePair) {
  for (size_t window : {kMinWindowSize, size_t(1000), kWindowSize}) {
    AuditRun r = audit(damaged(5400), window);
    const Measurement& m = r.measurement;
    EXPECT_EQ(m.skipped_ranges, 1u) << window;
    EXPECT_EQ(m.first_skipped, 50u * 2000 + 14);
    EXPECT_EQ(m.skipped_bytes, 2000u - 14 + 7);
    EXPECT_EQ(m.packs, 100u);
    EXPECT_EQ(m.streams[0xE0].packets, 99u);
    EXPECT_EQ(m.discontinuities, 1u);
    // the pair around the damage, 2007 bytes, is broken: it leaves the pack size alone
    EXPECT_TRUE(r.verdict.has_pack_size);
    EXPECT_EQ(r.verdict.pack_size, 2000u);
    EXPECT_EQ(codes(r.verdict), (std::set<std::string>{"damaged", "scr_discontinuity"}));
    EXPECT_TRUE(r.verdict.problem);
    EXPECT_FALSE(r.verdict.has_suggestion);
  }
  AuditRun low = audit(damaged(5390));
  EXPECT_TRUE(low.verdict.fix_resync);
  EXPECT_FALSE(low.verdict.fix_past_end);
  EXPECT_EQ(low.verdict.suggested_rate, 5399u * 400);
}

TEST(Audit, SearchThatRunsToTheEndIsDamageNotACut) {
  Bytes b = timed(steady(100, 205000), 2000, 5400, nullptr, false);
  b.insert(b.end(), 10, 0xFF);
  AuditRun r = audit(b);
  EXPECT_EQ(r.measurement.skipped_ranges, 1u);
  // the last packet is followed by neither 00 00 01 nor 00 00 00: damage from it on
  EXPECT_EQ(r.measurement.first_skipped, 99u * 2000 + 14);
  EXPECT_EQ(r.measurement.skipped_bytes, 1986u + 10);
  EXPECT_FALSE(r.measurement.truncated);
  EXPECT_EQ(codes(r.verdict), std::set<std::string>{"damaged"});
}

TEST(Audit, SkippedRangeAfterTheEndCodeIsData) {
  Bytes b = clean();
  b.insert(b.end(), 10, 0xFF);
  AuditRun r = audit(b);
  EXPECT_EQ(codes(r.verdict), (std::set<std::string>{"damaged", "data_after_end_code"}));
}

// --- the end of the file ---

struct TailCase {
  const char* name;
  Bytes tail;  // after 20 packs of 2000 bytes, without an end code
  bool truncated;
  uint64_t zero_stuffing;
  friend void PrintTo(const TailCase& c, std::ostream* os) { *os << c.name; }
};

class FileEnd : public ::testing::TestWithParam<TailCase> {};

TEST_P(FileEnd, CutUnitOrZeroStuffing) {
  const TailCase& c = GetParam();
  Bytes b = timed(steady(20, 205000), 2000, 5400, nullptr, false);
  b.insert(b.end(), c.tail.begin(), c.tail.end());
  for (size_t window : {kMinWindowSize, size_t(1000), kWindowSize}) {
    AuditRun r = audit(b, window);
    EXPECT_EQ(r.measurement.truncated, c.truncated) << window;
    EXPECT_EQ(r.measurement.truncated_at, c.truncated ? 40000u : 0u) << window;
    EXPECT_EQ(r.measurement.zero_stuffing, c.zero_stuffing) << window;
    EXPECT_EQ(r.measurement.file_size, b.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tails, FileEnd,
    ::testing::Values(TailCase{"nothing", {}, false, 0}, TailCase{"one_zero", {0}, false, 1},
                      TailCase{"three_zeros", {0, 0, 0}, false, 3},
                      TailCase{"five_zeros", {0, 0, 0, 0, 0}, false, 5},
                      TailCase{"start_code_prefix", {0, 0, 1}, true, 0},
                      TailCase{"one_other_byte", {0xFF}, true, 0},
                      TailCase{"cut_pack_header", {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1}, true, 0},
                      TailCase{"cut_packet_header", {0, 0, 1, 0xE0, 0x07}, true, 0},
                      TailCase{"packet_past_the_end", {0, 0, 1, 0xE0, 0x00, 0x10, 1, 2}, true, 0},
                      TailCase{"cut_pack_stuffing",
                               {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0x01, 0x52, 0x63, 0xFF, 0xFF},
                               true,
                               0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Audit, PacketBytesAreCutAtTheEndOfTheFile) {
  Bytes b = timed(steady(3, 200000), 2000, 5400, nullptr, false);
  b.resize(b.size() - 100);
  AuditRun r = audit(b);
  EXPECT_EQ(r.measurement.streams[0xE0].packets, 3u);
  EXPECT_EQ(r.measurement.streams[0xE0].bytes, 3u * 1986 - 100);
  EXPECT_EQ(r.measurement.truncated_at, 2u * 2000 + 14);
}

TEST(Audit, EveryPacketCodeIsTallied) {
  StreamBuilder b;
  b.pack_scr(0, 5400);
  for (uint32_t code = 0xBC; code <= 0xFF; ++code) b.pes(uint8_t(code), code - 0xBC);
  AuditRun r = audit(b.end().data);
  for (uint32_t code = 0xBC; code <= 0xFF; ++code) {
    EXPECT_EQ(r.measurement.streams[code].packets, 1u) << std::hex << code;
    EXPECT_EQ(r.measurement.streams[code].bytes, code - 0xBC + 6) << std::hex << code;
  }
}

// --- profile ---

struct ProfileCase {
  const char* name;
  std::function<Bytes()> make;
  Profile profile;
  friend void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }
};

class Profiles : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(Profiles, FromLayoutsAndPackSize) {
  EXPECT_EQ(audit(GetParam().make()).verdict.profile, GetParam().profile);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Profiles,
    ::testing::Values(
        ProfileCase{"dvd", [] { return timed(steady(5, 50000), 2048, 25200); }, Profile::Dvd},
        ProfileCase{"vcd", [] { return timed(steady(5, 50000), 2324, 3528, nullptr, true, true); },
                    Profile::Vcd},
        ProfileCase{"svcd", [] { return timed(steady(5, 50000), 2324, 6972); }, Profile::Svcd},
        ProfileCase{"mpeg2_other_size", [] { return timed(steady(5, 50000), 2000, 25200); },
                    Profile::Mpeg2},
        ProfileCase{"mpeg1_other_size",
                    [] { return timed(steady(5, 50000), 2048, 3528, nullptr, true, true); },
                    Profile::Mpeg1},
        ProfileCase{"mpeg2_one_pack", [] { return timed({0}, 2048, 25200); }, Profile::Mpeg2},
        ProfileCase{"dvd_with_one_odd_pack",
                    [] {
                      Bytes b = timed(steady(3, 50000), 2048, 25200, nullptr, false);
                      Bytes odd = timed({150000}, 2000, 25200, nullptr, false);
                      Bytes rest = timed({200000, 250000}, 2048, 25200);
                      b.insert(b.end(), odd.begin(), odd.end());
                      b.insert(b.end(), rest.begin(), rest.end());
                      return b;
                    },
                    Profile::Mpeg2},
        // one odd sector among 199 pairs: 99.5% of them are 2048 bytes apart
        ProfileCase{"dvd_with_one_odd_sector_in_200",
                    [] {
                      Bytes b = timed(steady(100, 50000), 2048, 25200, nullptr, false);
                      Bytes odd = timed({5000000}, 2000, 25200, nullptr, false);
                      Bytes rest = timed(steady(99, 50000, 5050000), 2048, 25200);
                      b.insert(b.end(), odd.begin(), odd.end());
                      b.insert(b.end(), rest.begin(), rest.end());
                      return b;
                    },
                    Profile::Dvd},
        ProfileCase{"mixed",
                    [] {
                      Bytes b = timed(steady(2, 50000), 2048, 25200, nullptr, false);
                      Bytes one = timed({100000}, 2048, 3528, nullptr, true, true);
                      b.insert(b.end(), one.begin(), one.end());
                      return b;
                    },
                    Profile::Mixed},
        ProfileCase{"none", [] { return StreamBuilder{}.pes(0xE0, 10).data; }, Profile::None}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the walk through windows of any size ---

std::string json_of(const Bytes& bytes, size_t window) {
  AuditRun r = audit(bytes, window);
  static OutBuffer out;
  std::string captured;
  out.capture = &captured;
  out.used = 0;
  put_json_report(out, "x", r.measurement, r.verdict);
  flush(out);
  out.capture = nullptr;
  return captured;
}

// Packs of many sizes (stuffing, system headers, long packets, zero stuffing)
// read through small windows: each pack header's SCR and rate are read where
// the unit lies, whichever window holds it.
TEST(Audit, WindowSizeChangesNothing) {
  StreamBuilder b;
  uint64_t scr = 0;
  for (uint32_t k = 0; k < 300; ++k) {
    b.pack_scr(scr, 5400 + k % 7, uint8_t(k % 8));
    if (k % 50 == 0) b.system_header(5400 + k % 5, {{0xE0, 1, 232}, {0xC0, 0, 32}});
    uint32_t payload = (k * 7919) % (k % 25 == 0 ? 65535 : 3000);
    b.pes(k % 3 == 0 ? 0xC0 : 0xE0, payload);
    if (k % 11 == 0) b.fill(k % 5, 0);
    scr += (payload + 100) * 100 + (k % 13) * 997;
  }
  b.end();
  std::string whole = json_of(b.data, kWindowSize);
  for (size_t window : {kMinWindowSize, size_t(300), size_t(1000), size_t(4093)})
    EXPECT_EQ(json_of(b.data, window), whole) << window;
  AuditRun r = audit(b.data);
  EXPECT_EQ(r.measurement.packs, 300u);
  EXPECT_EQ(r.measurement.system_headers, 6u);
  EXPECT_GT(r.measurement.continuous, 250u);
}

// --- the fix command ---

TEST(Report, FixCommandQuotesForTheShell) {
  Verdict v;
  v.suggested_rate = 10120000;
#ifdef _WIN32
  EXPECT_EQ(fix_command("my movie's.vob", v), "psrate \"my movie's.vob\" 10120000");
  EXPECT_EQ(fix_command("", v), "psrate \"\" 10120000");
#else
  EXPECT_EQ(fix_command("my movie's.vob", v), "psrate 'my movie'\\''s.vob' 10120000");
  EXPECT_EQ(fix_command("", v), "psrate '' 10120000");
#endif
  EXPECT_EQ(fix_command("movie.vob", v), "psrate movie.vob 10120000");
  EXPECT_EQ(fix_command("--odd.mpg", v), "psrate -- --odd.mpg 10120000");
  v.fix_resync = v.fix_past_end = true;
  EXPECT_EQ(fix_command("a/b-c_d.mpg", v), "psrate --resync --past-end a/b-c_d.mpg 10120000");
}

TEST(Report, ShellWords) {
  struct Case {
    const char* name;
    const char* posix;
    const char* windows;
  };
  for (const Case& c :
       {Case{"plain.mpg", "plain.mpg", "plain.mpg"},
        Case{"C:\\DVD\\VTS_01_1.VOB", "'C:\\DVD\\VTS_01_1.VOB'", "C:\\DVD\\VTS_01_1.VOB"},
        Case{"a b.mpg", "'a b.mpg'", "\"a b.mpg\""}, Case{"a&b.mpg", "'a&b.mpg'", "\"a&b.mpg\""},
        Case{"100%.mpg", "100%.mpg", "\"100%.mpg\""}, Case{"(1).mpg", "'(1).mpg'", "\"(1).mpg\""},
        Case{"a^b|c<d>.mpg", "'a^b|c<d>.mpg'", "\"a^b|c<d>.mpg\""},
        Case{"it's.mpg", "'it'\\''s.mpg'", "it's.mpg"}}) {
    EXPECT_EQ(posix_shell_word(c.name), c.posix) << c.name;
    EXPECT_EQ(windows_shell_word(c.name), c.windows) << c.name;
  }
}

// Whatever the figures, no line of the report passes 80 columns.
TEST(Report, LinesFitIn80Columns) {
  static Measurement m;
  m.file_size = UINT64_MAX / 3;
  m.packs = m.mpeg2_packs = m.pairs = m.continuous = m.discontinuities = UINT64_MAX / 7;
  m.unbroken_pairs = 1;
  m.pack_sizes.add(2048);
  for (StreamCount& s : m.census.ids) {
    s.packets = UINT64_MAX / 11;
    s.payload_bytes = UINT64_MAX / 3;
    s.codec = Codec::Mpeg2Video;
    s.video = {16383, 16383, 3, 7, 0x3FFFE, 1023, true, 0, false, false, 0, 0, 0xFFF, 0xFF};
  }
  for (StreamCount& s : m.census.subs) {
    s.packets = UINT64_MAX / 11;
    s.codec = Codec::Lpcm;
    s.lpcm.lpcm_rate = 96000;
    s.lpcm.lpcm_bits = 24;
    s.lpcm.lpcm_channels = 8;
  }
  m.system_headers = UINT64_MAX;
  for (StreamTally& t : m.streams) t = {UINT64_MAX / 11, UINT64_MAX / 13};
  m.end_codes = m.skipped_ranges = m.skipped_bytes = UINT64_MAX / 17;
  m.first_end_code = m.first_skipped = m.truncated_at = m.needed_at = UINT64_MAX / 19;
  m.truncated = m.data_after_end_code = true;
  m.mux_min = 1;
  m.mux_max = m.first_mux = (1u << 22) - 1;
  m.mux_zero = m.rate_bounds = m.packs_below_needed = UINT64_MAX / 23;
  m.rate_bound_min = 1;
  m.rate_bound_max = (1u << 22) - 1;
  m.need_max = 1u << 22;
  m.sum_d = m.sum_dt = 1;
  Verdict v = judge(m);
  for (bool& f : v.found) f = true;
  v.row = &kProfileRows[0];
  v.presentation = {true, 0xBD, 0x80, true, UINT64_MAX / 29};
  std::string text;
  static OutBuffer out;
  out.capture = &text;
  put_report(out, "f.mpg", m, v);
  flush(out);
  out.capture = nullptr;
  size_t at = 0, lines = 0;
  // a command is shown whole, to be copied
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1, ++lines)
    if (text.compare(at, 5, "Fix: ") != 0) {
      EXPECT_LE(end - at, 80u) << text.substr(at, end - at);
    }
  EXPECT_GT(lines, 40u);
}

}  // namespace
}  // namespace psrate::test
