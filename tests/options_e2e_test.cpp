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
        std::string("-h, --help"), std::string("SKIPPED"), std::string("man psrate"),
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

TEST(Options, BadOptionsGetTheUsageMessageBeforeAnyOpen) {
  const std::string usage = kUsagePrefix + program_name(kBin) + " [input file] {bitrate(bit)}\n";
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{kBin, "--bogus", "/no/such/file"},
        std::vector<std::string>{kBin, "--resync", "--resync", "/no/such/file"},
        std::vector<std::string>{kBin, "/no/such/file", "--resync"}}) {
    RunResult r = run_psrate(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage);
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
