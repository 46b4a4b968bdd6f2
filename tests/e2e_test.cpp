// SPDX-License-Identifier: MIT
// The built binary, end to end: exact standard output and error, exit status,
// and the file's bytes afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include "e2e_support.hpp"
#include "stream_builder.hpp"
#include "support.hpp"
#include "text/out_buffer.hpp"

namespace psrate::test {
namespace {

const std::string kBin = psrate_bin();

const char* const kEveryKindListing =
    "00000000: PACK_START_CODE len=14(0x0e)/MUX rate=10080000bps/stuff len=0\n"
    "0000000e:   SYSTEM_START_CODE len=15\n"
    "             bitrate=10080000bps\n"
    "             audio 1ch/video 1ch/fixed 0/CSPS 0/AudLock 1/VidLock 1/marker 1\n"
    "              STREAM ID = e0(video), buffer = 232(0xe8), scale = 1\n"
    "              STREAM ID = c0(audio), buffer = 32(0x20), scale = 0\n"
    "              STREAM ID = bd(unknown), buffer = 58(0x3a), scale = 1\n"
    "00000023:   VIDEO_ELEMENTARY_STREAM(1e0), length = 106(0x6a)\n"
    "0000008d:   AUDIO_ELEMENTARY_STREAM_1, length = 16(0x10)\n"
    "0000009d:   PRIVATE_STREAM_1(1bd), length = 26(0x1a)\n"
    "000000b7:   PRIVATE_STREAM_2, length = 36(0x24)\n"
    "000000db:   PADDING_STREAM, length = 46(0x2e)\n"
    "00000109:   UNKNOWN(1bc), length = 6(0x06)\n"
    "0000010f: PACK_START_CODE len=12(0x0c)/MUX rate=1411200bps/stuff len=0\n"
    "0000012f: PACK_START_CODE len=16(0x10)/MUX rate=10080000bps/stuff len=2\n"
    "0000013f: SYSTEM_END_CODE\n";

TEST(EndToEnd, ListsEveryKind) {
  std::string path = write_temp("every.mpg", every_kind_stream());
  RunResult r = run_psrate({kBin, path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kEveryKindListing);
  EXPECT_EQ(r.err, "");
}

TEST(EndToEnd, RewritesInPlace) {
  Bytes original = every_kind_stream();
  std::string path = write_temp("rewrite.mpg", original);
  RunResult r = run_psrate({kBin, path, "9800000"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  // 323 bytes: units from 192 on lie within 131 bytes of the data's end and
  // are carried; the window then starts at the padding packet (219)
  EXPECT_EQ(r.out, progress(0, 323, 0, '\r') + progress(0, 323, 0, '\r') +
                       progress(219, 323, 73, '\r') + progress(219, 323, 73, '\r') +
                       progress(219, 323, 73, '\n'));
  Bytes bytes = read_file(path);
  ASSERT_EQ(bytes.size(), original.size());
  std::vector<size_t> changed;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != original[i]) changed.push_back(i);
  // 25200 -> 24500 units: mux rate 01 62 43 -> 01 7e d3 at 0+10 and 0x12f+10, rate bound
  // 80 c4 e1 -> 80 bf 69 at 0x0e+6 and MPEG-1 mux rate at 0x10f+9; equal bytes stay unwritten
  EXPECT_EQ(changed, (std::vector<size_t>{11, 12, 21, 22, 0x119, 0x11a, 0x13a, 0x13b}));
  RunResult again = run_psrate({kBin, path, "9800000"});
  EXPECT_EQ(again.out, r.out);
  EXPECT_EQ(read_file(path), bytes);
}

TEST(EndToEnd, UsageMessage) {
  std::string path = write_temp("usage.mpg", every_kind_stream());
  // argv[0] as given; under wine it is the Windows path of the .exe whatever the test passes
  const std::string usage =
      kUsagePrefix + program_name("/some/where/psrate") + " [input file] {bitrate(bit)}\n";
  struct Case {
    std::vector<std::string> args;
    std::string cause;
  };
  for (const Case& c : {
           Case{{}, "psrate: expected FILE or FILE BITRATE, got 0 operands"},
           Case{{path, "9800000", "x"}, "psrate: expected FILE or FILE BITRATE, got 3 operands"},
           // a refused bitrate is judged before the file is looked at
           Case{{"/no/such/file", "-9800000"},
                "psrate: '-9800000' is not a bitrate: a bitrate cannot be negative"},
           Case{{path, "4294967696"},
                "psrate: '4294967696' is not a bitrate: above the largest rate, 1677721599 bit/s"},
           Case{{path, "+"}, "psrate: '+' is not a bitrate: it does not begin with a number"},
           Case{{path, "9800kb"},
                "psrate: '9800kb' is not a bitrate: after the number only k, K or M and bps, "
                "bit/s, b/s, bit or bits may follow"},
           Case{{path, "9.8"},
                "psrate: '9.8' is not a bitrate: a fraction needs a multiplier, k or M (9.8M)"},
           // bytes below 0x20 and 0x7F are shown as '?'
           Case{{path, "98\t00\x7f"},
                "psrate: '98?00?' is not a bitrate: after the number only k, K or M and bps, "
                "bit/s, b/s, bit or bits may follow"},
       }) {
    std::vector<std::string> argv = {"/some/where/psrate"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = run_psrate(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage + c.cause + "\n");
  }
  EXPECT_EQ(read_file(path), every_kind_stream());
  // An empty argument vector (which Linux turns into one empty argument) is a usage error too.
  RunResult empty = run_psrate({});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind(kUsagePrefix, 0), 0u);
}

// Bitrates as people write them: the same bytes as the digits alone.
TEST(EndToEnd, BitrateForms) {
  Bytes digits = every_kind_stream();
  std::string path = write_temp("forms.mpg", digits);
  RunResult plain = run_psrate({kBin, path, "9800000"});
  ASSERT_EQ(plain.status, 0);
  digits = read_file(path);
  for (const char* form : {"9800k", "9.8M", "9800000bps", "9800kbit/s", " +9.8Mb/s "}) {
    std::string copy = write_temp("forms-copy.mpg", every_kind_stream());
    RunResult r = run_psrate({kBin, copy, form});
    EXPECT_EQ(r.status, 0) << form;
    EXPECT_EQ(r.out, plain.out) << form;
    EXPECT_EQ(read_file(copy), digits) << form;
  }
}

TEST(EndToEnd, OpenFailures) {
  std::string dir = temp_dir();
  struct Case {
    std::string path;
    std::string reason;
  };
  for (const Case& c :
       {Case{dir + "/missing.mpg", "No such file or directory"}, Case{dir, "Is a directory"},
        Case{std::string(), "No such file or directory"}}) {
    for (bool rewrite : {false, true}) {
      std::vector<std::string> argv = {kBin, c.path};
      if (rewrite) argv.push_back("9800000");
      RunResult r = run_psrate(argv);
      EXPECT_EQ(r.status, 1) << c.path;
      EXPECT_EQ(r.out, "");
      expect_err(r.err, kCannotOpen + cannot_open(c.path, c.reason));
    }
  }
  EXPECT_NE(::access((dir + "/missing.mpg").c_str(), F_OK), 0);  // never created
}

// A file that may not be written: read-only for a user; for root, who may
// write any file, an immutable one (chattr +i, where the file system has it).
TEST(EndToEnd, ReadOnlyFileCannotBeRewritten) {
  std::string path = write_temp("readonly.mpg", every_kind_stream());
  bool root = ::geteuid() == 0;
  std::string reason = root ? "Operation not permitted" : "Permission denied";
  if (!root) {
    ::chmod(path.c_str(), 0444);
  } else if (wrapped() || std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "root writes read-only files, and chattr +i is not available here";
  }
  RunResult r = run_psrate({kBin, path, "9800000"});
  RunResult listed = run_psrate({kBin, path});
  if (root) std::system(("chattr -i '" + path + "'").c_str());
  EXPECT_EQ(r.status, 1);
  expect_err(r.err, kCannotOpen + cannot_open(path, reason));
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(read_file(path), every_kind_stream());
}

// A FIFO lists, but a rewrite needs a file with positions.
TEST(EndToEnd, RewriteRefusesAPipe) {
  if (wrapped()) GTEST_SKIP() << "wine does not open a Linux FIFO as a file";
  std::string fifo = temp_dir() + "/refused.fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  pid_t writer = ::fork();
  if (writer == 0) {
    int fd = ::open(fifo.c_str(), O_RDONLY);  // lets the rewrite's open return
    ::close(fd);
    ::_exit(0);
  }
  RunResult r = run_psrate({kBin, fifo, "9800000"});
  ::waitpid(writer, nullptr, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kCannotOpen + cannot_open(fifo, "not a regular file: a rewrite needs one"));
}

TEST(EndToEnd, LockKeepsRewritesApart) {
  if (wrapped()) GTEST_SKIP() << "flock(2) locks do not meet Windows share modes; see SharedFile";
  std::string path = write_temp("locked.mpg", every_kind_stream());
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // as a running rewrite holds it
  RunResult dump = run_psrate({kBin, path});
  EXPECT_EQ(dump.status, 1);
  EXPECT_EQ(dump.err, kCannotOpen + cannot_open(path, "locked by another program"));
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);  // as a running listing holds it
  EXPECT_EQ(run_psrate({kBin, path}).out, kEveryKindListing);
  RunResult rewrite = run_psrate({kBin, path, "9800000"});
  EXPECT_EQ(rewrite.status, 1);
  EXPECT_EQ(rewrite.err, kCannotOpen + cannot_open(path, "locked by another program"));
  EXPECT_EQ(read_file(path), every_kind_stream());
  ::close(fd);
}

// --- a second run on a file that a first run holds ---

struct OpenPair {
  const char* name;
  bool first_rewrites;
  bool second_rewrites;
  bool second_opens;
  friend void PrintTo(const OpenPair& p, std::ostream* os) { *os << p.name; }
};

class SharedFile : public ::testing::TestWithParam<OpenPair> {};

// 64-byte packs, each a pack header and a video packet: a listing line pair
// or a progress line per 64 bytes, far more output than the program's buffer
// and a pipe hold together.
Bytes many_packs(uint32_t rate) {
  StreamBuilder b;
  for (int i = 0; i < 65536; ++i) b.pack(rate).pes(0xE0, 44);
  return b.end().data;
}

// Megabytes of output: where they part, not gtest's line diff of both.
::testing::AssertionResult same_text(const std::string& got, const std::string& want) {
  auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  if (g == got.end() && w == want.end()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << got.size() << " bytes where " << want.size()
                                       << " were expected; they part at byte " << g - got.begin();
}

TEST_P(SharedFile, SecondOpenerWhileFirstRuns) {
  const OpenPair& c = GetParam();
  Bytes original = many_packs(25200);
  std::string path = write_temp(std::string("shared-") + c.name + ".mpg", original);
  auto argv = [&](bool rewrite) {
    std::vector<std::string> a = {kBin, path};
    if (rewrite) a.push_back("9800000");
    return a;
  };
  StartedRun first = start_psrate(argv(c.first_rewrites));
  // Output starts only after the open; then the first run waits on the full
  // pipe, holding the file, until finish() drains it.
  bool holding = await_output(first, 120000);
  RunResult second = holding ? run_psrate(argv(c.second_rewrites)) : RunResult{};
  RunResult held = finish(first);
  ASSERT_TRUE(holding) << "the first run wrote nothing: status " << held.status << ", " << held.err;
  EXPECT_EQ(held.status, 0);
  EXPECT_EQ(held.err, "");
  EXPECT_GT(held.out.size(), kOutBufferSize + first.pipe_size);
  Bytes expected = original;
  EXPECT_TRUE(
      same_text(held.out, c.first_rewrites ? rewrite(expected, 9800000).out : dump(original).out));
  if (c.second_opens) {
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_TRUE(same_text(second.out, held.out));
  } else {
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(same_text(second.out, ""));
    expect_err(second.err, kCannotOpen + cannot_open(path, "locked by another program"));
  }
  EXPECT_EQ(read_file(path), expected);
}

// Listings share the file; a rewrite has it alone.
INSTANTIATE_TEST_SUITE_P(Openers, SharedFile,
                         ::testing::Values(OpenPair{"dump_dump", false, false, true},
                                           OpenPair{"dump_rewrite", false, true, false},
                                           OpenPair{"rewrite_dump", true, false, false},
                                           OpenPair{"rewrite_rewrite", true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, FullStandardOutputFails) {
  std::string path = write_temp("full.mpg", every_kind_stream());
  for (bool rewrite : {false, true}) {
    std::vector<std::string> argv = {kBin, path};
    if (rewrite) argv.push_back("9800000");
    RunResult r = run_psrate(argv, {}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
  }
}

// Standard output that cannot be written: the run fails with no message, and
// the stream file gets no byte but its rate fields. 12000 headers make more
// progress text than the output buffer holds, so it is written mid-run.
struct OutputCase {
  const char* name;
  const char* stdout_path;  // "" closes standard output
  bool rewrite;
  friend void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }
};

class UnwritableOutput : public ::testing::TestWithParam<OutputCase> {};

Bytes small_packs(uint32_t rate) {
  StreamBuilder b;
  for (int i = 0; i < 12000; ++i) b.pack(rate).pes(0xE0, 64 - 14 - 6);
  return b.end().data;
}

TEST_P(UnwritableOutput, FailsAndLeavesTheFileRight) {
  const OutputCase& c = GetParam();
  std::string path = write_temp(std::string("output-") + c.name + ".mpg", small_packs(25200));
  std::vector<std::string> argv = {kBin, path};
  if (c.rewrite) argv.push_back("9800000");
  RunResult r = run_psrate(argv, {}, c.stdout_path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(path), small_packs(c.rewrite ? 24500 : 25200));
}

INSTANTIATE_TEST_SUITE_P(Outputs, UnwritableOutput,
                         ::testing::Values(OutputCase{"closed_dump", "", false},
                                           OutputCase{"closed_rewrite", "", true},
                                           OutputCase{"full_dump", "/dev/full", false},
                                           OutputCase{"full_rewrite", "/dev/full", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, BundledSamplesAreReproducible) {
  for (std::string name : {"sample", "damaged"}) {
    std::string path = temp_dir() + "/" + name + ".mpg";
    std::string command = std::string(PSRATE_MKSTREAM) + " " + name + " " + path;
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read_file(path),
              read_file(std::string(PSRATE_SOURCE_DIR) + "/examples/" + name + ".mpg"))
        << name;
  }
}

// --- failed file calls, injected by the shim ---

const char* const kShimUnderWrapper =
    "the LD_PRELOAD shim counts the calls of a Linux build; a wrapper such as wine makes its own";

struct Fault {
  const char* name;
  const char* fault;
  bool rewrite;
  std::string message;
  int headers_written;  // rate fields changed before the failure
  int lines;            // progress lines, or listed units, before the failure
  int status = 1;
  friend void PrintTo(const Fault& f, std::ostream* os) { *os << f.fault; }
};

class FailedCall : public ::testing::TestWithParam<Fault> {};

// The shim fails a call with EIO.
std::string cause_of(const Fault& f, const std::string& path) {
  if (f.message.empty()) return "";
  return f.message == kCannotOpen ? cannot_open(path, "Input/output error")
                                  : file_cause(path, "Input/output error");
}

// Lists (or rewrites to 9800000) the file at `path` with the fault's call failed.
RunResult run_with_fault(const std::string& path, const Fault& f) {
  std::vector<std::string> argv = {kBin, path};
  if (f.rewrite) argv.push_back("9800000");
  return run_psrate(
      argv, {std::string("LD_PRELOAD=") + PSRATE_SHIM, std::string("PSRATE_FAULT=") + f.fault});
}

const char* const kThreePacksListing[] = {
    "0000: PACK_START_CODE len=14(0x0e)/MUX rate=10080000bps/stuff len=0\n",
    "000e:   VIDEO_ELEMENTARY_STREAM(1e0), length = 2034(0x7f2)\n",
    "0800: PACK_START_CODE len=14(0x0e)/MUX rate=10080000bps/stuff len=0\n",
    "080e:   VIDEO_ELEMENTARY_STREAM(1e0), length = 2034(0x7f2)\n",
    "1000: PACK_START_CODE len=14(0x0e)/MUX rate=10080000bps/stuff len=0\n",
    "100e:   VIDEO_ELEMENTARY_STREAM(1e0), length = 2034(0x7f2)\n",
    "1800: SYSTEM_END_CODE\n",
};

// Three 2048-byte packs, each a pack header and a video packet; an end code.
Bytes three_packs(uint32_t rate) {
  StreamBuilder b;
  for (int i = 0; i < 3; ++i) b.pack(rate).pes(0xE0, 2028);
  return b.end().data;
}

TEST_P(FailedCall, OneMessageAndNothingAfter) {
  if (wrapped()) GTEST_SKIP() << kShimUnderWrapper;
  const Fault& f = GetParam();
  std::string path = write_temp(std::string("fault-") + f.name + ".mpg", three_packs(25200));
  RunResult r = run_with_fault(path, f);
  EXPECT_EQ(r.status, f.status);
  EXPECT_EQ(r.err, f.message + cause_of(f, path));
  std::string lines;
  for (int i = 0; i < f.lines; ++i)
    lines += f.rewrite ? progress(0, 6148, 0, '\r') : "0000" + std::string(kThreePacksListing[i]);
  EXPECT_EQ(r.out, lines);
  Bytes expected = three_packs(25200);
  Bytes done = three_packs(24500);
  std::copy_n(done.begin(), 2048 * f.headers_written, expected.begin());
  EXPECT_EQ(read_file(path), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailedCall,
    ::testing::Values(Fault{"open", "open:1", false, kCannotOpen, 0, 0},
                      Fault{"dump_read1", "read:1", false, kReadError, 0, 0},
                      Fault{"dump_read2", "read:2", false, kReadError, 0, 6},
                      Fault{"rewrite_open", "open:1", true, kCannotOpen, 0, 0},
                      Fault{"read1", "read:1", true, kReadError, 0, 0},
                      Fault{"read2", "read:2", true, kReadError, 3, 3},
                      // the three fields lie within 4 KiB of each other: one write
                      Fault{"write1", "write:1", true, kWriteError, 0, 0},
                      Fault{"close", "close:1", true, kWriteError, 3, 3},
                      // the kind-of-file check in open is the first fstat
                      Fault{"dump_fstat", "fstat:1", false, kCannotOpen, 0, 0},
                      Fault{"rewrite_fstat", "fstat:1", true, kCannotOpen, 0, 0},
                      // the seek before the read that finds the end of the file
                      // a listing is complete once read: a failed close changes nothing
                      Fault{"dump_close", "close:1", false, "", 0, 7, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The same across window refills: a 1972-byte padding packet, then 520
// 2048-byte packs and an end code. Pack 511 starts 76 bytes before the end of
// the first 1 MiB window and is carried into the second, which starts there.
constexpr int kWindowPacks = 511;
constexpr int kAllPacks = 520;
constexpr uint64_t kSecondBase = 1972 + 2048 * kWindowPacks;

Bytes packs_across_windows(int rewritten) {
  StreamBuilder b;
  b.padding(1966);
  for (int i = 0; i < kAllPacks; ++i) b.pack(i < rewritten ? 24500 : 25200).pes(0xE0, 2028);
  return b.end().data;
}

std::string across_windows_listing(int lines) {
  std::string out;
  char line[96];
  for (int i = 0; i < lines; ++i) {
    if (i == 0) {
      out += "00000000:   PADDING_STREAM, length = 1972(0x7b4)\n";
    } else if (i == 2 * kAllPacks + 1) {
      std::snprintf(line, sizeof line, "%08x: SYSTEM_END_CODE\n", 1972 + 2048 * kAllPacks);
      out += line;
    } else if (i % 2 == 1) {
      std::snprintf(line, sizeof line,
                    "%08x: PACK_START_CODE len=14(0x0e)/MUX rate=10080000bps/stuff len=0\n",
                    1972 + 2048 * (i / 2));
      out += line;
    } else {
      std::snprintf(line, sizeof line,
                    "%08x:   VIDEO_ELEMENTARY_STREAM(1e0), length = 2034(0x7f2)\n",
                    1972 + 2048 * (i / 2 - 1) + 14);
      out += line;
    }
  }
  return out;
}

class FailedCallAcrossWindows : public ::testing::TestWithParam<Fault> {};

TEST_P(FailedCallAcrossWindows, OneMessageAndNothingAfter) {
  if (wrapped()) GTEST_SKIP() << kShimUnderWrapper;
  const Fault& f = GetParam();
  std::string path = write_temp(std::string("windows-") + f.name + ".mpg", packs_across_windows(0));
  RunResult r = run_with_fault(path, f);
  EXPECT_EQ(r.status, f.status);
  EXPECT_EQ(r.err, f.message + cause_of(f, path));
  const int64_t size = int64_t(packs_across_windows(0).size());
  std::string expected;
  if (!f.rewrite) expected = across_windows_listing(f.lines);
  for (int i = 0; f.rewrite && i < f.lines; ++i) {
    int64_t base = i < kWindowPacks ? 0 : int64_t(kSecondBase);
    expected += progress(base, size, base / (size / 100), '\r');
  }
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(read_file(path), packs_across_windows(f.headers_written));
}

// Rewrite calls: read 1 fills the first window; packs 0..510 go out in write 1;
// read 2 fills the second window; packs 511..519 go out in write 2; read 3
// meets the end of the file.
INSTANTIATE_TEST_SUITE_P(
    Calls, FailedCallAcrossWindows,
    ::testing::Values(
        Fault{"dump_read2", "read:2", false, kReadError, 0, 1 + 2 * kWindowPacks},
        Fault{"dump_read3", "read:3", false, kReadError, 0, 1 + 2 * kAllPacks},
        Fault{"dump_close", "close:1", false, "", 0, 2 + 2 * kAllPacks, 0},
        Fault{"read_second_window", "read:2", true, kReadError, kWindowPacks, kWindowPacks},
        Fault{"write_first_window", "write:1", true, kWriteError, 0, 0},
        Fault{"write_second_window", "write:2", true, kWriteError, kWindowPacks, kWindowPacks},
        Fault{"read_third_window", "read:3", true, kReadError, kAllPacks, kAllPacks},
        Fault{"close", "close:1", true, kWriteError, kAllPacks, kAllPacks}),
    [](const auto& info) { return std::string(info.param.name); });

// Fields more than 4 KiB apart go out in writes of their own: a failed write
// leaves the fields before it written, with their progress lines, and no other.
TEST(EndToEnd, FailedWriteOfASpan) {
  if (wrapped()) GTEST_SKIP() << kShimUnderWrapper;
  auto spread = [](uint32_t first, uint32_t second) {
    StreamBuilder b;
    b.pack(first).padding(5000).pack(second).pes(0xE0, 40).pack(second).padding(5000);
    return b.pack(second).end().data;
  };
  std::string path = write_temp("spread.mpg", spread(25200, 25200));
  const int64_t size = int64_t(spread(25200, 25200).size());
  RunResult r = run_psrate({kBin, path, "9800000"},
                           {std::string("LD_PRELOAD=") + PSRATE_SHIM, "PSRATE_FAULT=write:2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kWriteError + file_cause(path, "Input/output error"));
  EXPECT_EQ(r.out, progress(0, size, 0, '\r'));
  EXPECT_EQ(read_file(path), spread(24500, 25200));
}

// A pipe cannot be positioned: it lists while the units follow one another,
// and a unit that runs past the window, whose rest would have to be skipped,
// gives the seek error.
TEST(EndToEnd, PipeListsUntilASkipIsNeeded) {
  if (wrapped()) GTEST_SKIP() << "wine does not open a Linux FIFO as a file";
  StreamBuilder fits;
  for (int i = 0; i < 3; ++i) fits.pack(25200).pes(0xE0, 2028);
  StreamBuilder skips;
  for (int i = 0; i < 17; ++i) skips.pes(0xE0, 65535);  // 1114197 bytes: past one window
  for (const StreamBuilder* b : {&fits, &skips}) {
    std::string fifo = temp_dir() + "/stream.fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    pid_t writer = ::fork();
    if (writer == 0) {
      ::signal(SIGPIPE, SIG_IGN);
      int fd = ::open(fifo.c_str(), O_WRONLY);
      write_all(fd, b->data.data(), b->data.size());
      ::_exit(0);
    }
    RunResult r = run_psrate({kBin, fifo});
    ::waitpid(writer, nullptr, 0);
    if (b == &fits) {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, dump(b->data).out);
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, kSeekError + file_cause(fifo, "Illegal seek"));
      EXPECT_EQ(r.out.substr(0, 12), "00000000:   ");
    }
  }
}

TEST(EndToEnd, SizeQueryFailureCountsAsEmpty) {
  if (wrapped()) GTEST_SKIP() << kShimUnderWrapper;
  std::string path = write_temp("nosize.mpg", three_packs(25200));
  // fstat is called once to check the kind of file, once for its size
  RunResult r = run_psrate({kBin, path, "9800000"},
                           {std::string("LD_PRELOAD=") + PSRATE_SHIM, "PSRATE_FAULT=fstat:2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, progress(0, 0, 0, '\r') + progress(0, 0, 0, '\r') + progress(0, 0, 0, '\r') +
                       progress(6144, 0, 0, '\n'));
  EXPECT_EQ(read_file(path), three_packs(24500));
}

}  // namespace
}  // namespace psrate::test

namespace psrate::test {
namespace {

// Runs psrate with standard error on a terminal and returns what the terminal got.
std::string terminal_stderr(const std::vector<std::string>& argv, const char* lang) {
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_RDWR);
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::setenv("LC_ALL", lang, 1);
    ::execv(PSRATE_BIN, args.data());
    ::_exit(127);
  }
  std::string got;
  char buf[256];
  ssize_t n;
  while ((n = ::read(master, buf, sizeof buf)) > 0) got.append(buf, size_t(n));
  ::waitpid(pid, nullptr, 0);
  ::close(master);
  return got;
}

// Under a UTF-8 locale the messages and the progress text are UTF-8 wherever
// they go, a terminal, a pipe or a file; otherwise (LC_ALL=C) Shift_JIS.
TEST(EndToEnd, MessagesInUtf8UnderAUtf8Locale) {
  if (wrapped()) GTEST_SKIP() << "Windows keeps its console rule";
  std::string missing = temp_dir() + "/missing.mpg";
  const std::string cause = cannot_open(missing, "No such file or directory");
  auto crlf = [](const std::string& s) {  // the terminal turns "\n" into "\r\n"
    std::string t;
    for (char c : s) {
      if (c == '\n') t.push_back('\r');
      t.push_back(c);
    }
    return t;
  };
  EXPECT_EQ(terminal_stderr({kBin, missing}, "C.UTF-8"),
            crlf("読み取りファイルが開けませんでした。\n" + cause));
  EXPECT_EQ(terminal_stderr({kBin, missing}, "C"), crlf(kCannotOpen + cause));
  EXPECT_EQ(run_psrate({kBin, missing}, {"LC_ALL=C.UTF-8"}).err,
            "読み取りファイルが開けませんでした。\n" + cause);
  std::string path = write_temp("utf8.mpg", StreamBuilder{}.pack(25200).end().data);
  EXPECT_EQ(run_psrate({kBin, path, "9800000"}, {"LC_ALL=C.UTF-8"}).out,
            "処理: 0/18バイト (0%)\r処理: 0/18バイト (0%)\n");
  // the locale the C library sets from LC_ALL, LC_CTYPE and LANG: one that is
  // not installed is the C locale
  struct Case {
    std::vector<std::string> env;
    bool utf8;
  };
  for (const Case& c : {Case{{"LC_ALL=", "LC_CTYPE=", "LANG=C.UTF-8"}, true},
                        Case{{"LC_ALL=", "LC_CTYPE=C.UTF-8", "LANG=C"}, true},
                        Case{{"LC_ALL=", "LC_CTYPE=", "LANG=xx_XX.UTF-8"}, false},
                        Case{{"LC_ALL=POSIX", "LANG=C.UTF-8"}, false},
                        Case{{"LC_ALL=", "LC_CTYPE=", "LANG="}, false}}) {
    std::string err = run_psrate({kBin, missing}, c.env).err;
    EXPECT_EQ(err.substr(0, 3), c.utf8 ? "読" : kCannotOpen.substr(0, 3)) << c.env.back();
  }
}

}  // namespace
}  // namespace psrate::test
