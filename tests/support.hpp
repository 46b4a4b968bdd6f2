// SPDX-License-Identifier: MIT
// Shared test helpers: run the pass, the audit and the walk on bytes in memory.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "audit/audit.hpp"
#include "ps/walk.hpp"

namespace psrate::test {

using Bytes = std::vector<uint8_t>;

struct PassResult {
  Failure failure;
  std::string out;
  uint64_t final_base;  // the last window base (listing)
  uint64_t writes = 0;  // write calls (rewrite), the failed one included
  WalkFacts facts;      // what the walk met, for the notes
  uint64_t interrupted_at = 0;
};

// --resync and --past-end.
using Walk = WalkOptions;

// The listing of `bytes`, read through a window of `window_size` bytes.
PassResult dump(const Bytes& bytes, size_t window_size = kWindowSize, Walk walk = {});

// Rewrites `bytes` in place to `bitrate`. fail_write makes that write (1 for
// the first) fail; a stop flag raised beforehand interrupts the rewrite.
PassResult rewrite(Bytes& bytes, uint32_t bitrate, size_t window_size = kWindowSize, Walk walk = {},
                   uint64_t fail_write = 0, bool quiet = false,
                   const volatile std::sig_atomic_t* stop = nullptr);

struct AuditRun {
  Failure failure;
  Measurement measurement;
  Verdict verdict;
};

// The --check walk over `bytes` and its verdict, through a window of `window_size` bytes.
AuditRun audit(const Bytes& bytes, size_t window_size = kWindowSize);

// Shift_JIS bytes of the fixed messages.
extern const std::string kUsagePrefix;  // 引数が不正です。\nusage:
extern const std::string kCannotOpen;
extern const std::string kSeekError;
extern const std::string kReadError;
extern const std::string kWriteError;
std::string progress(int64_t done, int64_t total, int64_t percent, char end);

}  // namespace psrate::test
