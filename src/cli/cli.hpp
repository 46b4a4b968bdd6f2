// SPDX-License-Identifier: MIT
// The entry: arguments, run mode, the pass, and the one place where a failure
// becomes a message and an exit status.
#pragma once

#include <csignal>
#include <cstdint>
#include <span>
#include <string>

#include "cli/bitrate.hpp"
#include "io/byte_source.hpp"
#include "io/console.hpp"
#include "io/status.hpp"
#include "io/stream_file.hpp"
#include "ps/walk.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

enum class Request : uint8_t { Pass, Help, Version };

// What one pass over the stream does.
struct PassOptions {
  RunMode mode = RunMode::Dump;
  WalkOptions walk;
  uint32_t bitrate = 0;                    // Rewrite mode
  bool quiet = false;                      // Rewrite mode: no progress line
  Encoding encoding = Encoding::ShiftJis;  // of the progress text
  bool interactive = false;                // standard output is a terminal
  // Rewrite mode: raised by an interrupt; the pass stops before its next write.
  const volatile std::sig_atomic_t* stop = nullptr;
};

// What is wrong with a command line; the first of these is named.
enum class ArgumentError : uint8_t {
  None,
  UnknownOption,
  DoubledOption,
  JsonWithoutCheck,
  CheckAndFix,
  RateWithCheck,        // --rate with --check or --fix
  QuietWithoutBitrate,  // --quiet without a BITRATE, --rate or --fix
  NoFile,               // --check, --fix, --rate or --join without a FILE
  OperandCount,
  Bitrate,
};

struct Options {
  Request request = Request::Pass;
  const char* path = nullptr;  // the first FILE
  PassOptions pass;
  bool check = false;          // the rate audit, in a read-only walk
  bool fix = false;            // the audit, the rewrite its verdict asks for, and the audit again
  bool json = false;           // the audit as one JSON object
  bool join = false;           // the FILEs are one stream, in the order given
  const char* rate = nullptr;  // --rate=BITRATE: every FILE rewritten to it
  const char* const* files = nullptr;  // the FILE operands
  int file_count = 0;
  ArgumentError error = ArgumentError::None;
  const char* culprit = nullptr;  // the option or the bitrate, as given
  int operands = 0;
  BitrateError bitrate_error = BitrateError::None;
};

// Several FILEs, a folder, or --join: each FILE (or the joined stream) is a
// unit of work of its own.
constexpr bool several_files(const Options& o) {
  return o.check || o.fix || o.rate != nullptr || o.join;
}

// psrate [OPTION...] FILE [BITRATE] | psrate [OPTION...] FILE...: leading
// arguments that begin with "--" (and "-h", "-q") are options, up to a lone
// "--"; the operands that follow choose the mode. --help, then --version,
// outrank everything else. --check, --fix, --rate=BITRATE and --join take one
// FILE or more; --check and --fix imply --resync and --past-end for their
// audit; --json needs one of them; --quiet needs a BITRATE, --rate or --fix.
// A refused line gives Failure::Arguments, with `error` saying why.
Failure parse_arguments(int argc, const char* const* argv, Options& options);

// The English line that names what is wrong with a refused command line.
std::string argument_cause(const Options& options);

// An argument as it may be shown: bytes below 0x20 and 0x7F become '?'.
std::string shown(const char* argument);

// The --help text; the fixed messages appear in `encoding`.
void put_help(OutBuffer& out, Encoding encoding);

struct PassOutcome {
  Failure failure = Failure::None;
  WalkFacts facts;
  uint64_t interrupted_at = 0;             // Failure::Interrupted: the first header not rewritten
  uint64_t packs = 0, system_headers = 0;  // Rewrite mode: the headers set to the rate
  uint64_t entries = 0;                    // --fix: the stream-table entries set
};

struct BoundRepair;
// --fix's rewrite: the rate fields to options.bitrate when `rates`, and the
// system headers' buffer bounds in `bounds` (nullptr for none).
PassOutcome fix_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                     const PassOptions& options, bool rates, const BoundRepair* bounds);

// Lists or rewrites the source through a read window of window.size() bytes,
// then closes it; in Rewrite mode the final progress line follows the close.
// Output goes to `out`, unflushed.
PassOutcome run_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                     const PassOptions& options);

// The notes on standard error after a pass that ended normally, and its exit
// status: 3 when a rewrite may not have reached every header, else 0.
int put_notes(std::string& notes, const PassOutcome& outcome, const PassOptions& options);

// The fixed message of a failure on standard error, then the line that names its cause.
void report(Failure failure, const char* program, const std::string& cause);
// The English line for a failure of the file: "psrate: cannot open 'F': why".
std::string file_cause(Failure failure, const char* path, const FileError& error);
// The note after an interrupted rewrite.
std::string interrupted_note(uint64_t at);

// Runs the whole program; returns the exit status.
int run(int argc, const char* const* argv);

}  // namespace psrate
