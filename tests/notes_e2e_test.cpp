// SPDX-License-Identifier: MIT
// The notes after a pass and their exit statuses, --quiet, and an interrupted
// rewrite, end to end.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

const std::string kBin = psrate_bin();

// pack 0, video packet 14..120, pack 120, audio packet 134..190, end code 190.
StreamBuilder two_packs() {
  StreamBuilder b;
  b.pack(25200).pes(0xE0, 100).pack(25200).pes(0xC0, 50).end();
  return b;
}

std::string damaged_rewrite(const std::string& offset) {
  return "psrate: the stream is damaged at offset " + offset +
         ": headers after it may not have been rewritten; run again with --resync\n";
}
std::string damaged_listing(const std::string& offset) {
  return "psrate: the stream is damaged at offset " + offset +
         ": the listing after it follows broken length fields; --resync follows the stream\n";
}
std::string joined(const std::string& offset) {
  return "psrate: stopped at the end code at offset " + offset +
         ": the stream goes on after it (files joined with cat?); run again with --past-end\n";
}
const std::string kNoPack = "psrate: no pack header found (is this an MPEG program stream?)\n";

struct NoteCase {
  const char* name;
  StreamBuilder stream;
  std::vector<std::string> options;
  std::string listing_err;
  std::string rewrite_err;
  int rewrite_status;
  friend void PrintTo(const NoteCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<NoteCase> note_cases() {
  std::vector<NoteCase> cases;
  cases.push_back({"intact", two_packs(), {}, "", "", 0});
  // rule c: the packet's length is 5 too long, the bytes after it no start code
  cases.push_back({"length_field",
                   two_packs().shift_length(14, 5),
                   {},
                   damaged_listing("0x0000000e (14)"),
                   damaged_rewrite("0x0000000e (14)"),
                   3});
  // rule b: a pack header without a marker bit
  {
    StreamBuilder b = two_packs();
    b.data[120 + 12] &= 0xFC;
    cases.push_back({"pack_marker",
                     b,
                     {},
                     damaged_listing("0x00000078 (120)"),
                     damaged_rewrite("0x00000078 (120)"),
                     3});
  }
  // rule a, and no pack header: a transport stream (188-byte packets, sync byte 0x47)
  {
    StreamBuilder ts;
    for (int i = 0; i < 40; ++i) ts.raw({0x47, 0x01, 0x00, 0x10}).fill(184, 0xFF);
    cases.push_back({"transport_stream",
                     ts,
                     {},
                     damaged_listing("0x00000000 (0)"),
                     damaged_rewrite("0x00000000 (0)") + kNoPack,
                     3});
  }
  cases.push_back({"no_pack", StreamBuilder{}.pes(0xE0, 100).end(), {}, "", kNoPack, 3});
  // files joined with cat: noted without --past-end, not with it
  {
    StreamBuilder b = two_packs();
    b.data.insert(b.data.end(), b.data.begin(), b.data.end());
    cases.push_back({"joined", b, {}, joined("0x000000be (190)"), joined("0x000000be (190)"), 3});
    cases.push_back({"joined_past_end", b, {"--past-end"}, "", "", 0});
    // damage first, then the joined end code: a pack header lost a marker bit,
    // the walk stays in step
    StreamBuilder d = b;
    d.data[120 + 12] &= 0xFC;
    cases.push_back({"damaged_and_joined",
                     d,
                     {},
                     damaged_listing("0x00000078 (120)") + joined("0x000000be (190)"),
                     damaged_rewrite("0x00000078 (120)") + joined("0x000000be (190)"),
                     3});
  }
  // zeros or padding after an end code are no second stream
  {
    StreamBuilder b = two_packs();
    b.fill(100, 0).padding(50);
    cases.push_back({"padding_after_end", b, {}, "", "", 0});
  }
  // --resync: the skipped ranges, after which nothing is missing
  cases.push_back({"resync",
                   two_packs().shift_length(14, 5),
                   {"--resync"},
                   "",
                   "psrate: skipped 1 damaged range(s), 106 bytes; nothing was written there\n",
                   0});
  return cases;
}

class Notes : public ::testing::TestWithParam<NoteCase> {};

TEST_P(Notes, AfterEverythingElse) {
  const NoteCase& c = GetParam();
  std::string path = write_temp(std::string("notes-") + c.name + ".mpg", c.stream.data);
  std::vector<std::string> argv = {kBin};
  argv.insert(argv.end(), c.options.begin(), c.options.end());
  argv.push_back(path);
  RunResult listing = run_psrate(argv);
  EXPECT_EQ(listing.status, 0);
  EXPECT_EQ(listing.err, c.listing_err);
  EXPECT_EQ(listing.out, dump(c.stream.data, kWindowSize,
                              {!c.options.empty() && c.options[0] == "--resync",
                               !c.options.empty() && c.options[0] == "--past-end"})
                             .out);
  argv.push_back("9800000");
  RunResult rewrite = run_psrate(argv);
  EXPECT_EQ(rewrite.status, c.rewrite_status);
  EXPECT_EQ(rewrite.err, c.rewrite_err);
  // the progress lines and the bytes as always: the notes only say what happened
  Bytes expected = c.stream.data;
  PassResult r = psrate::test::rewrite(expected, 9800000, kWindowSize,
                                       {!c.options.empty() && c.options[0] == "--resync",
                                        !c.options.empty() && c.options[0] == "--past-end"});
  EXPECT_EQ(rewrite.out, r.out);
  EXPECT_EQ(read_file(path), expected);
  // --quiet: no progress line at all; the notes and the bytes stay
  std::string quiet_path = write_temp(std::string("quiet-") + c.name + ".mpg", c.stream.data);
  argv.insert(argv.begin() + 1, "--quiet");
  argv[argv.size() - 2] = quiet_path;
  RunResult quiet = run_psrate(argv);
  EXPECT_EQ(quiet.status, c.rewrite_status);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, c.rewrite_err);
  EXPECT_EQ(read_file(quiet_path), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Notes, ::testing::ValuesIn(note_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, QuietFailureKeepsItsMessage) {
  if (wrapped()) GTEST_SKIP() << "the LD_PRELOAD shim counts the calls of a Linux build";
  StreamBuilder b;
  for (int i = 0; i < 3; ++i) b.pack(25200).pes(0xE0, 2028);
  std::string path = write_temp("quiet-fault.mpg", b.end().data);
  RunResult r = run_psrate({kBin, "-q", path, "9800000"},
                           {std::string("LD_PRELOAD=") + PSRATE_SHIM, "PSRATE_FAULT=write:1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kWriteError + file_cause(path, "Input/output error"));
}

// SIGINT while a rewrite waits on its output: the rewrite stops before its next
// write, ends its progress line, and names the first header not rewritten.
// Every field is whole, old or new, and no other byte changed.
TEST(EndToEnd, InterruptedRewrite) {
  if (wrapped()) GTEST_SKIP() << "a POSIX signal does not reach the program under wine as Ctrl+C";
  const int kPacks = 32768;  // 64 MiB of 2048-byte packs
  StreamBuilder old_packs, new_packs;
  for (int i = 0; i < kPacks; ++i) {
    old_packs.pack(25200).pes(0xE0, 2028);
    new_packs.pack(24500).pes(0xE0, 2028);
  }
  const Bytes original = old_packs.end().data;
  const Bytes done = new_packs.end().data;
  std::string path = write_temp("interrupted.mpg", original);
  StartedRun run = start_psrate({kBin, path, "9800000"});
  // the first progress lines fill the pipe; the run then waits in a write
  ASSERT_TRUE(await_output(run, 120000));
  ::usleep(200000);
  ::kill(run.pid, SIGINT);
  RunResult r = finish(run);
  EXPECT_EQ(r.status, 130);
  const std::string head = "psrate: interrupted at offset 0x";
  ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
  uint64_t at = std::stoull(r.err.substr(head.size(), 8), nullptr, 16);
  EXPECT_EQ(r.err, "psrate: interrupted at offset " +
                       std::string(r.err.substr(head.size() - 2, 10)) + " (" + std::to_string(at) +
                       "): headers before it are rewritten, those after it are not; run the same "
                       "command again to finish\n");
  EXPECT_EQ(at % 2048, 0u);
  EXPECT_GT(at, 0u);
  EXPECT_LT(at, original.size() - 4);
  Bytes expected = original;
  std::copy(done.begin(), done.begin() + long(at), expected.begin());
  EXPECT_EQ(read_file(path), expected);
  // the last progress line, ended with '\r', gets its line feed
  ASSERT_GE(r.out.size(), 3u);
  EXPECT_EQ(r.out.substr(r.out.size() - 3), ")\r\n");
  // the same command again finishes it
  RunResult again = run_psrate({kBin, "-q", path, "9800000"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(read_file(path), done);
}

}  // namespace
}  // namespace psrate::test
