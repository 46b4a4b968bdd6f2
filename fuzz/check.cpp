// SPDX-License-Identifier: MIT
#include "check.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <span>
#include <string_view>
#include <vector>

#include "audit/audit.hpp"
#include "audit/report.hpp"
#include "cli/cli.hpp"
#include "es/census.hpp"
#include "es/codecs.hpp"
#include "es/pes.hpp"
#include "io/byte_source.hpp"
#include "ps/walk.hpp"
#include "pstd/access_units.hpp"
#include "text/out_buffer.hpp"

namespace psrate::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

// --- the stream: bytes in memory, reloaded for every pass ---

Bytes& stream_bytes() {
  static Bytes bytes;
  return bytes;
}

// Keeps the vector's storage from one input to the next.
void load(const Bytes& bytes) { stream_bytes().assign(bytes.begin(), bytes.end()); }

Bytes contents() { return stream_bytes(); }

MemoryBytes& memory() {
  static MemoryBytes m;
  m = MemoryBytes{stream_bytes()};
  return m;
}

// --- the window: exactly window_size bytes of heap, so that any access past
// it is caught; what a pass may see beyond the data read is made the same
// for every run, so that a finding replays ---

struct WindowBuffer {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
  size_t dirty = 0;  // bytes that earlier passes may have filled
};

std::span<uint8_t> window_buffer(size_t size, size_t file_size) {
  static WindowBuffer cache[2];
  WindowBuffer& w = cache[size == kWindowSize ? 0 : 1];
  if (w.size != size) {
    w.data.reset(new uint8_t[size]);
    w.size = size;
    w.dirty = size;
  }
  size_t reach = std::min(size, std::max(w.dirty, file_size + 2 * kDecodeMargin));
  std::fill_n(w.data.get(), reach, uint8_t(0xA5));
  w.dirty = std::min(size, file_size + 2 * kDecodeMargin);
  return {w.data.get(), size};
}

// --- one pass, driven the way the program drives it ---

struct PassOutput {
  Failure failure;
  std::string out;
  WalkFacts facts;
};

// The walk's options: --resync and --past-end.
using Walk = WalkOptions;

// The program's output buffer, empty, writing into captured.
OutBuffer& capture_into(std::string& captured) {
  static OutBuffer out;
  out.capture = &captured;
  out.used = 0;
  out.failed = false;
  return out;
}

// interactive: as on a terminal, the progress is flushed whenever the window moves.
PassOutput pass_on_file(RunMode mode, uint32_t bitrate, size_t window_size, size_t length,
                        Walk walk, bool interactive = false) {
  std::string captured;
  OutBuffer& out = capture_into(captured);
  std::span<uint8_t> window = window_buffer(window_size, length);
  ByteSource source = memory_source(memory());
  PassOptions options;
  options.mode = mode;
  options.bitrate = bitrate;
  options.interactive = interactive;
  options.walk = walk;
  PassOutcome outcome = run_pass(source, window, out, options);
  flush(out);
  out.capture = nullptr;
  return {outcome.failure, std::move(captured), outcome.facts};
}

// --- strict readers for the listing's line formats ---

struct Cursor {
  std::string_view s;
  bool ok = true;

  Cursor& lit(std::string_view t) {
    if (ok && s.substr(0, t.size()) == t)
      s.remove_prefix(t.size());
    else
      ok = false;
    return *this;
  }
  // "%0*x": at least min_digits lowercase digits, no padding beyond them.
  Cursor& hex(uint64_t& v, size_t min_digits) {
    size_t n = 0;
    while (n < s.size() && ((s[n] >= '0' && s[n] <= '9') || (s[n] >= 'a' && s[n] <= 'f'))) ++n;
    if (!ok || n == 0 || n > 16 || n < min_digits || (n > min_digits && s[0] == '0')) {
      ok = false;
      return *this;
    }
    v = 0;
    for (size_t i = 0; i < n; ++i)
      v = v << 4 | uint64_t(s[i] <= '9' ? s[i] - '0' : s[i] - 'a' + 10);
    s.remove_prefix(n);
    return *this;
  }
  // "%d" of a value that is never negative here.
  Cursor& dec(uint64_t& v) {
    size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
    if (!ok || n == 0 || n > 19 || (n > 1 && s[0] == '0')) {
      ok = false;
      return *this;
    }
    v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + uint64_t(s[i] - '0');
    s.remove_prefix(n);
    return *this;
  }
  bool done() const { return ok && s.empty(); }
};

// The kinds of start code, told apart here on their own (not with the
// program's table) so that a wrong entry there shows up.
enum class Kind {
  Stuffing,
  End,
  Pack,
  System,
  Private1,
  Padding,
  Private2,
  Audio,
  Video,
  Unknown,
  Skipped,  // a SKIPPED line: not a start code's kind
};

Kind kind_of(uint32_t code) {
  if (code <= 0xFF) return Kind::Stuffing;
  switch (code) {
    case 0x1B9: return Kind::End;
    case 0x1BA: return Kind::Pack;
    case 0x1BB: return Kind::System;
    case 0x1BD: return Kind::Private1;
    case 0x1BE: return Kind::Padding;
    case 0x1BF: return Kind::Private2;
    case 0x1E0: return Kind::Video;
  }
  return code >= 0x1C0 && code <= 0x1C7 ? Kind::Audio : Kind::Unknown;
}

enum class RateLayout { None, Mpeg2Pack, Marked };  // Marked: marker, 22 bits, marker

struct Listed {
  Kind kind;
  uint64_t offset;
  uint64_t length;
  size_t first_line;
  size_t lines;
  RateLayout rate = RateLayout::None;
  uint32_t rate_at = 0;
  size_t rate_line = 0;  // the line that shows the rate field
};

std::string hex_text(uint64_t v) {
  char s[24];
  std::snprintf(s, sizeof s, "%llx", static_cast<unsigned long long>(v));
  return s;
}

struct Listing {
  const Bytes& f;
  size_t window_size;
  Walk walk;
  std::vector<std::string_view> lines;
  std::vector<Listed> units;

  uint32_t u8(uint64_t at) const { return f[at]; }
  uint32_t u16(uint64_t at) const { return u8(at) << 8 | u8(at + 1); }
  uint32_t u32(uint64_t at) const { return u16(at) << 16 | u16(at + 2); }
  bool has(uint64_t off, uint64_t n) const { return off <= f.size() && n <= f.size() - off; }

  std::string pack(Cursor c, Listed& u) {
    uint64_t len = 0, len_hex = 0, rate = 0, stuff = 0;
    c.lit("PACK_START_CODE len=").dec(len).lit("(0x").hex(len_hex, 2).lit(")/MUX rate=");
    c.dec(rate).lit("bps/stuff len=").dec(stuff);
    if (!c.done() || len != len_hex) return "malformed pack line";
    uint64_t o = u.offset;
    if (!has(o, 5)) return "pack listed without its fixed bytes";
    // '0010' at the top of byte 4 starts an MPEG-1 SCR
    bool mpeg1 = (u8(o + 4) & 0xF0) == 0x20;
    uint64_t fixed = mpeg1 ? 12 : 14;
    if (!has(o, fixed)) return "pack listed without its fixed bytes";
    uint64_t field = mpeg1 ? (u8(o + 9) & 0x7F) << 15 | u8(o + 10) << 7 | u8(o + 11) >> 1
                           : u8(o + 10) << 14 | u8(o + 11) << 6 | u8(o + 12) >> 2;
    uint64_t stuffing = mpeg1 ? 0 : u8(o + 13) & 7;
    if (len != fixed + stuffing || stuff != stuffing || rate != field * kBitsPerRateUnit)
      return "pack line disagrees with the file";
    u.length = len;
    u.rate = mpeg1 ? RateLayout::Marked : RateLayout::Mpeg2Pack;
    u.rate_at = mpeg1 ? 9 : 10;
    u.rate_line = u.first_line;
    return "";
  }

  std::string system(Cursor c, Listed& u, size_t& next) {
    uint64_t len = 0, rate = 0, audio = 0, video = 0, fixed = 0, csps = 0, alock = 0, vlock = 0,
             marker = 0;
    c.lit("  SYSTEM_START_CODE len=").hex(len, 2);
    if (!c.done()) return "malformed system header line";
    if (next + 2 > lines.size()) return "system header without its two lines";
    Cursor r{lines[next++]};
    r.lit("             bitrate=").dec(rate).lit("bps");
    Cursor g{lines[next++]};
    g.lit("             audio ").dec(audio).lit("ch/video ").dec(video).lit("ch/fixed ").dec(fixed);
    g.lit("/CSPS ").dec(csps).lit("/AudLock ").dec(alock).lit("/VidLock ").dec(vlock);
    g.lit("/marker ").dec(marker);
    if (!r.done() || !g.done()) return "malformed system header block";
    uint64_t o = u.offset;
    if (!has(o, 12)) return "system header listed without its fixed bytes";
    uint32_t b9 = u8(o + 9), b10 = u8(o + 10);
    if (len != u16(o + 4) + 6u ||
        rate != ((u8(o + 6) & 0x7F) << 15 | u8(o + 7) << 7 | u8(o + 8) >> 1) * kBitsPerRateUnit ||
        audio != b9 >> 2 || fixed != (b9 >> 1 & 1) || csps != (b9 & 1) || alock != b10 >> 7 ||
        vlock != (b10 >> 6 & 1) || marker != (b10 >> 5 & 1) || video != (b10 & 0x1F))
      return "system header lines disagree with the file";
    uint64_t count = 0;
    for (; next < lines.size() && lines[next].substr(0, 1) == " "; ++next, ++count) {
      uint64_t id = 0, size = 0, size_hex = 0, scale = 0;
      Cursor e{lines[next]};
      e.lit("              STREAM ID = ").hex(id, 1).lit("(");
      e.lit(id == 0xC0 ? "audio" : id == 0xE0 ? "video" : "unknown");
      e.lit("), buffer = ").dec(size).lit("(0x").hex(size_hex, 1).lit("), scale = ").dec(scale);
      if (!e.done() || size != size_hex) return "malformed stream table entry";
      uint64_t at = o + 12 + 3 * count;
      if (3 * count + 15 > len || !has(at, 3)) return "stream table entry past the unit or file";
      if (id != u8(at) || scale != (u8(at + 1) >> 5 & 1) ||
          size != ((u8(at + 1) & 0x1F) << 8 | u8(at + 2)))
        return "stream table entry disagrees with the file";
    }
    // every whole entry inside the unit and the file, unless the unit is too
    // long for the window to hold it whole
    uint64_t table_end = std::min<uint64_t>(len, f.size() - o);
    uint64_t whole = table_end > 12 ? (table_end - 12) / 3 : 0;
    if (len < window_size ? count != whole : count > whole) return "stream table entries missing";
    u.length = len;
    if (len >= 9) {
      u.rate = RateLayout::Marked;
      u.rate_at = 6;
      u.rate_line = u.first_line + 1;
    }
    return "";
  }

  std::string packet(Cursor c, Listed& u) {
    struct Form {
      std::string_view name;
      Kind kind;
      char shows;  // 'x': the start code in hex, in parentheses; 'd': the audio stream number
    };
    static constexpr Form kForms[] = {
        {"  PRIVATE_STREAM_1(", Kind::Private1, 'x'},
        {"  PADDING_STREAM", Kind::Padding, 0},
        {"  PRIVATE_STREAM_2", Kind::Private2, 0},
        {"  AUDIO_ELEMENTARY_STREAM_", Kind::Audio, 'd'},
        {"  VIDEO_ELEMENTARY_STREAM(", Kind::Video, 'x'},
        {"  UNKNOWN(", Kind::Unknown, 'x'},
    };
    const Form* form = nullptr;
    for (const Form& f : kForms)
      if (c.s.substr(0, f.name.size()) == f.name) form = &f;
    if (!form) return "unrecognised line";
    u.kind = form->kind;
    c.lit(form->name);
    uint64_t shown = 0;
    if (form->shows == 'x') c.hex(shown, form->kind == Kind::Private1 ? 2 : 1).lit(")");
    if (form->shows == 'd') c.dec(shown);
    uint64_t len = 0, len_hex = 0;
    c.lit(", length = ").dec(len).lit("(0x").hex(len_hex, 2).lit(")");
    if (!c.done() || len != len_hex) return "malformed packet line";
    uint64_t o = u.offset;
    if (!has(o, 6)) return "packet listed without its fixed bytes";
    uint32_t actual = u32(o);
    if (kind_of(actual) != u.kind) return "packet listed as the wrong kind";
    if ((form->shows == 'x' && shown != actual) || (form->shows == 'd' && shown != actual - 0x1C0))
      return "packet line shows another start code";
    if (len != u16(o + 4) + 6u) return "packet length disagrees with the file";
    u.length = len;
    return "";
  }

  std::string unit(size_t& next) {
    Listed u{};
    u.first_line = next;
    Cursor c{lines[next++]};
    c.hex(u.offset, 8).lit(": ");
    if (!c.ok) return "line without an offset";
    if (!units.empty() && u.offset <= units.back().offset) return "offsets not increasing";
    if (units.size() && units.back().kind == Kind::End && !walk.past_end)
      return "a unit listed after the end code";
    if (!has(u.offset, 4)) return "unit listed past the end of the file";
    Kind actual = kind_of(u32(u.offset));
    std::string breach;
    if (c.s.substr(0, 9) == "  SKIPPED") {
      uint64_t len = 0, len_hex = 0;
      c.lit("  SKIPPED, length = ").dec(len).lit("(0x").hex(len_hex, 2).lit(")");
      if (!c.done() || len != len_hex || len == 0) breach = "malformed skipped line";
      if (!walk.resync) breach = "a skipped range without --resync";
      u.kind = actual = Kind::Skipped;
      u.length = len;
    } else if (c.s.substr(0, 1) == "P") {
      u.kind = Kind::Pack;
      breach = pack(c, u);
    } else if (c.s.substr(0, 4) == "  SY") {
      u.kind = Kind::System;
      breach = system(c, u, next);
    } else if (c.s.substr(0, 1) == "S") {
      u.kind = Kind::End;
      if (!c.lit("SYSTEM_END_CODE").done()) breach = "malformed end code line";
    } else {
      breach = packet(c, u);
    }
    if (breach.empty() && actual != u.kind) breach = "unit listed as the wrong kind";
    u.lines = next - u.first_line;
    units.push_back(u);
    return breach;
  }

  // Zero stuffing is stepped over a byte at a time while its start code
  // (the next four bytes) is below 0x100.
  uint64_t skip_stuffing(uint64_t p) const {
    while (has(p, 4) && u32(p) <= 0xFF) ++p;
    return p;
  }

  // The bytes a unit of this kind needs before it can be decoded.
  uint64_t fixed_bytes(uint64_t p) const {
    switch (kind_of(u32(p))) {
      case Kind::End: return 4;
      case Kind::Pack: return !has(p, 5) ? 5 : (u8(p + 4) & 0xF0) == 0x20 ? 12 : 14;
      case Kind::System: return 12;
      default: return 6;
    }
  }

  std::string read(const std::string& out) {
    if (!out.empty() && out.back() != '\n') return "listing does not end a line";
    std::string_view rest = out;
    while (!rest.empty()) {
      size_t nl = rest.find('\n');
      lines.push_back(rest.substr(0, nl));
      rest.remove_prefix(nl + 1);
    }
    for (size_t next = 0; next < lines.size();) {
      size_t line = next;
      std::string b =
          lines[line].substr(0, 1) == " " ? "indented line outside a system header" : unit(next);
      if (!b.empty()) return b + " (line " + std::to_string(line + 1) + ")";
    }
    // The units and skipped ranges are those of the walk stepped byte by byte.
    std::vector<Step> want = model_walk();
    if (want.size() != units.size())
      return std::to_string(units.size()) + " units listed, " + std::to_string(want.size()) +
             " expected";
    for (size_t i = 0; i < want.size(); ++i) {
      const Listed& u = units[i];
      if (u.offset != want[i].offset || (u.kind == Kind::Skipped) != want[i].skipped ||
          (u.kind != Kind::End && u.length != want[i].length))
        return "unit at " + hex_text(u.offset) + " listed, " + (want[i].skipped ? "a range " : "") +
               "at " + hex_text(want[i].offset) + " expected";
    }
    return "";
  }

  // --- the walk, modelled on the whole file a byte at a time ---

  struct Step {
    bool skipped;
    uint64_t offset;
    uint64_t length;
  };

  // The marker bits of the pack header at p, whose fixed bytes are in the file.
  bool markers(uint64_t p) const {
    if ((u8(p + 4) & 0xF0) == 0x20)
      return (u8(p + 4) & 0xF1) == 0x21 && (u8(p + 6) & 1) && (u8(p + 8) & 1) &&
             (u8(p + 9) & 0x80) && (u8(p + 11) & 1);
    return (u8(p + 4) & 0xC4) == 0x44 && (u8(p + 6) & 4) && (u8(p + 8) & 4) && (u8(p + 9) & 1) &&
           (u8(p + 12) & 3) == 3;
  }

  uint64_t length_of(uint64_t p) const {
    switch (kind_of(u32(p))) {
      case Kind::End: return 0;
      case Kind::Pack: return (u8(p + 4) & 0xF0) == 0x20 ? 12 : 14 + (u8(p + 13) & 7);
      default: return u16(p + 4) + 6u;
    }
  }

  // The three bytes after a unit begin a start code or zero stuffing, or lie past the file.
  bool followed(uint64_t p, uint64_t length) const {
    uint64_t n = p + length;
    return !has(n, 3) || (u8(n) == 0 && u8(n + 1) == 0 && u8(n + 2) <= 1);
  }

  bool taken_pack(uint64_t p) const {
    return has(p, 4) && u32(p) == 0x1BA && has(p, fixed_bytes(p)) && markers(p) &&
           followed(p, length_of(p));
  }

  bool resumes(uint64_t p) const {
    if (taken_pack(p)) return true;
    return has(p, 4) && u32(p) == 0x1B9 && (p + 4 == f.size() || taken_pack(p + 4));
  }

  std::vector<Step> model_walk() const {
    std::vector<Step> steps;
    uint64_t p = 0;
    while (has(p, 4)) {
      uint32_t code = u32(p);
      Kind kind = kind_of(code);
      if (kind == Kind::Stuffing) {
        ++p;
        continue;
      }
      bool take = !walk.resync || (code >= 0x1B9 && code <= 0x1FF);
      if (take && !has(p, fixed_bytes(p))) break;  // cut off by the end of the file
      uint64_t length = take ? length_of(p) : 0;
      if (take && walk.resync && kind != Kind::End)
        take = (kind != Kind::Pack || markers(p)) && followed(p, length);
      if (take) {
        steps.push_back({false, p, length});
        if (kind == Kind::End) {
          if (!walk.past_end) break;
          length = 4;
        }
        p += length;
        continue;
      }
      uint64_t q = p;
      while (has(q, 4) && !resumes(q)) ++q;
      if (!has(q, 4)) q = f.size();
      steps.push_back({true, p, q - p});
      p = q;
    }
    return steps;
  }
};

std::array<uint8_t, 3> encoded(RateLayout layout, uint32_t r) {
  if (layout == RateLayout::Mpeg2Pack)
    return {uint8_t(r >> 14), uint8_t(r >> 6), uint8_t(r << 2 | 3)};
  return {uint8_t(r >> 15 | 0x80), uint8_t(r >> 7), uint8_t(r << 1 | 1)};
}

// "処理: %d/%dバイト (%d%%)" once per header with a rate field ('\r'), then once at the end ('\n').
std::string check_progress(const std::string& out, uint64_t file_size, size_t headers) {
  Cursor c{out};
  size_t running = 0;
  uint64_t last_done = 0;
  for (;;) {
    uint64_t done = 0, size = 0, percent = 0;
    c.lit(text(Text::Progress, Encoding::ShiftJis)).dec(done).lit("/").dec(size);
    c.lit(text(Text::Bytes, Encoding::ShiftJis)).lit(" (").dec(percent).lit("%)");
    if (!c.ok || c.s.empty()) return "malformed progress line";
    if (size != file_size) return "progress shows another file size";
    if (done < last_done) return "progress goes back";
    last_done = done;
    char end = c.s[0];
    c.s.remove_prefix(1);
    if (end == '\n') break;
    if (end != '\r') return "malformed progress line";
    ++running;
  }
  if (!c.s.empty()) return "output after the final progress line";
  if (running != headers) return "one progress line per rate field expected";
  return "";
}

std::vector<std::string_view> without_entries(const std::vector<std::string_view>& lines) {
  std::vector<std::string_view> kept;
  for (std::string_view l : lines)
    if (l.substr(0, 26) != "              STREAM ID = ") kept.push_back(l);
  return kept;
}

}  // namespace

uint32_t input_bitrate(const uint8_t* data, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < kBitrateBytes; ++i) v = v << 8 | (i < size ? data[i] : 0);
  return kMinBitrate + v % (kBitrateLimit - kMinBitrate);
}

namespace {

// What the notes say against the listing and the model walk: the packs and
// skipped ranges listed; the default walk damaged where the resynchronising
// walk first skips; a stop at an end code that 00 00 01 BA follows.
std::string check_facts(const Bytes& f, size_t window_size, Walk walk, const Listing& listing,
                        const WalkFacts& facts) {
  uint64_t packs = 0, skipped = 0, skipped_bytes = 0;
  for (const Listed& u : listing.units) {
    packs += u.kind == Kind::Pack;
    skipped += u.kind == Kind::Skipped;
    if (u.kind == Kind::Skipped) skipped_bytes += u.length;
  }
  if (facts.packs != packs) return "pack headers counted apart from the listing";
  if (facts.skipped_ranges != skipped || facts.skipped_bytes != skipped_bytes)
    return "skipped ranges counted apart from the listing";
  bool damaged = false;
  uint64_t damaged_at = 0;
  if (!walk.resync) {
    Listing model{f, window_size, Walk{true, walk.past_end}, {}, {}};
    for (const auto& step : model.model_walk())
      if (step.skipped) {
        damaged = true;
        damaged_at = step.offset;
        break;
      }
  }
  if (facts.damaged != damaged || (damaged && facts.damaged_at != damaged_at))
    return "damage named where --resync does not first skip";
  bool joined = false;
  if (!walk.past_end && !listing.units.empty() && listing.units.back().kind == Kind::End) {
    uint64_t end = listing.units.back().offset;
    joined = listing.has(end + 4, 4) && listing.u32(end + 4) == 0x1BA;
    if (joined && facts.end_code_at != end) return "joined at another end code";
  }
  if (facts.joined != joined) return "joined files named wrongly";
  return "";
}

// Lists, rewrites, lists again and rewrites again with one set of walk options.
std::string check_walk(const Bytes& original, uint32_t bitrate, size_t window_size, Walk walk) {
  const uint32_t rate_units = bitrate / kBitsPerRateUnit;
  load(original);
  PassOutput dump = pass_on_file(RunMode::Dump, 0, window_size, original.size(), walk);
  if (dump.failure != Failure::None) return "listing pass failed";
  Listing listing{original, window_size, walk, {}, {}};
  if (std::string b = listing.read(dump.out); !b.empty()) return "listing: " + b;

  if (std::string b = check_facts(original, window_size, walk, listing, dump.facts); !b.empty())
    return "notes: " + b;

  std::vector<bool> in_field(original.size(), false);
  size_t headers = 0;
  for (const Listed& u : listing.units) {
    if (u.rate == RateLayout::None) continue;
    ++headers;
    for (uint64_t i = 0; i < 3; ++i) in_field[u.offset + u.rate_at + i] = true;
  }

  PassOutput first = pass_on_file(RunMode::Rewrite, bitrate, window_size, original.size(), walk);
  if (first.failure != Failure::None) return "rewrite pass failed";
  if (std::string b = check_facts(original, window_size, walk, listing, first.facts); !b.empty())
    return "rewrite notes: " + b;
  const Bytes rewritten = contents();
  if (rewritten.size() != original.size()) return "rewrite changed the file size";
  for (size_t i = 0; i < original.size(); ++i)
    if (rewritten[i] != original[i] && !in_field[i])
      return "rewrite changed byte " + hex_text(i) + ", outside every rate field";
  for (const Listed& u : listing.units) {
    if (u.rate == RateLayout::None) continue;
    std::array<uint8_t, 3> want = encoded(u.rate, rate_units);
    if (!std::equal(want.begin(), want.end(), rewritten.begin() + long(u.offset + u.rate_at)))
      return "rate field of the header at " + hex_text(u.offset) + " not rewritten";
  }
  if (std::string b = check_progress(first.out, original.size(), headers); !b.empty())
    return "rewrite output: " + b;

  // The rewritten file lists the same units; only the rate lines change.
  PassOutput relist = pass_on_file(RunMode::Dump, 0, window_size, original.size(), walk);
  if (relist.failure != Failure::None) return "listing of the rewritten file failed";
  Listing after{rewritten, window_size, walk, {}, {}};
  if (std::string b = after.read(relist.out); !b.empty()) return "listing after rewrite: " + b;
  if (after.lines.size() != listing.lines.size()) return "rewrite changed the listing's units";
  std::vector<bool> rate_line(listing.lines.size(), false);
  for (const Listed& u : listing.units)
    if (u.rate != RateLayout::None) rate_line[u.rate_line] = true;
  for (size_t i = 0; i < listing.lines.size(); ++i)
    if (!rate_line[i] && after.lines[i] != listing.lines[i])
      return "rewrite changed listing line " + std::to_string(i + 1);

  PassOutput second =
      pass_on_file(RunMode::Rewrite, bitrate, window_size, original.size(), walk, true);
  if (second.failure != Failure::None) return "second rewrite pass failed";
  if (contents() != rewritten) return "a second rewrite changed the file again";
  if (second.out != first.out) return "a second rewrite reported other progress";

  // Where the windows fall must not matter, save for the stream table of a
  // system header too long for the window to hold whole.
  if (window_size != kWindowSize) {
    load(original);
    PassOutput whole = pass_on_file(RunMode::Dump, 0, kWindowSize, original.size(), walk);
    if (whole.failure != Failure::None) return "listing pass failed in a 1 MiB window";
    Listing big{original, kWindowSize, walk, {}, {}};
    if (std::string b = big.read(whole.out); !b.empty()) return "listing in a 1 MiB window: " + b;
    bool too_long = false;
    for (const Listed& u : big.units) too_long |= u.kind == Kind::System && u.length >= window_size;
    if (too_long ? without_entries(big.lines) != without_entries(listing.lines)
                 : whole.out != dump.out)
      return "listing depends on the window size";
    if (pass_on_file(RunMode::Rewrite, bitrate, kWindowSize, original.size(), walk).failure !=
        Failure::None)
      return "rewrite pass failed in a 1 MiB window";
    if (contents() != rewritten) return "rewrite depends on the window size";
  }
  return "";
}

// The --check walk and both of its reports, through a window of window_size bytes.
struct AuditOutput {
  Failure failure;
  Measurement measurement;
  std::string text;
};

// `streams`: with the census of the elementary streams and their decoder
// buffers, which need every PES packet whole in the window; without them, the
// rate audit alone. `threaded`: the buffers played on the second thread, the
// window moving between two buffers.
AuditOutput audit_file(size_t window_size, size_t length, bool streams = true,
                       bool threaded = false) {
  static PstdModel buffers;
  pstd_reset(buffers);
  std::string captured;
  OutBuffer& out = capture_into(captured);
  std::span<uint8_t> window = window_buffer(window_size, length);
  std::vector<uint8_t> spare0(threaded ? window.size() : 0), spare1(spare0.size());
  ByteSource source = memory_source(memory());
  AuditOutput a{};
  a.failure = measure_stream(source, window, a.measurement, streams ? &buffers : nullptr,
                             {std::span<uint8_t>(spare0), std::span<uint8_t>(spare1)});
  if (!streams) a.measurement.census = StreamCensus{};
  Verdict verdict = judge(a.measurement);
  if (streams) judge_buffers(buffers, a.measurement, verdict);
  put_report(out, "in.mpg", a.measurement, verdict);
  put_json_report(out, "in.mpg", a.measurement, verdict);
  flush(out);
  out.capture = nullptr;
  a.text = std::move(captured);
  return a;
}

// The audit reads the file once and never writes it; its counts are those of
// the --resync --past-end walk; the same bytes give the same report in any window.
std::string check_audit(const Bytes& original, size_t window_size) {
  load(original);
  AuditOutput a = audit_file(window_size, original.size());
  if (a.failure != Failure::None) return "audit pass failed";
  if (contents() != original) return "the audit changed the file";
  Listing walk{original, window_size, Walk{true, true}, {}, {}};
  uint64_t packs = 0, skipped = 0, skipped_bytes = 0, ends = 0;
  for (const auto& step : walk.model_walk()) {
    if (step.skipped) {
      ++skipped;
      skipped_bytes += step.length;
    } else if (walk.u32(step.offset) == 0x1BA) {
      ++packs;
    } else if (walk.u32(step.offset) == 0x1B9) {
      ++ends;
    }
  }
  const Measurement& m = a.measurement;
  if (m.packs != packs || m.skipped_ranges != skipped || m.skipped_bytes != skipped_bytes ||
      m.end_codes != ends)
    return "audit counts differ from the walk's";
  if (m.pairs != (packs > 0 ? packs - 1 : 0) || m.continuous + m.discontinuities != m.pairs)
    return "audit pairs do not add up";
  AuditOutput again = audit_file(window_size, original.size(), true, true);
  if (again.text != a.text) return "the decoder buffers on a second thread gave another report";
  // A window that holds every PES packet whole gives the same report as any
  // other; a smaller one (the tests' small windows) the same rate audit.
  bool whole = window_size >= kWholePacketWindow;
  if (window_size != kWindowSize &&
      audit_file(kWindowSize, original.size(), whole).text !=
          (whole ? a.text : audit_file(window_size, original.size(), false).text))
    return "audit depends on the window size";
  return "";
}

// The BITRATE grammar, told apart on its own: a regular expression for the
// form, decimal arithmetic on the digits for the value.
std::string check_bitrate_text(const std::string& text) {
  static const std::regex form(
      "^[ \\t\\n\\v\\f\\r]*\\+?([0-9]+)(?:(?:\\.([0-9]+))?([kKM]))?"
      "(?:[bB][iI][tT][sS]?|[bB][iI][tT]/[sS]|[bB][pP][sS]|[bB]/[sS])?[ \\t\\n\\v\\f\\r]*$");
  std::smatch m;
  bool accepted = std::regex_match(text, m, form);
  uint64_t value = 0;
  if (accepted) {
    std::string whole = m[1].str();
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    size_t places = !m[3].matched ? 0 : m[3].str() == "M" ? 6 : 3;
    std::string fraction = (m[2].str() + "000000").substr(0, places);
    if (whole.size() > 13) {
      accepted = false;  // far above the limit
    } else {
      for (char c : whole + std::string(places, '0')) value = value * 10 + uint64_t(c - '0');
      for (size_t i = 0; i < places; ++i)
        value += uint64_t(fraction[i] - '0') * uint64_t(std::pow(10, places - 1 - i));
      accepted = value >= 400 && value < (uint64_t(1) << 22) * 400;
    }
  }
  uint32_t parsed = 0;
  BitrateError error = parse_bitrate(text.c_str(), parsed);
  if ((error == BitrateError::None) != accepted)
    return "bitrate '" + text + (accepted ? "' refused" : "' accepted");
  if (accepted && parsed != value) return "bitrate '" + text + "' read as another value";
  return "";
}

// The elementary stream parsers at every offset of the input's first bytes, each
// on the bytes from there to the end only: what they find must be in range.
std::string check_es_parsers(const uint8_t* data, size_t size) {
  for (size_t at = 0; at < std::min<size_t>(size, 2048); ++at) {
    std::span<const uint8_t> b(data + at, size - at);
    PesHeader h = parse_pes_header(b);
    if (h.valid && (h.payload > b.size() || h.payload < 7 || h.pts >> 33 || h.dts >> 33))
      return "PES header read out of range at " + std::to_string(at);
    SubStream sub;
    if (parse_sub_stream(b, sub) && sub.header > b.size()) return "sub-stream header too long";
    VideoParams v;
    if (parse_sequence_header(b, v)) {
      parse_sequence_extension(b.subspan(std::min<size_t>(b.size(), 12)), v);
      if (v.width >= 1u << 14 || v.height >= 1u << 14) return "video size out of range";
    }
    MpegAudioFrame a;
    if (parse_mpeg_audio_header(b, a) && (a.sample_rate < 8000 || a.channels == 0))
      return "MPEG audio header out of range";
    Ac3Frame c;
    if (parse_ac3_header(b, c) && (c.length < 128 || c.length > 3840)) return "AC-3 frame length";
    DtsFrame d;
    if (parse_dts_header(b, d) && (d.length < 96 || d.samples < 192)) return "DTS frame";
  }
  return "";
}

// The census of elementary streams over the --resync --past-end walk, every PES
// packet whole as far as the window holds it: no stream's payload exceeds its bytes.
std::string check_census(const Bytes& original, size_t window_size) {
  static StreamCensus census;
  census = StreamCensus{};
  load(original);
  CensusWalk consumer{&census};
  if (walk(memory_source(memory()), Walk{true, true}, window_buffer(window_size, original.size()),
           consumer) != Failure::None)
    return "census walk failed";
  for (const auto* table : {&census.ids, &census.subs})
    for (const StreamCount& s : *table)
      if (s.payload_bytes > s.bytes || s.tail_size > kHeaderTail)
        return "census counts out of range";
  return "";
}

// The access units of the input's bytes taken as one elementary stream of each
// kind: the same marks whether the bytes come whole or in pieces of 1 or 7,
// each within the bytes and in order.
template <typename Scanner, typename Scan>
std::string marks_of(const Bytes& bytes, size_t piece, Scanner s, Scan scan,
                     std::vector<AuMark>& all) {
  for (size_t at = 0; at < bytes.size();) {
    AuMarks marks;
    size_t n = std::min(piece, bytes.size() - at);
    size_t taken = scan(s, std::span<const uint8_t>(bytes.data() + at, n), marks);
    if (taken == 0 && marks.count == 0) return "a scan took nothing";
    all.insert(all.end(), marks.mark.begin(), marks.mark.begin() + long(marks.count));
    at += taken;
  }
  uint64_t last = 0;
  for (const AuMark& m : all) {
    uint64_t pos = m.kind == AuMark::Commence ? m.pos : m.end;
    if (pos < last || (m.kind == AuMark::Commence && pos >= bytes.size()) ||
        (m.kind == AuMark::End && pos > bytes.size() + 4))
      return "access units out of order or out of the bytes";
    last = m.kind == AuMark::Commence ? pos : last;
  }
  return "";
}

bool same_marks(const std::vector<AuMark>& a, const std::vector<AuMark>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].kind != b[i].kind || a[i].pos != b[i].pos || a[i].end != b[i].end ||
        a[i].picture.type != b[i].picture.type)
      return false;
  return true;
}

template <typename Scanner, typename Scan>
std::string check_scanner(const Bytes& bytes, Scanner s, Scan scan) {
  std::vector<AuMark> whole, ones, sevens;
  for (auto [piece, marks] : {std::pair{bytes.size() + 1, &whole}, std::pair{size_t(1), &ones},
                              std::pair{size_t(7), &sevens}})
    if (std::string b = marks_of(bytes, piece, s, scan, *marks); !b.empty()) return b;
  if (!same_marks(whole, ones) || !same_marks(whole, sevens))
    return "access units depend on how the bytes are split";
  return "";
}

std::string check_access_units(const Bytes& bytes) {
  auto video = [](VideoScanner& s, std::span<const uint8_t> b, AuMarks& m) {
    return scan_video(s, b, m);
  };
  if (std::string b = check_scanner(bytes, VideoScanner{}, video); !b.empty()) return "video " + b;
  for (FrameCodec codec : {FrameCodec::MpegAudio, FrameCodec::Ac3, FrameCodec::Dts}) {
    FrameScanner s;
    s.codec = codec;
    auto frames = [](FrameScanner& f, std::span<const uint8_t> b, AuMarks& m) {
      return scan_frames(f, b, m);
    };
    if (std::string b = check_scanner(bytes, s, frames); !b.empty()) return "audio " + b;
  }
  return "";
}

// Bitrate text from the input's bytes, in the grammar's own alphabet.
std::string bitrate_text(const uint8_t* data, size_t size) {
  static constexpr std::string_view kAlphabet = "0123456789.kKMmbBpPsSiItT/ +-\t9";
  std::string text;
  for (size_t i = 0; i < size && i < 14; ++i) text += kAlphabet[data[i] % kAlphabet.size()];
  return text;
}

}  // namespace

std::string check_input(const uint8_t* data, size_t size, size_t window_size) {
  const uint32_t bitrate = input_bitrate(data, size);
  // the bitrate goes through the program's own argument parser
  char arg[16];
  std::snprintf(arg, sizeof arg, "%u", bitrate);
  uint32_t parsed = 0;
  if (parse_bitrate(arg, parsed) != BitrateError::None || parsed != bitrate)
    return "bitrate " + std::string(arg) + " refused";
  for (size_t at = 0; at < std::min<size_t>(size, 64); at += 16)
    if (std::string b = check_bitrate_text(bitrate_text(data + at, size - at)); !b.empty())
      return b;
  if (std::string b = check_es_parsers(data, size); !b.empty()) return b;
  const size_t skip = std::min(size, kBitrateBytes);
  const Bytes original(data + skip, data + size);

  // the default walk, then each of the options and both together
  for (Walk walk : {Walk{false, false}, Walk{true, false}, Walk{false, true}, Walk{true, true}}) {
    std::string breach = check_walk(original, bitrate, window_size, walk);
    if (!breach.empty())
      return std::string(walk.resync ? "--resync " : "") + (walk.past_end ? "--past-end " : "") +
             breach;
  }
  if (std::string breach = check_audit(original, window_size); !breach.empty())
    return "--check " + breach;
  if (std::string breach = check_census(original, window_size); !breach.empty()) return breach;
  if (std::string breach = check_access_units(original); !breach.empty()) return breach;
  return "";
}

}  // namespace psrate::fuzz
