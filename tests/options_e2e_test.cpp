// SPDX-License-Identifier: MIT
// The option grammar end to end: --help, --version and the usage message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

const std::string kBin = psrate_bin();

TEST(Options, HelpNamesEveryOptionAndMessage) {
  // no file is opened: the path given does not exist
  RunResult r = run_psrate({kBin, "--help", "/no/such/file"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("usage: psrate [OPTION...] FILE ", 0), 0u);
  for (const std::string& s :
       {std::string("--resync"), std::string("--past-end"), std::string("--version"),
        std::string("-q, --quiet"), std::string("10.08M"), std::string("-h, --help"),
        std::string("SKIPPED"), std::string("man psrate"),
        kUsagePrefix.substr(0, kUsagePrefix.find('\n')) + "  invalid arguments",
        kCannotOpen.substr(0, kCannotOpen.size() - 1) + "  the file cannot be opened",
        kSeekError.substr(0, kSeekError.size() - 1) + "  seek error",
        kReadError.substr(0, kReadError.size() - 1) + "  read error",
        kWriteError.substr(0, kWriteError.size() - 1) + "  write error"})
    EXPECT_NE(r.out.find(s), std::string::npos) << s;
  EXPECT_EQ(run_psrate({kBin, "-h"}).out, r.out);
}

TEST(Options, VersionIsTheProjectVersion) {
  RunResult r = run_psrate({kBin, "--version", "--bogus"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("psrate ") + PSRATE_VERSION + "\n");
  EXPECT_EQ(r.err, "");
}

// Each mistake gets the usage message, then one line that names it: the first
// in the order unknown or doubled option, --json without --check, --check with
// operands or --quiet, --quiet without a BITRATE, the operand count, the bitrate.
TEST(Options, BadOptionsAreNamedBeforeAnyOpen) {
  const std::string usage = kUsagePrefix + program_name(kBin) + " [input file] {bitrate(bit)}\n";
  const std::string f = "/no/such/file";
  struct Case {
    std::vector<std::string> args;
    std::string cause;
  };
  for (const Case& c : {
           Case{{"--bogus", f}, "psrate: unknown option '--bogus'"},
           Case{{"--resync", "--resync", f}, "psrate: option '--resync' given twice"},
           Case{{"-q", "--quiet", f, "1"}, "psrate: option '--quiet' given twice"},
           Case{{"--x\x01y", "--bogus", f}, "psrate: unknown option '--x?y'"},
           Case{{"--json", "--bogus", f}, "psrate: unknown option '--bogus'"},
           Case{{"--json", "-q", f}, "psrate: --json needs --check or --fix"},
           Case{{"--check", "-q", f}, "psrate: --quiet needs a BITRATE, --rate or --fix"},
           Case{{"-q", f}, "psrate: --quiet needs a BITRATE, --rate or --fix"},
           Case{{"-q"}, "psrate: --quiet needs a BITRATE, --rate or --fix"},
           Case{{"-q", "--join", f, f}, "psrate: --quiet needs a BITRATE, --rate or --fix"},
           Case{{"--rate=9.8M", "--check", f},
                "psrate: --rate does not go with --check or --fix "
                "(--fix sets the rate the check suggests)"},
           Case{{"--rate=1", "--rate=2", f}, "psrate: option '--rate=2' given twice"},
           Case{{"--rate=9.8M"}, "psrate: expected one FILE or more, got none"},
           Case{{"--join"}, "psrate: expected one FILE or more, got none"},
           Case{{"--rate=9.8Q", f},
                "psrate: '9.8Q' is not a bitrate: a fraction needs a multiplier, k or M (9.8M)"},
           Case{{"-q", f, "1", "2"}, "psrate: expected FILE or FILE BITRATE, got 3 operands"},
           Case{{"-q", f, "1"}, "psrate: '1' is not a bitrate: below the smallest rate, 400 bit/s"},
           Case{{f, "--resync"},
                "psrate: '--resync' is not a bitrate: it does not begin with a number"},
       }) {
    std::vector<std::string> argv = {kBin};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = run_psrate(argv);
    EXPECT_EQ(r.status, 1) << c.cause;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage + c.cause + "\n");
  }
}

TEST(Options, DoubleDashListsAFileNamedLikeAnOption) {
  Bytes stream = StreamBuilder{}.pack(25200).end().data;
  std::string path = write_temp("--odd.mpg", stream);
  std::string dir = path.substr(0, path.rfind('/'));
  RunResult r = run_psrate({kBin, "--", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, dump(stream).out);
  RunResult both = run_psrate({kBin, "--resync", "--past-end", "--", path, "9800000"});
  EXPECT_EQ(both.status, 0);
  EXPECT_NE(read_file(path), stream);
}

}  // namespace
}  // namespace psrate::test
