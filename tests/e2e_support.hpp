// SPDX-License-Identifier: MIT
// Helpers for the end-to-end tests: run the built binary on files in a
// temporary directory (POSIX: they fork, and catch output in memory files).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support.hpp"

namespace psrate::test {

struct RunResult {
  int status;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// The binary under test: $PSRATE_TEST_BIN, or the psrate of this build.
const std::string& psrate_bin();
// Set when $PSRATE_TEST_WRAPPER names a command that runs the binary (such as
// "wine"): the binary then sees the system's own argv[0], not the test's.
bool wrapped();
// The program name psrate prints for `argv0`: argv0 itself, or under a wrapper
// $PSRATE_TEST_ARGV0 (what the wrapper passes, e.g. the Windows path under wine).
std::string program_name(const std::string& argv0);

// Runs the binary with exactly `argv` (argv[0] included; under a wrapper the
// binary's path takes its place), no standard input, and extra environment
// entries; standard output goes to stdout_path when one is given, and is
// closed when that is "".
RunResult run_psrate(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     const char* stdout_path = nullptr);

// A run left going with its standard output on a pipe that nobody reads yet:
// once the pipe is full, the program waits in a write and keeps its file open.
struct StartedRun {
  int pid = -1;
  int out = -1;  // read end of the pipe
  int err = -1;
  size_t pipe_size = 0;  // bytes the pipe holds before a write waits
};
StartedRun start_psrate(const std::vector<std::string>& argv);
// Waits up to timeout_ms for the first output; when none came, kills the
// run (finish() still collects it) and returns false.
bool await_output(const StartedRun& run, int timeout_ms);
// Reads the pipe until the program has exited; its whole result.
// Leaves pipe_size as it was.
RunResult finish(StartedRun& run);

std::string temp_dir();
std::string write_temp(const std::string& name, const Bytes& bytes);
Bytes read_file(const std::string& path);

// The line after a fixed message that names its cause ("psrate: cannot open
// 'PATH': REASON", or "psrate: 'PATH': REASON" after a seek, read or write error).
std::string cannot_open(const std::string& path, const std::string& reason);
std::string file_cause(const std::string& path, const std::string& reason);

// Standard error as a test expects it: exact on Linux; under a wrapper (wine)
// the system's reasons are Windows' own, so each cause line is compared up to them.
void expect_err(const std::string& actual, const std::string& expected);

}  // namespace psrate::test
