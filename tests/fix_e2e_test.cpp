// SPDX-License-Identifier: MIT
// psrate --fix end to end: the check, the rewrite its verdict asks for and the
// check again; the exact output, the file's bytes, and the runs that must not write.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "dvd_recipe.hpp"
#include "e2e_support.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

using Json = nlohmann::json;

const std::string kBin = psrate_bin();

// 100 packs of `pack` bytes whose SCRs step `step` ticks, the first with a
// system header; every field at `mux`.
Bytes packs(uint32_t mux, uint32_t pack = 2000, uint64_t step = 200000, uint32_t count = 100) {
  StreamBuilder b;
  for (uint32_t k = 0; k < count; ++k) {
    b.pack_scr(uint64_t(k) * step, mux);
    if (k == 0) {
      b.system_header(mux, {{0xE0, 1, 232}});
      b.pes(0xE0, pack - 14 - 15 - 6);
    } else {
      b.pes(0xE0, pack - 14 - 6);
    }
  }
  return b.end().data;
}

std::string tail_after(const std::string& out, const std::string& marker) {
  size_t at = out.rfind(marker);
  return at == std::string::npos ? std::string() : out.substr(at);
}

// The fields below what the SCRs need: the rewrite, then a check that finds nothing.
TEST(Fix, RewritesToTheSuggestedRateAndChecksAgain) {
  Bytes low = packs(5390);
  std::string path = write_temp("fix-low.mpg", low);
  std::string expected_path = write_temp("fix-expected.mpg", low);
  ASSERT_EQ(run_psrate({kBin, "-q", expected_path, "2159600"}).status, 0);
  RunResult check = run_psrate({kBin, "--check", path});
  RunResult r = run_psrate({kBin, "--fix", "--quiet", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, check.out +
                       "\n"
                       "Fixed: 100 pack headers and 1 system header set to 2159600 bit/s\n"
                       "Verdict: none\n"
                       "Fix: none needed for the rate fields.\n");
  EXPECT_EQ(read_file(path), read_file(expected_path));  // three bytes a header, no other
  // fixed: a second --fix writes nothing
  RunResult again = run_psrate({kBin, "--fix", path});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(tail_after(again.out, "\n\n"), "\n\nNothing written: the rate fields need no fix.\n");
  EXPECT_EQ(read_file(path), read_file(expected_path));
}

TEST(Fix, ShowsTheRewritesProgressUnlessQuiet) {
  std::string path = write_temp("fix-progress.mpg", packs(5390));
  RunResult r = run_psrate({kBin, "--fix", path});
  EXPECT_EQ(r.status, 0);
  std::string last = progress(200000, 200004, 100, '\n');  // where the end code stops the walk
  EXPECT_NE(r.out.find(last + "\nFixed: 100 pack headers"), std::string::npos);
}

TEST(Fix, JsonBeforeWrittenAfter) {
  std::string path = write_temp("fix-json.mpg", packs(5390));
  RunResult r = run_psrate({kBin, "--json", "--fix", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  Json j = Json::parse(r.out);  // one document: no progress line
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j["before"]["verdict"]["remedy"], "rewrite");
  EXPECT_EQ(j["before"]["suggested_rate"], 2159600);
  EXPECT_EQ(j["written"],
            Json({{"packs", 100}, {"system_headers", 1}, {"rate", 2159600}, {"entries", 0}}));
  EXPECT_EQ(j["after"]["findings"], Json::array());
  EXPECT_EQ(j["after"]["program_mux_rate"]["min"], 2159600);
  EXPECT_EQ(j["after"]["verdict"]["remedy"], nullptr);
  // nothing to do: nothing written, nothing after
  RunResult none = run_psrate({kBin, "--fix", "--json", path});
  EXPECT_EQ(none.status, 0);
  Json n = Json::parse(none.out);
  EXPECT_EQ(n["written"], nullptr);
  EXPECT_EQ(n["after"], nullptr);
  EXPECT_EQ(n["before"]["findings"], Json::array());
}

// DVD packs whose SCRs run four times too fast, mostly padding: only a remux
// helps, and --fix leaves the file as it is, with exit status 2.
TEST(Fix, WritesNothingWhenTheVerdictIsARemux) {
  StreamBuilder b;
  for (uint32_t k = 0; k < 100; ++k) {
    b.pack_scr(uint64_t(k) * 2048 * 540000 / (25200 * 4), 25200 * 4);
    b.pes(0xE0, 300 - 6).padding(2048 - 14 - 300 - 6);
  }
  Bytes fast = b.end().data;
  std::string path = write_temp("fix-remux.mpg", fast);
  RunResult r = run_psrate({kBin, "--fix", path});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\nVerdict: remux, the elementary streams fit the dvd profile"),
            std::string::npos);
  EXPECT_EQ(tail_after(r.out, "\n\n"),
            "\n\nNothing written: the verdict is remux. The SCRs themselves exceed the profile,\n"
            "and rate fields that disagree with them would only hide it.\n");
  EXPECT_EQ(read_file(path), fast);
  Json j = Json::parse(run_psrate({kBin, "--fix", "--json", path}).out);
  EXPECT_EQ(j["before"]["verdict"]["remedy"], "remux");
  EXPECT_EQ(j["before"]["verdict"]["suggested_rate"], nullptr);
  EXPECT_EQ(j["written"], nullptr);
  EXPECT_EQ(read_file(path), fast);
}

// A joined file with a dropout: the rewrite walks as the check did, and the
// damage that no rewrite mends is still a problem after it.
TEST(Fix, WalksPastDamageAndEndCodesAsTheCheckDid) {
  StreamBuilder b;
  b.data = packs(5400);
  b.insert(50 * 2000 + 100, 7, 0xFF);
  Bytes second = packs(5390);
  b.data.insert(b.data.end(), second.begin(), second.end());
  std::string path = write_temp("fix-joined.mpg", b.data);
  RunResult r = run_psrate({kBin, "--fix", "-q", "--json", path});
  EXPECT_EQ(r.status, 2);
  Json j = Json::parse(r.out);
  EXPECT_EQ(j["written"]["packs"], 200);  // the dropout hits a packet, not a pack header
  std::vector<std::string> left;
  for (const Json& f : j["after"]["findings"]) left.push_back(f["code"]);
  EXPECT_EQ(left,
            (std::vector<std::string>{"damaged", "data_after_end_code", "scr_discontinuity"}));
  EXPECT_EQ(j["after"]["program_mux_rate"]["min"], 2159600);
}

// The system header's stream table of a recipe's stream: bytes 1 and 2 of
// entry i ('11', scale, size_bound) at 14 + 12 + 3 i.
void set_entry(Bytes& stream, size_t i, uint8_t scale, uint16_t units) {
  size_t at = 14 + 12 + 3 * i;
  stream[at + 1] = uint8_t(0xC0 | scale << 5 | units >> 8);
  stream[at + 2] = uint8_t(units);
}

// DVD streams whose buffers all peak within the profile's sizes: --fix sets
// each low bound to the profile's (two bytes an entry), never lowers one, and
// sets none when a remux is due.
struct BoundCase {
  const char* name;
  Playable recipe;
  std::vector<std::pair<size_t, uint16_t>> set;  // entry and its new size_bound (scale 1)
  std::string fixed;                             // the "Fixed:" line, "" for nothing written
  int status;
  friend void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }
};

class Bounds : public ::testing::TestWithParam<BoundCase> {};

TEST_P(Bounds, SetsTheLowBoundsAlone) {
  const BoundCase& c = GetParam();
  Bytes original = playable(c.recipe);
  std::string path = write_temp(std::string("fix-bounds-") + c.name + ".mpg", original);
  RunResult check = run_psrate({kBin, "--check", path});
  RunResult r = run_psrate({kBin, "--fix", "-q", path});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, "");
  Bytes expected = original;
  if (c.recipe.mux != 25200) {
    std::string rewritten = write_temp("fix-bounds-expected.mpg", original);
    ASSERT_EQ(run_psrate({kBin, "-q", rewritten, "10080000"}).status, 0);
    expected = read_file(rewritten);
  }
  for (auto [entry, units] : c.set) set_entry(expected, entry, 1, units);
  EXPECT_EQ(read_file(path), expected);
  if (c.fixed.empty()) {
    EXPECT_EQ(r.out.substr(0, check.out.size()), check.out);
    EXPECT_EQ(tail_after(r.out, "\n\n"),
              "\n\nNothing written: the verdict is remux. The decoder buffers overflow or access\n"
              "units arrive late: only new SCRs change when the bytes arrive, and a new\n"
              "multiplex writes its own bounds.\n");
    return;
  }
  EXPECT_EQ(tail_after(check.out, "\nVerdict: "),
            c.recipe.mux != 25200 ? "\nVerdict: rewrite, every rate field to 10080000 bit/s\n"
                                    "Fix: psrate --fix " +
                                        path + "\n"
                                  : "\nVerdict: none\nFix: psrate --fix " + path +
                                        "\n(The rate fields need no fix: --fix sets only the "
                                        "system headers' buffer\n  bounds, to the dvd sizes.)\n");
  EXPECT_EQ(tail_after(r.out, "\nFixed: "),
            "\nFixed: " + c.fixed + "\nVerdict: none\nFix: none needed for the rate fields.\n");
  Json after = Json::parse(run_psrate({kBin, "--check", "--json", path}).out);
  for (const Json& f : after["findings"]) {
    EXPECT_NE(f["code"], "buffer_bound_below_profile");
    EXPECT_NE(f["code"], "bound_below_buffer_size");
  }
}

Playable bounds(std::vector<StreamEntrySpec> entries, uint32_t mux = 25200, int64_t lead = 9000) {
  Playable r;
  r.bounds = std::move(entries);
  r.mux = mux;
  r.lead = lead;
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Fix, Bounds,
    ::testing::Values(
        // ffmpeg's DVD: private stream 1 bound at 0 while AC-3 is in it
        BoundCase{"bd_at_zero",
                  bounds({{0xE0, 1, 232}, {0xBD, 1, 0}}),
                  {{1, 58}},
                  "1 stream-table entry set to the profile's buffer sizes",
                  0},
        BoundCase{"both_low_and_an_absent_stream_left",
                  bounds({{0xE0, 1, 230}, {0xC0, 0, 1}, {0xBD, 1, 2}}),
                  {{0, 232}, {2, 58}},
                  "2 stream-table entries set to the profile's buffer sizes",
                  0},
        BoundCase{"never_lowered",
                  bounds({{0xE0, 1, 300}, {0xBD, 1, 0}}),
                  {{1, 58}},
                  "1 stream-table entry set to the profile's buffer sizes",
                  0},
        BoundCase{"all_video_and_audio_entries",
                  bounds({{0xB9, 1, 200}, {0xB8, 0, 32}, {0xE0, 1, 232}, {0xBD, 1, 0}}),
                  {{0, 232}, {3, 58}},
                  "2 stream-table entries set to the profile's buffer sizes",
                  0},
        BoundCase{"with_the_rate_fields",
                  bounds({{0xE0, 1, 232}, {0xBD, 1, 0}}, 25300),
                  {{1, 58}},
                  "100 pack headers and 1 system header set to 10080000 bit/s; 1\nstream-table "
                  "entry set to the profile's buffer sizes",
                  0},
        // pictures stamped before they arrive: late, and only a remux mends them
        BoundCase{"none_when_a_remux_is_due",
                  bounds({{0xE0, 1, 232}, {0xBD, 1, 0}}, 25200, -900),
                  {},
                  "",
                  2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fix, FailedCalls) {
  if (wrapped()) GTEST_SKIP() << "the LD_PRELOAD shim counts the calls of a Linux build";
  std::string preload = std::string("LD_PRELOAD=") + PSRATE_SHIM;
  Bytes low = packs(5390);
  std::string path = write_temp("fix-fault.mpg", low);
  std::string report = run_psrate({kBin, "--check", path}).out;
  // the second open is the rewrite's: the first report stands, nothing is written
  RunResult open = run_psrate({kBin, "--fix", "-q", path}, {preload, "PSRATE_FAULT=open:2"});
  EXPECT_EQ(open.status, 1);
  EXPECT_EQ(open.out, report);
  EXPECT_EQ(open.err, kCannotOpen + cannot_open(path, "Input/output error"));
  EXPECT_EQ(read_file(path), low);
  RunResult write = run_psrate({kBin, "--fix", "-q", path}, {preload, "PSRATE_FAULT=write:1"});
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.out, report);
  EXPECT_EQ(write.err, kWriteError + file_cause(path, "Input/output error"));
  // the check after the rewrite fails to read: the rewrite is done, the run fails
  RunResult read = run_psrate({kBin, "--fix", "-q", path}, {preload, "PSRATE_FAULT=read:3"});
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.err, kReadError + file_cause(path, "Input/output error"));
}

}  // namespace
}  // namespace psrate::test
