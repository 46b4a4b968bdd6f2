// SPDX-License-Identifier: MIT
#include <string_view>

#include "audit/audit.hpp"
#include "cli/cli.hpp"

namespace psrate {
namespace {

struct OptionScan {
  bool help = false, version = false;
  ArgumentError error = ArgumentError::None;  // an unknown or doubled option, the first
  const char* culprit = nullptr;
  int first = 1;  // the first operand
};

void name_first(OptionScan& scan, ArgumentError error, const char* argument) {
  if (scan.error != ArgumentError::None) return;
  scan.error = error;
  scan.culprit = argument;
}

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
      {"--fix", &o.fix},
      {"--join", &o.join},
      {"--json", &o.json},
      {"--quiet", &o.pass.quiet},
  };
  for (; scan.first < argc; ++scan.first) {
    std::string_view arg = argv[scan.first];
    if (arg == "--") {
      ++scan.first;
      break;
    }
    if (arg == "-h") arg = "--help";
    if (arg == "-q") arg = "--quiet";
    if (arg.substr(0, 2) != "--") break;
    if (arg.substr(0, 7) == "--rate=") {
      if (o.rate != nullptr) name_first(scan, ArgumentError::DoubledOption, argv[scan.first]);
      o.rate = argv[scan.first] + 7;
      continue;
    }
    const Flag* flag = nullptr;
    for (const Flag& f : flags)
      if (f.name == arg) flag = &f;
    if (flag == nullptr)
      name_first(scan, ArgumentError::UnknownOption, argv[scan.first]);
    else if (*flag->set)
      name_first(scan, ArgumentError::DoubledOption, argv[scan.first]);
    if (flag != nullptr) *flag->set = true;
  }
  return scan;
}

// The mistakes of the options among themselves and with the operands, in the
// order they are named.
ArgumentError operand_error(int count, const Options& o) {
  if (o.json && !o.check && !o.fix) return ArgumentError::JsonWithoutCheck;
  if (o.check && o.fix) return ArgumentError::CheckAndFix;
  if (o.rate != nullptr && (o.check || o.fix)) return ArgumentError::RateWithCheck;
  // psrate -q FILE BITRATE: a plain rewrite is quiet with its BITRATE
  if (o.pass.quiet && !o.fix && o.rate == nullptr && (several_files(o) || count < 2))
    return ArgumentError::QuietWithoutBitrate;
  if (several_files(o)) return count == 0 ? ArgumentError::NoFile : ArgumentError::None;
  if (count != 1 && count != 2) return ArgumentError::OperandCount;
  return ArgumentError::None;
}

Failure take_bitrate(const char* text, Options& o) {
  o.pass.mode = RunMode::Rewrite;
  o.culprit = text;
  o.bitrate_error = parse_bitrate(text, o.pass.bitrate);
  if (o.bitrate_error == BitrateError::None) return Failure::None;
  o.error = ArgumentError::Bitrate;
  return Failure::Arguments;
}

// FILE, FILE BITRATE, or FILE... for the modes that take several.
Failure take_operands(int count, const char* const* operands, Options& o) {
  o.operands = count;
  o.error = operand_error(count, o);
  if (o.error != ArgumentError::None) return Failure::Arguments;
  if (o.check || o.fix) o.pass.walk = kAuditWalk;
  o.path = operands[0];
  o.files = operands;
  o.file_count = several_files(o) ? count : 1;
  if (o.rate != nullptr) return take_bitrate(o.rate, o);
  if (several_files(o) || count == 1) return Failure::None;
  return take_bitrate(operands[1], o);
}

}  // namespace

Failure parse_arguments(int argc, const char* const* argv, Options& o) {
  OptionScan scan = scan_options(argc, argv, o);
  if (scan.help || scan.version) {
    o.request = scan.help ? Request::Help : Request::Version;
    return Failure::None;
  }
  if (scan.error != ArgumentError::None) {
    o.error = scan.error;
    o.culprit = scan.culprit;
    return Failure::Arguments;
  }
  return take_operands(argc > scan.first ? argc - scan.first : 0, argv + scan.first, o);
}

std::string shown(const char* argument) {
  std::string s = argument ? argument : "";
  for (char& c : s)
    if ((unsigned char)c < 0x20 || c == 0x7F) c = '?';
  return s;
}

std::string argument_cause(const Options& o) {
  switch (o.error) {
    case ArgumentError::None: return "";
    case ArgumentError::UnknownOption: return "psrate: unknown option '" + shown(o.culprit) + "'";
    case ArgumentError::DoubledOption:
      return "psrate: option '" + shown(o.culprit) + "' given twice";
    case ArgumentError::JsonWithoutCheck: return "psrate: --json needs --check or --fix";
    case ArgumentError::CheckAndFix: return "psrate: --check and --fix do not go together";
    case ArgumentError::RateWithCheck:
      return "psrate: --rate does not go with --check or --fix (--fix sets the rate the check "
             "suggests)";
    case ArgumentError::QuietWithoutBitrate:
      return "psrate: --quiet needs a BITRATE, --rate or --fix";
    case ArgumentError::NoFile: return "psrate: expected one FILE or more, got none";
    case ArgumentError::OperandCount:
      return "psrate: expected FILE or FILE BITRATE, got " + std::to_string(o.operands) +
             " operands";
    case ArgumentError::Bitrate:
      return "psrate: '" + shown(o.culprit) +
             "' is not a bitrate: " + std::string(bitrate_error_text(o.bitrate_error));
  }
  return "";
}

}  // namespace psrate
