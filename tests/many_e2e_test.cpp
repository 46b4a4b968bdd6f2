// SPDX-License-Identifier: MIT
// Many files end to end: a stream split into parts and read with --join gives
// the listing, the audit and the rewritten bytes of the whole, wherever the
// cuts fall; folders and DVD title sets; failures among several; exit statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <random>

#include "e2e_support.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

using Json = nlohmann::json;

const std::string kBin = psrate_bin();

// DVD-like packs of 2048 bytes, a system header in every tenth, video with
// a padding packet in every third, past the 1 MiB read window.
Bytes dvd_like(uint32_t packs, uint32_t mux = 25200) {
  StreamBuilder b;
  for (uint32_t k = 0; k < packs; ++k) {
    size_t start = b.size();
    b.pack_scr(uint64_t(k) * 2048 * 540000 / 25200, mux);
    if (k % 10 == 0) b.system_header(mux, {{0xE0, 1, 232}, {0xBD, 1, 58}});
    if (k % 3 == 0) b.padding(100);
    b.pes(0xE0, uint32_t(2048 - (b.size() - start) - 6));
  }
  return b.end().data;
}

// The parts of `whole` cut at `cuts`, written as NAME_1.mpg, NAME_2.mpg, ...
std::vector<std::string> split(const Bytes& whole, std::vector<size_t> cuts,
                               const std::string& name) {
  std::vector<std::string> paths;
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(whole.size());
  for (size_t i = 0; i + 1 < cuts.size(); ++i)
    paths.push_back(
        write_temp(name + "_" + std::to_string(i + 1) + ".mpg",
                   Bytes(whole.begin() + long(cuts[i]), whole.begin() + long(cuts[i + 1]))));
  return paths;
}

Bytes joined(const std::vector<std::string>& paths) {
  Bytes all;
  for (const std::string& p : paths) {
    Bytes b = read_file(p);
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The audit's figures without the names of the files and the file offsets.
Json figures(Json j) {
  j.erase("file");
  j.erase("files");
  for (const char* k : {"first_end_code_in_file", "truncated_at_in_file", "needed_at_in_file"})
    j.erase(k);
  if (j.contains("skipped")) j["skipped"].erase("first_in_file");
  for (Json& f : j["findings"]) {  // "(DEC; FILE+0xHEX)" -> "(DEC)"
    std::string m = f["message"];
    for (size_t at;
         (at = m.find("; ")) != std::string::npos && m.find('+', at) != std::string::npos;) {
      size_t end = m.find(')', at);
      if (end == std::string::npos) break;
      m.erase(at, end - at);
    }
    f["message"] = m;
  }
  j["verdict"].erase("command");
  return j;
}

struct SplitCase {
  const char* name;
  std::function<Bytes()> make;
  std::vector<size_t> cuts;
  friend void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }
};

class Splits : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Splits, JoinedIsTheWhole) {
  const SplitCase& c = GetParam();
  Bytes whole = c.make();
  std::string whole_path = write_temp(std::string(c.name) + ".mpg", whole);
  std::vector<std::string> parts = split(whole, c.cuts, c.name);
  // the listing, by and without the options that follow damage and end codes
  for (std::vector<std::string> opts : {std::vector<std::string>{}, {"--resync", "--past-end"}}) {
    RunResult one = run_psrate(with(with({kBin}, opts), {whole_path}));
    RunResult many = run_psrate(with(with(with({kBin}, opts), {"--join"}), parts));
    EXPECT_EQ(many.out, one.out);
    EXPECT_EQ(many.err, one.err);
    EXPECT_EQ(many.status, one.status);
  }
  // the audit
  RunResult one = run_psrate({kBin, "--check", "--json", whole_path});
  RunResult many = run_psrate(with({kBin, "--check", "--json", "--join"}, parts));
  EXPECT_EQ(many.status, one.status);
  Json a = Json::parse(one.out), b = Json::parse(many.out);
  EXPECT_EQ(figures(b), figures(a));
  ASSERT_EQ(b["files"].size(), parts.size());
  EXPECT_EQ(b["files"][1]["start"], c.cuts[0]);
  // the rewrite: the parts hold the bytes of the whole rewritten, fields split or not
  std::string copy = write_temp(std::string(c.name) + "-copy.mpg", whole);
  RunResult r1 = run_psrate({kBin, "-q", "--resync", "--past-end", copy, "9000000"});
  RunResult r2 =
      run_psrate(with({kBin, "-q", "--resync", "--past-end", "--rate=9000000", "--join"}, parts));
  EXPECT_EQ(r2.status, r1.status);
  EXPECT_EQ(r2.err, r1.err);
  EXPECT_EQ(joined(parts), read_file(copy));
  EXPECT_NE(read_file(copy), whole);
}

// A pack starts every 2048 bytes: +10..12 is its program_mux_rate. The read
// window is 1 MiB.
INSTANTIATE_TEST_SUITE_P(
    Streams, Splits,
    ::testing::Values(
        SplitCase{"at_packs", [] { return dvd_like(700); }, {2048 * 100, 2048 * 400}},
        SplitCase{"in_a_rate_field", [] { return dvd_like(700); }, {2048 * 5 + 11, 2048 * 9 + 12}},
        SplitCase{"in_pack_headers", [] { return dvd_like(700); }, {2048 * 7 + 3, 2048 * 8 + 1}},
        SplitCase{"at_the_window_edge",
                  [] { return dvd_like(700); },
                  {1048576 - 7, 1048576 + 1, 1048576 + 2048 * 10 + 16}},
        SplitCase{
            "five_parts_one_empty", [] { return dvd_like(300); }, {1000, 1000, 300001, 400000}},
        SplitCase{"in_a_skipped_range",
                  [] {
                    StreamBuilder b;
                    b.data = dvd_like(300);
                    b.insert(2048 * 50 + 30, 3000, 0x47);  // garbage: searched over
                    return b.data;
                  },
                  {2048 * 50 + 1000, 2048 * 50 + 2000}},
        SplitCase{"past_an_end_code",
                  [] {
                    Bytes a = dvd_like(100), b = dvd_like(100, 22000);
                    a.insert(a.end(), b.begin(), b.end());
                    return a;
                  },
                  {2048 * 100 + 2, 2048 * 150}}),
    [](const auto& info) { return std::string(info.param.name); });

// Random cuts into 2 to 5 parts.
TEST(Join, RandomCuts) {
  Bytes whole = dvd_like(600);
  std::string whole_path = write_temp("random.mpg", whole);
  Json expected = figures(Json::parse(run_psrate({kBin, "--check", "--json", whole_path}).out));
  std::string listing = run_psrate({kBin, whole_path}).out;
  std::mt19937 rng(20261208);
  for (int trial = 0; trial < 6; ++trial) {
    std::vector<size_t> cuts(1 + rng() % 4);
    for (size_t& c : cuts) c = rng() % whole.size();
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::string> parts = split(whole, cuts, "random" + std::to_string(trial));
    EXPECT_EQ(run_psrate(with({kBin, "--join"}, parts)).out, listing) << trial;
    RunResult many = run_psrate(with({kBin, "--check", "--json", "--join"}, parts));
    EXPECT_EQ(figures(Json::parse(many.out)), expected) << trial;
  }
}

// --- folders ---

std::string make_dir(const std::string& name) {
  std::string path = temp_dir() + "/" + name;
  ::mkdir(path.c_str(), 0755);
  return path;
}

TEST(Folders, StreamFilesByName) {
  std::string dir = make_dir("archive");
  Bytes s = dvd_like(20);
  for (const char* name : {"b.MPG", "a.vob", "C.mpeg", "d.m2p", "notes.txt", "e.DAT", "f.mpv"})
    write_temp(std::string("archive/") + name, s);
  make_dir("archive/sub.mpg");  // a folder, not a file
  RunResult r = run_psrate({kBin, "--check", "--json", dir});
  EXPECT_EQ(r.status, 0);
  Json a = Json::parse(r.out);
  std::vector<std::string> names;
  for (const Json& j : a) names.push_back(j["file"]);
  EXPECT_EQ(names, (std::vector<std::string>{dir + "/a.vob", dir + "/b.MPG", dir + "/C.mpeg",
                                             dir + "/d.m2p", dir + "/e.DAT", dir + "/f.mpv"}));
  RunResult text = run_psrate({kBin, "--check", dir});
  EXPECT_NE(text.out.find("== " + dir + "/a.vob ==\nfile "), std::string::npos);
  EXPECT_NE(text.out.find("\nSummary:\nname "), std::string::npos);
  size_t at = 0, lines = 0;
  for (size_t end; (end = text.out.find('\n', at)) != std::string::npos; at = end + 1, ++lines)
    if (text.out.compare(at, 5, "file ") != 0 && text.out.compare(at, 3, "== ") != 0) {
      EXPECT_LE(end - at, 80u) << text.out.substr(at, end - at);
    }
}

TEST(Folders, DvdTitleSets) {
  std::string dir = make_dir("VIDEO_TS");
  Bytes title = dvd_like(500);
  std::string whole = write_temp("title.mpg", title);
  size_t a = 2048 * 100, b = 2048 * 333;
  write_temp("VIDEO_TS/VTS_01_1.VOB", Bytes(title.begin(), title.begin() + long(a)));
  write_temp("VIDEO_TS/vts_01_2.vob", Bytes(title.begin() + long(a), title.begin() + long(b)));
  write_temp("VIDEO_TS/VTS_01_3.VOB", Bytes(title.begin() + long(b), title.end()));
  write_temp("VIDEO_TS/VTS_01_0.VOB", dvd_like(10));
  write_temp("VIDEO_TS/VIDEO_TS.VOB", dvd_like(10));
  write_temp("VIDEO_TS/VTS_01_0.IFO", Bytes(100, 0));
  RunResult r = run_psrate({kBin, "--check", "--json", dir});
  EXPECT_EQ(r.status, 0);
  Json units = Json::parse(r.out);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0]["file"], dir + "/VIDEO_TS.VOB");
  EXPECT_EQ(units[1]["file"], dir + "/VTS_01_0.VOB");
  EXPECT_EQ(units[2]["file"], dir + "/VTS_01_1..3.VOB");
  EXPECT_EQ(units[2]["files"].size(), 3u);
  Json expected = figures(Json::parse(run_psrate({kBin, "--check", "--json", whole}).out));
  EXPECT_EQ(figures(units[2]), expected);
  // the title set's fields lowered, then fixed: the three files hold the title again
  for (const char* part : {"VTS_01_1.VOB", "vts_01_2.vob", "VTS_01_3.VOB"})
    ASSERT_EQ(run_psrate({kBin, "-q", dir + "/" + part, "9000000"}).status, 0);
  RunResult fix = run_psrate({kBin, "--fix", "-q", dir});
  EXPECT_EQ(fix.status, 0);
  EXPECT_NE(fix.out.find("\nFixed: 500 pack headers and 50 system headers set to 10080000 bit/s\n"),
            std::string::npos);
  EXPECT_EQ(joined({dir + "/VTS_01_1.VOB", dir + "/vts_01_2.vob", dir + "/VTS_01_3.VOB"}), title);
}

TEST(Folders, AnEmptyFolderIsSaidAndATitleSetGapNamed) {
  std::string empty = make_dir("empty");
  write_temp("empty/readme.txt", Bytes(10, 'x'));
  std::string good = write_temp("good-one.mpg", dvd_like(10));
  RunResult r = run_psrate({kBin, "--check", empty, good});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            kCannotOpen + "psrate: '" + empty + "': no program stream file in this folder\n");
  EXPECT_NE(r.out.find("== " + good + " =="), std::string::npos);
  std::string gap = make_dir("gap");
  Bytes title = dvd_like(40);
  write_temp("gap/VTS_02_1.VOB", Bytes(title.begin(), title.begin() + 2048 * 20));
  write_temp("gap/VTS_02_3.VOB", Bytes(title.begin() + 2048 * 20, title.end()));
  Json j = Json::parse(run_psrate({kBin, "--check", "--json", gap}).out);
  EXPECT_EQ(j["file"], gap + "/VTS_02_1.VOB + " + gap + "/VTS_02_3.VOB");  // not "1..3"
  EXPECT_EQ(j["files"].size(), 2u);
}

// --- several, and what goes wrong among them ---

TEST(Many, AFailureAmongSeveral) {
  std::string good = write_temp("good.mpg", dvd_like(20));
  std::string low = write_temp("low.mpg", dvd_like(20, 20000));
  std::string missing = temp_dir() + "/missing.mpg";
  RunResult r = run_psrate({kBin, "--check", good, missing, low});
  EXPECT_EQ(r.status, 1);  // a failure outranks the problem of low.mpg
  expect_err(r.err, kCannotOpen + cannot_open(missing, "No such file or directory"));
  EXPECT_NE(r.out.find("== " + low + " =="), std::string::npos);
  EXPECT_NE(r.out.find("missing.mpg failed\n"), std::string::npos);
  RunResult j = run_psrate({kBin, "--check", "--json", good, missing, low});
  Json a = Json::parse(j.out);
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[1]["file"], missing);
  std::string error = a[1]["error"];  // the system's reason follows
  EXPECT_EQ(error.substr(0, 16 + missing.size()), "cannot open '" + missing + "': ");
  EXPECT_EQ(a[1].size(), 2u);
  EXPECT_EQ(a[2]["verdict"]["remedy"], "rewrite");
  // without the failure, the problem decides
  EXPECT_EQ(run_psrate({kBin, "--check", good, low}).status, 2);
  EXPECT_EQ(run_psrate({kBin, "--check", good, good}).status, 0);
}

TEST(Many, RateRewritesEachAndTellsIncomplete) {
  Bytes joined_by_cat = dvd_like(20);
  Bytes second = dvd_like(20);
  joined_by_cat.insert(joined_by_cat.end(), second.begin(), second.end());
  std::string a = write_temp("rate-a.mpg", dvd_like(20));
  std::string b = write_temp("rate-b.mpg", joined_by_cat);
  RunResult r = run_psrate({kBin, "-q", "--rate=9.8M", a, b});
  EXPECT_EQ(r.status, 3);  // b stops at its end code without --past-end
  // among several, each note names its file
  EXPECT_EQ(r.err.find("psrate: " + b + ": stopped at the end code at offset "), 0u);
  EXPECT_NE(r.err.find("run again with --past-end"), std::string::npos);
  EXPECT_EQ(r.out, "== " + a + " ==\n\n== " + b + " ==\n");
  std::string copy = write_temp("rate-copy.mpg", dvd_like(20));
  ASSERT_EQ(run_psrate({kBin, "-q", copy, "9800000"}).status, 0);
  EXPECT_EQ(read_file(a), read_file(copy));
  EXPECT_EQ(run_psrate({kBin, "-q", "--past-end", "--rate=9.8M", a, b}).status, 0);
}

}  // namespace
}  // namespace psrate::test
