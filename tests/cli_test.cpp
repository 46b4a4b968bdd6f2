// SPDX-License-Identifier: MIT
// The option grammar, --help and --version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

struct GrammarCase {
  const char* name;
  std::vector<const char*> args;  // after argv[0]
  Failure failure;
  Request request = Request::Pass;
  RunMode mode = RunMode::Dump;
  const char* path = nullptr;
  bool resync = false;
  bool past_end = false;
  friend void PrintTo(const GrammarCase& c, std::ostream* os) { *os << c.name; }
};

class Grammar : public ::testing::TestWithParam<GrammarCase> {};

TEST_P(Grammar, ParsesAsDocumented) {
  const GrammarCase& c = GetParam();
  std::vector<const char*> argv = {"psrate"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  Options o;
  ASSERT_EQ(parse_arguments(int(argv.size()), argv.data(), o), c.failure);
  if (c.failure != Failure::None) return;
  EXPECT_EQ(o.request, c.request);
  if (c.request != Request::Pass) return;
  EXPECT_EQ(o.pass.mode, c.mode);
  EXPECT_STREQ(o.path, c.path);
  EXPECT_EQ(o.pass.walk.resync, c.resync);
  EXPECT_EQ(o.pass.walk.past_end, c.past_end);
}

constexpr Failure kOk = Failure::None;
constexpr Failure kBad = Failure::Arguments;
constexpr RunMode kDump = RunMode::Dump;
constexpr RunMode kRewrite = RunMode::Rewrite;

INSTANTIATE_TEST_SUITE_P(
    Rows, Grammar,
    ::testing::Values(
        GrammarCase{"file", {"f.mpg"}, kOk, Request::Pass, kDump, "f.mpg"},
        GrammarCase{"file_rate", {"f.mpg", "400"}, kOk, Request::Pass, kRewrite, "f.mpg"},
        GrammarCase{"resync", {"--resync", "f"}, kOk, Request::Pass, kDump, "f", true},
        GrammarCase{"both",
                    {"--past-end", "--resync", "f", "9800000"},
                    kOk,
                    Request::Pass,
                    kRewrite,
                    "f",
                    true,
                    true},
        GrammarCase{"double_dash_ends_options",
                    {"--", "--odd.mpg"},
                    kOk,
                    Request::Pass,
                    kDump,
                    "--odd.mpg"},
        GrammarCase{
            "double_dash_then_h", {"--resync", "--", "-h"}, kOk, Request::Pass, kDump, "-h", true},
        GrammarCase{"double_dash_twice", {"--", "--"}, kOk, Request::Pass, kDump, "--"},
        GrammarCase{"single_dash_is_a_file", {"-"}, kOk, Request::Pass, kDump, "-"},
        GrammarCase{"dash_x_is_a_file", {"-x"}, kOk, Request::Pass, kDump, "-x"},
        // after the first operand everything is an operand: a refused bitrate
        GrammarCase{"option_after_file", {"f", "--resync"}, kBad},
        GrammarCase{"h_after_file", {"f", "-h"}, kBad},
        GrammarCase{"unknown", {"--bogus", "f"}, kBad},
        GrammarCase{"unknown_with_value", {"--resync=1", "f"}, kBad},
        GrammarCase{"case_matters", {"--RESYNC", "f"}, kBad},
        GrammarCase{"doubled", {"--resync", "--resync", "f"}, kBad},
        GrammarCase{"doubled_past_end", {"--past-end", "--past-end", "f", "400"}, kBad},
        GrammarCase{"options_alone", {"--resync"}, kBad},
        GrammarCase{"double_dash_alone", {"--"}, kBad},
        GrammarCase{"three_operands", {"--resync", "f", "400", "x"}, kBad},
        // --help outranks everything, then --version
        GrammarCase{"help", {"--help"}, kOk, Request::Help},
        GrammarCase{"h", {"-h"}, kOk, Request::Help},
        GrammarCase{"help_with_unknown", {"--bogus", "--help", "--help"}, kOk, Request::Help},
        GrammarCase{"help_over_version", {"--version", "-h", "f", "x", "y"}, kOk, Request::Help},
        GrammarCase{"version", {"--version"}, kOk, Request::Version},
        GrammarCase{
            "version_with_unknown", {"--version", "--bogus", "--version"}, kOk, Request::Version},
        GrammarCase{
            "help_after_double_dash", {"--", "--help"}, kOk, Request::Pass, kDump, "--help"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace psrate::test
