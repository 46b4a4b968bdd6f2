// The built binary, end to end: exact standard output and error, exit status,
// and the file's bytes afterwards.
#include <gtest/gtest.h>

#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

const std::string kBin = PSRATE_BIN;

// One unit of every kind the listing names.
Bytes every_kind() {
  return StreamBuilder{}
      .pack(25200)
      .system_header(25200, {{0xE0, 1, 232}, {0xC0, 0, 32}, {0xBD, 1, 58}})
      .pes(0xE0, 100)
      .pes(0xC1, 10)
      .pes(0xBD, 20)
      .pes(0xBF, 30)
      .pes(0xBE, 40)
      .pes(0xBC, 0)
      .pack1(3528)
      .fill(20, 0)
      .pack(25200, 2)
      .end()
      .data;
}

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
  std::string path = write_temp("every.mpg", every_kind());
  RunResult r = run_psrate({kBin, path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kEveryKindListing);
  EXPECT_EQ(r.err, "");
}

TEST(EndToEnd, RewritesInPlace) {
  Bytes original = every_kind();
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
  std::string path = write_temp("usage.mpg", every_kind());
  const std::string usage = kUsagePrefix + "/some/where/psrate [input file] {bitrate(bit)}\n";
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{"/some/where/psrate"},
        std::vector<std::string>{"/some/where/psrate", path, "9800000", "x"},
        // a refused bitrate is judged before the file is looked at
        std::vector<std::string>{"/some/where/psrate", "/no/such/file", "-9800000"},
        std::vector<std::string>{"/some/where/psrate", path, "4294967696"},
        std::vector<std::string>{"/some/where/psrate", path, "+"}}) {
    RunResult r = run_psrate(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage);
  }
  EXPECT_EQ(read_file(path), every_kind());
  // An empty argument vector (which Linux turns into one empty argument) is a usage error too.
  RunResult empty = run_psrate({});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind(kUsagePrefix, 0), 0u);
}

TEST(EndToEnd, OpenFailures) {
  std::string dir = temp_dir();
  for (const std::string& path : {dir + "/missing.mpg", dir, std::string()}) {
    for (bool rewrite : {false, true}) {
      std::vector<std::string> argv = {kBin, path};
      if (rewrite) argv.push_back("9800000");
      RunResult r = run_psrate(argv);
      EXPECT_EQ(r.status, 1) << path;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, kCannotOpen);
    }
  }
  EXPECT_NE(::access((dir + "/missing.mpg").c_str(), F_OK), 0);  // never created
}

TEST(EndToEnd, ReadOnlyFileCannotBeRewritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens read-only files for writing";
  std::string path = write_temp("readonly.mpg", every_kind());
  ::chmod(path.c_str(), 0444);
  RunResult r = run_psrate({kBin, path, "9800000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kCannotOpen);
  EXPECT_EQ(run_psrate({kBin, path}).status, 0);
}

TEST(EndToEnd, LockKeepsRewritesApart) {
  std::string path = write_temp("locked.mpg", every_kind());
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // as a running rewrite holds it
  RunResult dump = run_psrate({kBin, path});
  EXPECT_EQ(dump.status, 1);
  EXPECT_EQ(dump.err, kCannotOpen);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);  // as a running listing holds it
  EXPECT_EQ(run_psrate({kBin, path}).out, kEveryKindListing);
  RunResult rewrite = run_psrate({kBin, path, "9800000"});
  EXPECT_EQ(rewrite.status, 1);
  EXPECT_EQ(rewrite.err, kCannotOpen);
  EXPECT_EQ(read_file(path), every_kind());
  ::close(fd);
}

TEST(EndToEnd, FullStandardOutputFails) {
  std::string path = write_temp("full.mpg", every_kind());
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

TEST(EndToEnd, BundledSampleIsReproducible) {
  std::string path = temp_dir() + "/sample.mpg";
  std::string command = std::string(PSRATE_MKSTREAM) + " sample " + path;
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(read_file(path), read_file(std::string(PSRATE_SOURCE_DIR) + "/examples/sample.mpg"));
}

// --- failed file calls, injected by the shim ---

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
  const Fault& f = GetParam();
  std::string path = write_temp(std::string("fault-") + f.name + ".mpg", three_packs(25200));
  std::vector<std::string> argv = {kBin, path};
  if (f.rewrite) argv.push_back("9800000");
  RunResult r = run_psrate(
      argv, {std::string("LD_PRELOAD=") + PSRATE_SHIM, std::string("PSRATE_FAULT=") + f.fault});
  EXPECT_EQ(r.status, f.status);
  EXPECT_EQ(r.err, f.message);
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
                      Fault{"seek_before_read", "lseek:1", true, kSeekError, 0, 0},
                      Fault{"read1", "read:1", true, kReadError, 0, 0},
                      Fault{"read2", "read:2", true, kReadError, 3, 3},
                      Fault{"seek_before_field", "lseek:2", true, kSeekError, 0, 0},
                      Fault{"seek_before_third", "lseek:4", true, kSeekError, 2, 2},
                      Fault{"write1", "write:1", true, kWriteError, 0, 0},
                      Fault{"write3", "write:3", true, kWriteError, 2, 2},
                      Fault{"close", "close:1", true, kWriteError, 3, 3},
                      // the kind-of-file check in open is the first fstat
                      Fault{"dump_fstat", "fstat:1", false, kCannotOpen, 0, 0},
                      Fault{"rewrite_fstat", "fstat:1", true, kCannotOpen, 0, 0},
                      Fault{"write2", "write:2", true, kWriteError, 1, 1},
                      // the seek before the read that finds the end of the file
                      Fault{"seek_after_window", "lseek:5", true, kSeekError, 3, 3},
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
  const Fault& f = GetParam();
  std::string path = write_temp(std::string("windows-") + f.name + ".mpg", packs_across_windows(0));
  std::vector<std::string> argv = {kBin, path};
  if (f.rewrite) argv.push_back("9800000");
  RunResult r = run_psrate(
      argv, {std::string("LD_PRELOAD=") + PSRATE_SHIM, std::string("PSRATE_FAULT=") + f.fault});
  EXPECT_EQ(r.status, f.status);
  EXPECT_EQ(r.err, f.message);
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

// Rewrite calls: lseek 1 and read 1 fill the first window; packs 0..510
// take a seek (2..512) and a write (1..511) each; lseek 513 and read 2 fill
// the second window; packs 511..519 take lseek 514..522 and write 512..520;
// lseek 523 and read 3 meet the end of the file.
INSTANTIATE_TEST_SUITE_P(
    Calls, FailedCallAcrossWindows,
    ::testing::Values(
        Fault{"dump_read2", "read:2", false, kReadError, 0, 1 + 2 * kWindowPacks},
        Fault{"dump_read3", "read:3", false, kReadError, 0, 1 + 2 * kAllPacks},
        Fault{"dump_close", "close:1", false, "", 0, 2 + 2 * kAllPacks, 0},
        Fault{"seek_second_window", "lseek:513", true, kSeekError, kWindowPacks, kWindowPacks},
        Fault{"read_second_window", "read:2", true, kReadError, kWindowPacks, kWindowPacks},
        Fault{"seek_carried_pack", "lseek:514", true, kSeekError, kWindowPacks, kWindowPacks},
        Fault{"write_carried_pack", "write:512", true, kWriteError, kWindowPacks, kWindowPacks},
        Fault{"write_last_pack", "write:520", true, kWriteError, kAllPacks - 1, kAllPacks - 1},
        Fault{"seek_third_window", "lseek:523", true, kSeekError, kAllPacks, kAllPacks},
        Fault{"read_third_window", "read:3", true, kReadError, kAllPacks, kAllPacks},
        Fault{"close", "close:1", true, kWriteError, kAllPacks, kAllPacks}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, DumpSeeksOnlyPastASkippedUnit) {
  // a packet longer than the window is skipped in the file: that is the one seek
  StreamBuilder b;
  for (int i = 0; i < 17; ++i) b.pes(0xE0, 65535);  // 1114197 bytes: past one window
  std::string path = write_temp("skip.mpg", b.data);
  std::vector<std::string> shim = {std::string("LD_PRELOAD=") + PSRATE_SHIM};
  shim.push_back("PSRATE_FAULT=lseek:1");
  RunResult r = run_psrate({kBin, path}, shim);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kSeekError);
  shim.back() = "PSRATE_FAULT=lseek:2";
  r = run_psrate({kBin, path}, shim);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(EndToEnd, SizeQueryFailureCountsAsEmpty) {
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
