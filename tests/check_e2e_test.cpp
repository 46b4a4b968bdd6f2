// SPDX-License-Identifier: MIT
// psrate --check end to end: the exact report, the JSON document read back,
// exit statuses, usage errors and failed calls.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "e2e_support.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

using Json = nlohmann::json;

const std::string kBin = psrate_bin();

// 100 packs of 2000 bytes whose SCRs step 200000 ticks (5400 units, less the
// slack: 5399 needed), the first with a system header; fields at `mux`.
Bytes steady_packs(uint32_t mux, uint32_t packs = 100) {
  StreamBuilder b;
  for (uint32_t k = 0; k < packs; ++k) {
    b.pack_scr(uint64_t(k) * 200000, mux);
    if (k == 0) {
      b.system_header(mux, {{0xE0, 1, 232}});
      b.pes(0xE0, 2000 - 14 - 15 - 6);
    } else {
      b.pes(0xE0, 2000 - 14 - 6);
    }
  }
  return b.end().data;
}

std::string report_below(const std::string& path) {
  return "file               " + path +
         "\n"
         "size               200004 bytes\n"
         "profile            mpeg2\n"
         "packs              100 (MPEG-2 100, MPEG-1 0), 2000 bytes each\n"
         "system headers     1\n"
         "stream e0          100 packets, 198585 bytes, 99.3% (video)\n"
         "end codes          1, the first at 0x00030d40 (200000), 0 bytes after it\n"
         "skipped            none\n"
         "zero stuffing      0 bytes\n"
         "truncated          no\n"
         "program_mux_rate   2156000 bit/s\n"
         "rate_bound         2156000 bit/s\n"
         "SCR duration       0.733 s\n"
         "SCR pairs          99: 99 continuous, 0 discontinuities\n"
         "average rate       2160000 bit/s\n"
         "needed rate        2159600 bit/s, first from the pack at 0x00000000 (0); 99\n"
         "                   packs below it\n"
         "player duration    0.742 s (size / the first program_mux_rate)\n"
         "\n"
         "Streams:\n"
         "  e0     video (no sequence header found), avg 2.16 Mbit/s\n"
         "\n"
         "Problems:\n"
         "  mux_rate_below_needed (remedy: rewrite)\n"
         "    The SCRs deliver bytes faster than program_mux_rate says: they need up to\n"
         "    2159600 bit/s (first from the pack at 0x00000000 (0)), the fields hold\n"
         "    2156000 bit/s, and 99 packs begin a stretch that is delivered too fast.\n"
         "\n"
         "Verdict: rewrite, every rate field to 2159600 bit/s\n"
         "Fix: psrate --fix " +
         path + "\n";
}

TEST(EndToEnd, CheckReport) {
  Bytes original = steady_packs(5390);
  std::string path = write_temp("check-below.mpg", original);
  RunResult r = run_psrate({kBin, "--check", path});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, report_below(path));
  EXPECT_EQ(read_file(path), original);  // read only
  // the options in any order, --resync and --past-end accepted beside --check
  EXPECT_EQ(run_psrate({kBin, "--past-end", "--check", "--resync", path}).out, r.out);
}

TEST(EndToEnd, CheckFixClearsTheProblem) {
  std::string path = write_temp("check-fix.mpg", steady_packs(5390));
  RunResult first = run_psrate({kBin, "--check", "--json", path});
  ASSERT_EQ(first.status, 2);
  Json report = Json::parse(first.out);
  ASSERT_TRUE(report["suggested_rate"].is_number_integer());
  std::string rate = std::to_string(report["suggested_rate"].get<uint64_t>());
  EXPECT_EQ(run_psrate({kBin, path, rate}).status, 0);
  RunResult again = run_psrate({kBin, "--json", "--check", path});
  EXPECT_EQ(again.status, 0);
  Json fixed = Json::parse(again.out);
  EXPECT_EQ(fixed["findings"], Json::array());
  EXPECT_EQ(fixed["suggested_rate"], nullptr);
  EXPECT_EQ(fixed["program_mux_rate"]["max"], 2159600);
  EXPECT_EQ(fixed["rate_bound"]["min"], 2159600);
  EXPECT_EQ(run_psrate({kBin, "--check", path}).out.substr(0, 19), "file               ");
}

// A joined file whose second half has a field too low, and a dropout in the
// first: the fix command walks as the audit did, and clears the problem.
TEST(EndToEnd, CheckFixReachesPastDamageAndEndCodes) {
  StreamBuilder b;
  b.data = steady_packs(5400);
  b.insert(50 * 2000 + 100, 7, 0xFF);
  Bytes second = steady_packs(5390);
  b.data.insert(b.data.end(), second.begin(), second.end());
  std::string path = write_temp("check-joined.mpg", b.data);
  RunResult r = run_psrate({kBin, "--check", path});
  EXPECT_EQ(r.status, 2);
  std::string fix = "Fix: psrate --fix " + path + "\n";
  ASSERT_GE(r.out.size(), fix.size());
  EXPECT_EQ(r.out.substr(r.out.size() - fix.size()), fix);
  EXPECT_NE(r.out.find("Problems:\n  mux_rate_below_needed (remedy: rewrite)\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\n  damaged\n"), std::string::npos);
  EXPECT_NE(r.out.find("Notes:\n  data_after_end_code\n"), std::string::npos);
  // without the options the rewrite follows broken length fields and stops at
  // the first end code: it says so, with exit status 3
  EXPECT_EQ(run_psrate({kBin, path, "2159600"}).status, 3);
  EXPECT_EQ(Json::parse(run_psrate({kBin, "--check", "--json", path}).out)["suggested_rate"],
            2159600);
  EXPECT_EQ(run_psrate({kBin, "--resync", "--past-end", path, "2159600"}).status, 0);
  Json fixed = Json::parse(run_psrate({kBin, "--check", "--json", path}).out);
  EXPECT_EQ(fixed["suggested_rate"], nullptr);
  std::vector<std::string> found;
  for (const Json& f : fixed["findings"]) found.push_back(f["code"]);
  EXPECT_EQ(found,
            (std::vector<std::string>{"damaged", "data_after_end_code", "scr_discontinuity"}));
}

TEST(EndToEnd, CheckJsonFields) {
  std::string path = write_temp("check-json.mpg", steady_packs(5390));
  RunResult r = run_psrate({kBin, "--check", "--json", path});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  Json j = Json::parse(r.out);
  Json expected = {
      {"file", path},
      {"size", 200004},
      {"profile", "mpeg2"},
      {"packs", {{"count", 100}, {"mpeg1", 0}, {"mpeg2", 100}, {"pack_size", 2000}}},
      {"system_headers", 1},
      // the builder's packets have no valid PES header: their payload follows the 6 fixed bytes
      {"streams", Json::array({{{"id", "e0"},
                                {"packets", 100},
                                {"bytes", 198585},
                                {"sub", nullptr},
                                {"payload_bytes", 198585 - 600},
                                {"codec", nullptr},
                                {"first_pts", nullptr},
                                {"last_pts", nullptr},
                                {"average_rate", 197985ull * 8 * 27000000 / (99 * 200000)}}})},
      {"end_codes", 1},
      {"first_end_code", 200000},
      {"bytes_after_end_code", 0},
      {"truncated_at", nullptr},
      {"skipped", {{"ranges", 0}, {"bytes", 0}, {"first", nullptr}}},
      {"zero_stuffing", 0},
      {"program_mux_rate", {{"min", 2156000}, {"max", 2156000}, {"zero", 0}}},
      {"rate_bound", {{"min", 2156000}, {"max", 2156000}}},
      {"scr", {{"pairs", 99}, {"continuous", 99}, {"discontinuities", 0}}},
      {"duration", 0.733},
      {"average_rate", 2160000},
      {"needed_rate", 2159600},
      {"needed_at", 0},
      {"packs_below_needed", 99},
      {"duration_from_mux_rate", 0.742},
      {"presentation_duration", nullptr},
      {"bad_pes_headers", 100},
      {"profile_limits", nullptr},
      // one segment; no buffer: the builder's packets have no valid PES header
      {"segments", Json::array({0})},
      {"buffers", Json::array()},
      {"suggested_rate", 2159600},
      {"verdict",
       {{"remedy", "rewrite"}, {"suggested_rate", 2159600}, {"command", "psrate --fix " + path}}},
  };
  for (auto& [key, value] : expected.items()) EXPECT_EQ(j[key], value) << key;
  ASSERT_EQ(j["findings"].size(), 1u);
  EXPECT_EQ(j["findings"][0]["code"], "mux_rate_below_needed");
  EXPECT_EQ(j["findings"][0]["severity"], "problem");
  EXPECT_EQ(j["findings"][0]["remedy"], "rewrite");
  EXPECT_EQ(j["findings"][0]["message"].get<std::string>().substr(0, 24),
            "The SCRs deliver bytes f");
  EXPECT_EQ(j.size(), expected.size() + 1);  // and nothing else
}

TEST(EndToEnd, CheckJsonNulls) {
  std::string path = write_temp("check-nopack.mpg", StreamBuilder{}.pes(0xE0, 10).data);
  RunResult r = run_psrate({kBin, "--check", "--json", path});
  EXPECT_EQ(r.status, 2);
  Json j = Json::parse(r.out);
  EXPECT_EQ(j["profile"], "none");
  for (const char* key : {"first_end_code", "bytes_after_end_code", "truncated_at", "average_rate",
                          "needed_rate", "needed_at", "duration_from_mux_rate", "suggested_rate"})
    EXPECT_EQ(j[key], nullptr) << key;
  EXPECT_EQ(j["packs"]["pack_size"], nullptr);
  EXPECT_EQ(j["program_mux_rate"], Json({{"min", nullptr}, {"max", nullptr}, {"zero", 0}}));
  EXPECT_EQ(j["rate_bound"], Json({{"min", nullptr}, {"max", nullptr}}));
  EXPECT_EQ(j["duration"], 0.0);
  EXPECT_EQ(j["findings"][0]["code"], "no_pack_header");
}

TEST(EndToEnd, CheckFileNameThatIsNotUtf8) {
  if (wrapped()) GTEST_SKIP() << "wine maps the bytes of Linux file names its own way";
  std::string path = write_temp("check-\xff\xfe.mpg", steady_packs(5400));
  RunResult r = run_psrate({kBin, "--check", "--json", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("check-\\ufffd\\ufffd.mpg\""), std::string::npos);
  for (unsigned char c : r.out) EXPECT_LT(c, 0x80);
  EXPECT_EQ(Json::parse(r.out)["file"],
            path.substr(0, path.size() - 6) + "\xEF\xBF\xBD\xEF\xBF\xBD.mpg");
}

TEST(EndToEnd, CheckExitStatus) {
  std::string fine = write_temp("check-fine.mpg", steady_packs(5400));
  RunResult ok = run_psrate({kBin, "--check", fine});
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("\nNo findings.\n\nVerdict: none\nFix: none needed for the rate fields.\n"),
            std::string::npos);
  // notes alone keep status 0
  Bytes noted = steady_packs(5400);
  noted.resize(noted.size() - 100);
  RunResult note = run_psrate({kBin, "--check", write_temp("check-note.mpg", noted)});
  EXPECT_EQ(note.status, 0);
  EXPECT_NE(note.out.find("Notes:\n  truncated\n"), std::string::npos);
  EXPECT_EQ(run_psrate({kBin, "--check", write_temp("check-empty.mpg", {})}).status, 2);
  RunResult missing = run_psrate({kBin, "--check", temp_dir() + "/missing.mpg"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  expect_err(missing.err,
             kCannotOpen + cannot_open(temp_dir() + "/missing.mpg", "No such file or directory"));
  RunResult full = run_psrate({kBin, "--check", fine}, {}, "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "");
}

TEST(EndToEnd, CheckUsage) {
  std::string path = write_temp("check-usage.mpg", steady_packs(5400));
  const std::string usage =
      kUsagePrefix + program_name("psrate") + " [input file] {bitrate(bit)}\n";
  const std::string json_alone = "psrate: --json needs --check or --fix\n";
  const std::string check_and_fix = "psrate: --check and --fix do not go together\n";
  const std::string quiet = "psrate: --quiet needs a BITRATE, --rate or --fix\n";
  const std::string no_file = "psrate: expected one FILE or more, got none\n";
  struct Case {
    std::vector<std::string> argv;
    std::string cause;
  };
  for (const Case& c : {
           Case{{"psrate", "--check", "-q", path}, quiet},
           Case{{"psrate", "--json", path}, json_alone},
           Case{{"psrate", "--check", "--fix", path}, check_and_fix},
           Case{{"psrate", "--fix", "--json", "--check", path}, check_and_fix},
           Case{{"psrate", "--fix", "--fix", path}, "psrate: option '--fix' given twice\n"},
           Case{{"psrate", "--fix"}, no_file},
           Case{{"psrate", "--json", path, "9800000"}, json_alone},
           Case{{"psrate", "--check"}, no_file},
           Case{{"psrate", "--check", "--check", path}, "psrate: option '--check' given twice\n"},
           Case{{"psrate", "--check", "--json", "--json", path},
                "psrate: option '--json' given twice\n"},
           // judged before any file is opened
           Case{{"psrate", "--check", "-q", "/no/such/file", "1"}, quiet},
       }) {
    RunResult r = run_psrate(c.argv);
    EXPECT_EQ(r.status, 1) << c.argv[1] << " " << c.argv.back();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage + c.cause);
  }
  // after "--" and the operand, "--check" is a file name or a bitrate
  RunResult named = run_psrate({"psrate", "--", "--check"});
  expect_err(named.err, kCannotOpen + cannot_open("--check", "No such file or directory"));
  RunResult help = run_psrate({"psrate", "--check", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("  --check "), std::string::npos);
  EXPECT_NE(help.out.find("  --json "), std::string::npos);
}

TEST(EndToEnd, CheckFailedCalls) {
  if (wrapped()) GTEST_SKIP() << "the LD_PRELOAD shim counts the calls of a Linux build";
  std::string path = write_temp("check-fault.mpg", steady_packs(5390));
  std::string preload = std::string("LD_PRELOAD=") + PSRATE_SHIM;
  RunResult read = run_psrate({kBin, "--check", path}, {preload, "PSRATE_FAULT=read:1"});
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out, "");  // no half a report
  EXPECT_EQ(read.err, kReadError + file_cause(path, "Input/output error"));
  RunResult open = run_psrate({kBin, "--check", path}, {preload, "PSRATE_FAULT=open:1"});
  EXPECT_EQ(open.status, 1);
  EXPECT_EQ(open.err, kCannotOpen + cannot_open(path, "Input/output error"));
  // without the file's size the data read tells it
  RunResult size = run_psrate({kBin, "--check", path}, {preload, "PSRATE_FAULT=fstat:2"});
  EXPECT_EQ(size.status, 2);
  EXPECT_EQ(size.out, report_below(path));
  // a failed close of a file only read loses nothing
  RunResult close = run_psrate({kBin, "--check", path}, {preload, "PSRATE_FAULT=close:1"});
  EXPECT_EQ(close.status, 2);
  EXPECT_EQ(close.out, report_below(path));
}

}  // namespace
}  // namespace psrate::test
