// SPDX-License-Identifier: MIT
#include "cli/cli.hpp"

#include <string>
#include <string_view>

#include "cli/version.hpp"

#include "audit/audit.hpp"
#include "audit/report.hpp"
#include "cli/batch.hpp"
#include "io/console.hpp"
#include "io/interrupt.hpp"
#include "io/stream_file.hpp"
#include "ps/listing.hpp"
#include "rewrite/rewrite.hpp"
#include "text/offsets.hpp"
#include "text/out_buffer.hpp"

namespace psrate {
namespace {

constexpr const char* kProgramName = "psrate";

}  // namespace

void report(Failure failure, const char* program, const std::string& cause) {
  Encoding enc = console_encoding(kStderr);
  std::string message;
  switch (failure) {
    case Failure::Arguments:
      message.append(text(Text::InvalidArguments, enc));
      message.append("usage: ").append(program).append(" [input file] {bitrate(bit)}\n");
      break;
    case Failure::Open: message = text(Text::CannotOpen, enc); break;
    case Failure::Seek: message = text(Text::SeekError, enc); break;
    case Failure::Read: message = text(Text::ReadError, enc); break;
    case Failure::Write: message = text(Text::WriteError, enc); break;
    case Failure::None:
    case Failure::Output:
    case Failure::Interrupted: break;
  }
  if (!cause.empty()) message.append(cause).append("\n");
  write_all(kStderr, message.data(), message.size());
}

std::string file_cause(Failure failure, const char* path, const FileError& error) {
  if (failure == Failure::Open)
    return "psrate: cannot open '" + shown(path) + "': " + file_error_text(error);
  return "psrate: '" + shown(path) + "': " + file_error_text(error);
}

std::string interrupted_note(uint64_t at) {
  return "psrate: interrupted at offset " + offset_text(at) +
         ": headers before it are rewritten, those after it are not; run the same command "
         "again to finish\n";
}

namespace {

template <WalkConsumer C>
PassOutcome walk_with(ByteSource& source, std::span<uint8_t> window, const WalkOptions& options,
                      C& consumer) {
  PassOutcome outcome;
  outcome.failure = walk(source, options, window, consumer, &outcome.facts);
  return outcome;
}

// The rewrite with `consumer` (whose rewriter is `r`): its progress, the close
// that may lose a write, the final line.
template <WalkConsumer C>
PassOutcome rewrite_with(C& consumer, RateRewriter& r, ByteSource& source,
                         std::span<uint8_t> window, OutBuffer& out, const PassOptions& options) {
  r.target = &source;
  r.window = window;
  r.rate_units = options.bitrate / kBitsPerRateUnit;
  r.stop = options.stop;
  ProgressLine& progress = r.progress;
  progress.out = &out;
  progress.encoding = options.encoding;
  progress.interactive = options.interactive;
  progress.quiet = options.quiet;
  if (!source.size(source.context, progress.file_size)) progress.file_size = 0;
  PassOutcome outcome = walk_with(source, window, options.walk, consumer);
  // A close that fails after writing may be a write that never reached the file.
  bool closed = source.close(source.context);
  if (outcome.failure == Failure::None && !closed) outcome.failure = Failure::Write;
  if (outcome.failure == Failure::None) put_progress(progress, r.final_base, '\n');
  if (outcome.failure == Failure::Interrupted) {
    outcome.interrupted_at = r.interrupted_at;
    if (progress.shown) put_char(out, '\n');  // the running line ends
  }
  outcome.packs = r.packs;
  outcome.system_headers = r.system_headers;
  return outcome;
}

PassOutcome rewrite_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                         const PassOptions& options) {
  RateRewriter rewriter;
  return rewrite_with(rewriter, rewriter, source, window, out, options);
}

}  // namespace

PassOutcome fix_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                     const PassOptions& options, bool rates, const BoundRepair* bounds) {
  FixRewriter fixer;
  fixer.rates = rates;
  fixer.bounds = bounds;
  PassOutcome outcome = rewrite_with(fixer, fixer.r, source, window, out, options);
  outcome.entries = fixer.entries;
  return outcome;
}

PassOutcome run_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                     const PassOptions& options) {
  if (options.mode == RunMode::Rewrite) return rewrite_pass(source, window, out, options);
  Listing listing;
  listing.out = &out;
  PassOutcome outcome = walk_with(source, window, options.walk, listing);
  source.close(source.context);  // read only: a close cannot lose a write
  return outcome;
}

int put_notes(std::string& notes, const PassOutcome& outcome, const PassOptions& options) {
  const WalkFacts& f = outcome.facts;
  bool rewrite = options.mode == RunMode::Rewrite;
  bool incomplete = false;
  if (f.damaged) {
    notes += "psrate: the stream is damaged at offset " + offset_text(f.damaged_at) +
             (rewrite ? ": headers after it may not have been rewritten; run again with --resync\n"
                      : ": the listing after it follows broken length fields; --resync follows "
                        "the stream\n");
    incomplete = rewrite;
  }
  if (rewrite && f.packs == 0) {
    notes += "psrate: no pack header found (is this an MPEG program stream?)\n";
    incomplete = true;
  }
  if (f.joined) {
    notes += "psrate: stopped at the end code at offset " + offset_text(f.end_code_at) +
             ": the stream goes on after it (files joined with cat?); run again with --past-end\n";
    incomplete = incomplete || rewrite;
  }
  if (rewrite && f.skipped_ranges > 0)
    notes += "psrate: skipped " + std::to_string(f.skipped_ranges) + " damaged range(s), " +
             std::to_string(f.skipped_bytes) + " bytes; nothing was written there\n";
  return incomplete ? 3 : 0;
}

namespace {

int show_request(OutBuffer& out, Request request) {
  out.fd = kStdout;
  if (request == Request::Help) {
    put_help(out, console_encoding(kStdout));
  } else {
    put(out, "psrate ");
    put(out, kVersion);
    put_char(out, '\n');
  }
  return flush(out) ? 0 : 1;
}

// The listing or the rewrite of the open file, its notes and exit status.
int pass_file(StreamFile& file, std::span<uint8_t> window, OutBuffer& out, Options& options,
              const char* program) {
  if (options.pass.mode == RunMode::Rewrite) {
    options.pass.encoding = console_encoding(kStdout);
    options.pass.interactive = is_terminal(kStdout);
    catch_interrupts();
    options.pass.stop = interrupt_flag();
  }
  ByteSource source = file_source(file);
  PassOutcome outcome = run_pass(source, window, out, options.pass);
  bool output_ok = flush(out);
  std::string notes;
  int status = 0;
  if (outcome.failure == Failure::Interrupted) {
    notes = interrupted_note(outcome.interrupted_at);
    status = 130;
  } else if (outcome.failure != Failure::None) {
    std::string cause;
    if (outcome.failure != Failure::Output)
      cause = file_cause(outcome.failure, options.path, file.error);
    report(outcome.failure, program, cause);
    return 1;
  } else {
    status = put_notes(notes, outcome, options.pass);
  }
  write_all(kStderr, notes.data(), notes.size());
  return output_ok ? status : 1;
}

}  // namespace

int run(int argc, const char* const* argv) {
  static uint8_t window_buffer[kWindowSize];
  static OutBuffer out;
  const char* program = argc > 0 && argv[0] ? argv[0] : kProgramName;

  Options options;
  if (parse_arguments(argc, argv, options) != Failure::None) {
    report(Failure::Arguments, program, argument_cause(options));
    return 1;
  }
  if (options.request != Request::Pass) return show_request(out, options.request);
  out.fd = kStdout;
  if (several_files(options)) return run_units(options, window_buffer, out, program);
  StreamFile file;
  OpenMode open_mode = options.pass.mode == RunMode::Dump ? OpenMode::Read : OpenMode::ReadWrite;
  if (!file_open(file, options.path, open_mode)) {
    report(Failure::Open, program, file_cause(Failure::Open, options.path, file.error));
    return 1;
  }
  return pass_file(file, window_buffer, out, options, program);
}

}  // namespace psrate
