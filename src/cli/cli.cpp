// SPDX-License-Identifier: MIT
#include "cli/cli.hpp"

#include <string>
#include <string_view>

#include "cli/version.hpp"

#include "audit/audit.hpp"
#include "audit/report.hpp"
#include "io/console.hpp"
#include "io/stream_file.hpp"
#include "ps/listing.hpp"
#include "rewrite/rewrite.hpp"
#include "text/out_buffer.hpp"

namespace psrate {
namespace {

constexpr const char* kProgramName = "psrate";

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void report(Failure failure, const char* program) {
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
    case Failure::Output: break;
  }
  write_all(kStderr, message.data(), message.size());
}

constexpr std::string_view kHelpHead =
    "usage: psrate [OPTION...] FILE           list the units of an MPEG program stream\n"
    "       psrate [OPTION...] FILE BITRATE   set every program_mux_rate and rate_bound\n"
    "                                         in FILE to BITRATE bit/s, in place\n"
    "\n"
    "Options (before FILE; a lone -- ends them):\n"
    "  --resync    take only units that look like one; past damage, search byte by\n"
    "              byte for the next pack header and list the bytes stepped over\n"
    "              as one SKIPPED line (nothing is written there)\n"
    "  --past-end  do not stop at an end code: go on to the end of the file\n"
    "              (files joined with cat)\n"
    "  --check     audit FILE instead of listing it (read only; implies --resync\n"
    "              and --past-end): the rate its SCRs need, what is wrong with its\n"
    "              rate fields, and the command line that fixes them\n"
    "  --json      with --check: the audit as one JSON object\n"
    "  -h, --help  show this text\n"
    "  --version   show the version\n"
    "Without options the walk never searches: it steps from unit to unit by their\n"
    "length fields and stops at the first end code.\n"
    "\n"
    "Listing: one line per unit, starting with its file offset in hexadecimal.\n"
    "  PACK_START_CODE len=N(0xN)/MUX rate=Rbps/stuff len=S   pack header\n"
    "  SYSTEM_START_CODE len=HH   system header (length in hex), then its\n"
    "      rate bound (bitrate=), its bounds and flags, one line per stream entry\n"
    "  VIDEO_ELEMENTARY_STREAM, AUDIO_ELEMENTARY_STREAM_n, PRIVATE_STREAM_1,\n"
    "  PRIVATE_STREAM_2, PADDING_STREAM, UNKNOWN(code)   PES packets, with\n"
    "      length = the whole packet in bytes (decimal, then hexadecimal)\n"
    "  SKIPPED, length = N(0xN)   bytes stepped over by --resync\n"
    "  SYSTEM_END_CODE   the program end code\n"
    "\n"
    "BITRATE is in bit/s, stored in units of 400 bit/s (rounded down), from 400 to\n"
    "1677721599; leading blanks, one '+' and trailing text are accepted. Three\n"
    "bytes change per header and no other byte of the file.\n"
    "\n"
    "Exit status: 0 when the pass ran to the end (with --check: and no problem was\n"
    "found); 2 when --check found a problem; 1 on any failure, with one of these\n"
    "messages on standard error:\n";

struct Meaning {
  Text text;
  std::string_view english;
};

constexpr Meaning kMeanings[] = {
    {Text::InvalidArguments, "invalid arguments (the usage line follows)"},
    {Text::CannotOpen, "the file cannot be opened"},
    {Text::SeekError, "seek error"},
    {Text::ReadError, "read error"},
    {Text::WriteError, "write error"},
};

}  // namespace

void put_help(OutBuffer& out, Encoding encoding) {
  put(out, kHelpHead);
  for (const Meaning& m : kMeanings) {
    std::string_view message = text(m.text, encoding);
    put(out, "  ");
    put(out, message.substr(0, message.size() - 1));  // without its line feed
    put(out, "  ");
    put(out, m.english);
    put_char(out, '\n');
  }
  put(out, "\nSee man psrate for more.\n");
}

bool parse_bitrate(const char* s, uint32_t& bits_per_second) {
  while (is_space(*s)) ++s;
  bool negative = *s == '-';
  if (*s == '+' || *s == '-') ++s;
  if (*s < '0' || *s > '9') return false;
  uint64_t value = 0;  // saturates at the limit: any number of digits is judged as written
  for (; *s >= '0' && *s <= '9'; ++s)
    if (value < kBitrateLimit) value = value * 10 + uint64_t(*s - '0');
  if (negative || value < kMinBitrate || value >= kBitrateLimit) return false;
  bits_per_second = uint32_t(value);
  return true;
}

namespace {

struct OptionScan {
  bool help = false, version = false;
  bool bad = false;  // an unknown or doubled option: judged after --help and --version
  int first = 1;     // the first operand
};

// The leading options, up to a lone "--" or the first argument that is none.
OptionScan scan_options(int argc, const char* const* argv, Options& o) {
  struct Flag {
    std::string_view name;
    bool* set;
  };
  OptionScan scan;
  const Flag flags[] = {
      {"--help", &scan.help},
      {"--version", &scan.version},
      {"--resync", &o.pass.walk.resync},
      {"--past-end", &o.pass.walk.past_end},
      {"--check", &o.check},
      {"--json", &o.json},
  };
  for (; scan.first < argc; ++scan.first) {
    std::string_view arg = argv[scan.first];
    if (arg == "--") {
      ++scan.first;
      break;
    }
    if (arg == "-h") arg = "--help";
    if (arg.substr(0, 2) != "--") break;
    const Flag* flag = nullptr;
    for (const Flag& f : flags)
      if (f.name == arg) flag = &f;
    if (flag == nullptr || *flag->set) scan.bad = true;
    if (flag != nullptr) *flag->set = true;
  }
  return scan;
}

// FILE, or FILE BITRATE.
Failure take_operands(int count, const char* const* operands, Options& o) {
  if (o.check && count != 1) return Failure::Arguments;
  if (o.check) o.pass.walk = kAuditWalk;
  if (count == 2) {
    o.pass.mode = RunMode::Rewrite;
    if (!parse_bitrate(operands[1], o.pass.bitrate)) return Failure::Arguments;
  } else if (count != 1) {
    return Failure::Arguments;
  }
  o.path = operands[0];
  return Failure::None;
}

}  // namespace

Failure parse_arguments(int argc, const char* const* argv, Options& o) {
  OptionScan scan = scan_options(argc, argv, o);
  if (scan.help || scan.version) {
    o.request = scan.help ? Request::Help : Request::Version;
    return Failure::None;
  }
  if (scan.bad || (o.json && !o.check)) return Failure::Arguments;
  return take_operands(argc - scan.first, argv + scan.first, o);
}

namespace {

Failure rewrite_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                     const PassOptions& options) {
  static uint8_t span_bytes[kWindowSize];
  RateRewriter rewriter;
  rewriter.target = &source;
  rewriter.bytes = span_bytes;
  rewriter.rate_units = options.bitrate / kBitsPerRateUnit;
  ProgressLine& progress = rewriter.progress;
  progress.out = &out;
  progress.encoding = options.encoding;
  progress.interactive = options.interactive;
  if (!source.size(source.context, progress.file_size)) progress.file_size = 0;
  Walker walker;
  walker.source = source;
  walker.options = options.walk;
  Failure failure = walk(walker, window, rewriter);
  // A close that fails after writing may be a write that never reached the file.
  bool closed = source.close(source.context);
  if (failure == Failure::None && !closed) failure = Failure::Write;
  if (failure == Failure::None) put_progress(progress, rewriter.final_base, '\n');
  return failure;
}

}  // namespace

Failure run_pass(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                 const PassOptions& options) {
  if (options.mode == RunMode::Rewrite) return rewrite_pass(source, window, out, options);
  Listing listing;
  listing.out = &out;
  Walker walker;
  walker.source = source;
  walker.options = options.walk;
  Failure failure = walk(walker, window, listing);
  source.close(source.context);  // read only: a close cannot lose a write
  return failure;
}

namespace {

// The audit of the open source: 0 without a problem, 2 with one, 1 on failure.
int check_source(ByteSource& source, std::span<uint8_t> window, OutBuffer& out,
                 const Options& options, const char* program) {
  static Measurement measurement;
  measurement = Measurement{};
  Failure failure = measure_stream(source, window, measurement);
  source.close(source.context);  // read only: a close cannot lose a write
  if (failure != Failure::None) {
    report(failure, program);
    return 1;
  }
  Verdict verdict = judge(measurement);
  if (options.json)
    put_json_report(out, options.path, measurement, verdict);
  else
    put_report(out, options.path, measurement, verdict);
  if (!flush(out)) return 1;
  return verdict.problem ? 2 : 0;
}

}  // namespace

int run(int argc, const char* const* argv) {
  static uint8_t window_buffer[kWindowSize];
  static OutBuffer out;
  const char* program = argc > 0 && argv[0] ? argv[0] : kProgramName;

  Options options;
  Failure failure = parse_arguments(argc, argv, options);
  if (failure == Failure::None && options.request != Request::Pass) {
    out.fd = kStdout;
    if (options.request == Request::Help) {
      put_help(out, console_encoding(kStdout));
    } else {
      put(out, "psrate ");
      put(out, kVersion);
      put_char(out, '\n');
    }
    return flush(out) ? 0 : 1;
  }
  StreamFile file;
  OpenMode open_mode = options.pass.mode == RunMode::Dump ? OpenMode::Read : OpenMode::ReadWrite;
  if (failure == Failure::None && !file_open(file, options.path, open_mode))
    failure = Failure::Open;
  if (failure != Failure::None) {
    report(failure, program);
    return 1;
  }

  out.fd = kStdout;
  ByteSource source = file_source(file);
  if (options.check) return check_source(source, window_buffer, out, options, program);
  if (options.pass.mode == RunMode::Rewrite) {
    options.pass.encoding = console_encoding(kStdout);
    options.pass.interactive = is_terminal(kStdout);
  }
  failure = run_pass(source, window_buffer, out, options.pass);
  bool output_ok = flush(out);
  if (failure != Failure::None) report(failure, program);
  return failure == Failure::None && output_ok ? 0 : 1;
}

}  // namespace psrate
