// SPDX-License-Identifier: MIT
#include <string_view>

#include "cli/cli.hpp"

namespace psrate {
namespace {

constexpr std::string_view kHelpHead =
    "usage: psrate [OPTION...] FILE           list the units of an MPEG program stream\n"
    "       psrate [OPTION...] FILE BITRATE   set every program_mux_rate and rate_bound\n"
    "                                         in FILE to BITRATE bit/s, in place\n"
    "       psrate --check [--json] FILE...   audit each FILE (read only)\n"
    "       psrate --fix [-q] [--json] FILE...\n"
    "                                         audit each FILE, apply a rewrite\n"
    "                                         verdict and audit it again\n"
    "       psrate --rate=BITRATE [-q] FILE...  rewrite each FILE to BITRATE\n"
    "A FILE may be a folder: its .mpg .mpeg .vob .m2p .mpv .dat files, or a DVD's\n"
    "title sets (VTS_nn_1.VOB to VTS_nn_9.VOB as one stream each).\n"
    "\n"
    "Options (before FILE; a lone -- ends them):\n"
    "  --resync    take only units that look like one; past damage, search byte by\n"
    "              byte for the next pack header and list the bytes stepped over\n"
    "              as one SKIPPED line (nothing is written there)\n"
    "  --past-end  do not stop at an end code: go on to the end of the file\n"
    "              (files joined with cat)\n"
    "  --check     audit FILE instead of listing it (read only; implies --resync\n"
    "              and --past-end): its elementary streams and profile (dvd, svcd,\n"
    "              vcd), the rate its SCRs need, what is wrong with its rate fields,\n"
    "              each stream's decoder buffer (P-STD: overflows, late units), and\n"
    "              the verdict: a rewrite of the rate fields, a remux, a new\n"
    "              encoding, or none, with the command that applies it\n"
    "  --fix       the audit, then, when its verdict is a rewrite, every rate field\n"
    "              set to the rate it suggests (walking as the audit did), and\n"
    "              unless a remux or new encoding is due, buffer bounds below the\n"
    "              profile's sizes set to them; then the audit again; nothing else\n"
    "              is written\n"
    "  --json      with --check or --fix: the audit as one JSON object (an array\n"
    "              of them for several FILEs)\n"
    "  --join      the FILEs are one stream, in the order given (a title set cut\n"
    "              into VOB files): listed, audited or rewritten across them\n"
    "  --rate=BITRATE  set every program_mux_rate and rate_bound of each FILE to\n"
    "              BITRATE, as psrate FILE BITRATE does for one\n"
    "  -q, --quiet with BITRATE, --rate or --fix: print no progress line\n"
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
    "BITRATE is in bit/s: digits, optionally a multiplier k (1000) or M (1000000),\n"
    "which may follow a fraction (9.8M, 1411.2k), then optionally a unit, bps,\n"
    "bit/s, b/s, bit or bits, in any case: 10080000, 10080000bps, 10080k and\n"
    "10.08M are the same rate. It is stored in units of 400 bit/s (rounded down)\n"
    "and must lie from 400 to 1677721599. Three bytes change per header and no\n"
    "other byte of the file.\n"
    "\n"
    "Exit status, over all FILEs: 1 when any failed; else 2 when --check found a\n"
    "problem or one is left after --fix; else 3 when a rewrite may not have reached\n"
    "every header (a note on standard error says why and what to run); else 0. 130\n"
    "when an interrupt stopped a rewrite between two writes. A failure prints one\n"
    "of these messages on standard error, and a line in English with its cause:\n";

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

}  // namespace psrate
