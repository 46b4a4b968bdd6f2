// SPDX-License-Identifier: MIT
// The entry: arguments, run mode, the pass, and the one place where a failure
// becomes a message and an exit status.
#pragma once

#include <cstdint>

#include "io/byte_source.hpp"
#include "io/console.hpp"
#include "io/status.hpp"
#include "ps/walk.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

inline constexpr uint32_t kMinBitrate = 400;                 // 1 rate unit
inline constexpr uint32_t kBitrateLimit = (1u << 22) * 400;  // rate fields hold 22 bits

// Reads a bitrate the way strtol reads a decimal (leading white space, one
// sign, digits up to the first non-digit), then refuses what the 22-bit rate
// fields cannot hold: no digits, a '-' sign, or a value outside [400, 2^22 * 400).
bool parse_bitrate(const char* text, uint32_t& bits_per_second);

enum class Request : uint8_t { Pass, Help, Version };

// What one pass over the stream does.
struct PassOptions {
  RunMode mode = RunMode::Dump;
  WalkOptions walk;
  uint32_t bitrate = 0;                    // Rewrite mode
  Encoding encoding = Encoding::ShiftJis;  // of the progress text
  bool interactive = false;                // standard output is a terminal
};

struct Options {
  Request request = Request::Pass;
  const char* path = nullptr;
  PassOptions pass;
  bool check = false;  // the rate audit, in a read-only walk
  bool json = false;   // the audit as one JSON object
};

// psrate [OPTION...] FILE [BITRATE]: leading arguments that begin with "--"
// (and "-h") are options, up to a lone "--"; the operands that follow choose
// the mode as they always have. --help, then --version, outrank everything else.
// --check takes FILE alone and implies --resync and --past-end; --json needs --check.
Failure parse_arguments(int argc, const char* const* argv, Options& options);

// The --help text; the fixed messages appear in `encoding`.
void put_help(OutBuffer& out, Encoding encoding);

// Lists or rewrites the source through a read window of window.size() bytes,
// then closes it; in Rewrite mode the final progress line follows the close.
// Output goes to `out`, unflushed.
Failure run_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                 const PassOptions& options);

// Runs the whole program; returns the exit status.
int run(int argc, const char* const* argv);

}  // namespace psrate
