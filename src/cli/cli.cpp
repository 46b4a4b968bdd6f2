#include "cli/cli.hpp"

#include <string>

#include "io/console.hpp"
#include "io/out_buffer.hpp"
#include "io/scan.hpp"
#include "io/stream_file.hpp"
#include "ps/listing.hpp"
#include "rewrite/rewrite.hpp"

namespace psrate {
namespace {

constexpr const char* kProgramName = "psrate";

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

Failure list_unit_handler(void* context, const Unit& unit, const ReadWindow&) {
  OutBuffer& out = *static_cast<OutBuffer*>(context);
  list_unit(out, unit);
  return out.failed ? Failure::Output : Failure::None;
}

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

}  // namespace

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

Failure parse_arguments(int argc, const char* const* argv, Options& o) {
  if (argc == 2) {
    o.mode = RunMode::Dump;
  } else if (argc == 3) {
    o.mode = RunMode::Rewrite;
    if (!parse_bitrate(argv[2], o.bitrate)) return Failure::Arguments;
  } else {
    return Failure::Arguments;
  }
  o.path = argv[1];
  return Failure::None;
}

Failure run_pass(StreamFile& file, ReadWindow& window, OutBuffer& out, const PassOptions& options) {
  ScanConfig config;
  config.mode = options.mode;
  RateRewriter rewriter;
  if (options.mode == RunMode::Dump) {
    config.on_unit = list_unit_handler;
    config.context = &out;
  } else {
    rewriter.file = &file;
    rewriter.out = &out;
    rewriter.encoding = options.encoding;
    rewriter.interactive = options.interactive;
    rewriter.rate_units = options.bitrate / kBitsPerRateUnit;
    if (!file_size(file, rewriter.file_size)) rewriter.file_size = 0;
    config.on_unit = rewrite_unit;
    config.context = &rewriter;
  }
  Failure failure = scan_stream(file, window, config);
  // A close that fails after writing may be a write that never reached the file.
  bool closed = file_close(file);
  if (failure == Failure::None && !closed && options.mode == RunMode::Rewrite)
    failure = Failure::Write;
  if (failure == Failure::None && options.mode == RunMode::Rewrite)
    put_progress(rewriter, window.base, '\n');
  return failure;
}

int run(int argc, const char* const* argv) {
  static uint8_t window_buffer[kWindowSize];
  static OutBuffer out;
  const char* program = argc > 0 && argv[0] ? argv[0] : kProgramName;

  Options options;
  Failure failure = parse_arguments(argc, argv, options);
  StreamFile file;
  if (failure == Failure::None &&
      !file_open(file, options.path,
                 options.mode == RunMode::Dump ? OpenMode::Read : OpenMode::ReadWrite))
    failure = Failure::Open;
  if (failure != Failure::None) {
    report(failure, program);
    return 1;
  }

  out.fd = kStdout;
  ReadWindow window;
  window.buffer = window_buffer;
  PassOptions pass;
  pass.mode = options.mode;
  pass.bitrate = options.bitrate;
  if (options.mode == RunMode::Rewrite) {
    pass.encoding = console_encoding(kStdout);
    pass.interactive = is_terminal(kStdout);
  }
  failure = run_pass(file, window, out, pass);
  bool output_ok = flush(out);
  if (failure != Failure::None) report(failure, program);
  return failure == Failure::None && output_ok ? 0 : 1;
}

}  // namespace psrate
