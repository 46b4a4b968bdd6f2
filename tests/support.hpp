// Shared test helpers: run the pass on bytes in an in-memory file, and run the
// built binary end to end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/scan.hpp"

namespace psrate::test {

using Bytes = std::vector<uint8_t>;

// A file descriptor holding `bytes`, positioned at 0.
int memory_file(const Bytes& bytes);
Bytes file_bytes(int fd);

struct PassResult {
  Failure failure;
  std::string out;
  uint64_t final_base;
};

// The listing of `bytes`, read through a window of `window_size` bytes.
PassResult dump(const Bytes& bytes, size_t window_size = kWindowSize);

// Rewrites `bytes` in place (in a memory file) to `bitrate`; `bytes` receives the result.
PassResult rewrite(Bytes& bytes, uint32_t bitrate, size_t window_size = kWindowSize);

struct RunResult {
  int status;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs the built psrate with exactly `argv` (argv[0] included), no standard
// input, and extra environment entries; standard output goes to stdout_path
// when one is given, and is closed when that is "".
RunResult run_psrate(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     const char* stdout_path = nullptr);

std::string temp_dir();
std::string write_temp(const std::string& name, const Bytes& bytes);
Bytes read_file(const std::string& path);

// Shift_JIS bytes of the fixed messages.
extern const std::string kUsagePrefix;  // 引数が不正です。\nusage:
extern const std::string kCannotOpen;
extern const std::string kSeekError;
extern const std::string kReadError;
extern const std::string kWriteError;
std::string progress(int64_t done, int64_t total, int64_t percent, char end);

}  // namespace psrate::test
