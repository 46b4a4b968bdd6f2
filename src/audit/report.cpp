// SPDX-License-Identifier: MIT
#include "audit/report.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "audit/streams.hpp"
#include "io/joined_source.hpp"
#include "text/offsets.hpp"

namespace psrate {
namespace {

// The files of a joined stream whose report is being written, or nullptr.
const JoinedFiles* g_parts = nullptr;

// An offset of the stream, and in a joined stream also the file that holds it
// and the offset there: "0x4001a000 (1073848320; VTS_01_2.VOB+0x0001a000)".
std::string where(uint64_t offset) {
  if (g_parts == nullptr) return offset_text(offset);
  PartOffset at = locate(*g_parts, offset);
  return hex_offset(offset) + " (" + std::to_string(offset) + "; " + g_parts->parts[at.part].path +
         "+" + hex_offset(at.offset) + ")";
}

std::string dec(uint64_t v) { return std::to_string(v); }

std::string bits(uint64_t rate_units) { return dec(rate_units * kBitsPerRateUnit); }

// Milliseconds as seconds with 3 decimals.
std::string seconds(uint64_t ms) {
  std::string frac = dec(ms % 1000);
  return dec(ms / 1000) + "." + std::string(3 - frac.size(), '0') + frac;
}

// A share of the file in percent with one decimal, rounded.
std::string percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return "0.0%";
  uint64_t tenths = uint64_t((Wide(part) * 2000 + whole) / (Wide(2) * whole));
  return dec(tenths / 10) + "." + dec(tenths % 10) + "%";
}

const char* plural(uint64_t n, const char* one, const char* many) { return n == 1 ? one : many; }

}  // namespace

std::string posix_shell_word(std::string_view s) {
  bool plain = !s.empty();
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          std::string_view("_./+-=:,@%").find(c) != std::string_view::npos))
      plain = false;
  if (plain) return std::string(s);
  std::string w = "'";
  for (char c : s) {
    if (c == '\'')
      w += "'\\''";
    else
      w += c;
  }
  return w + "'";
}

std::string windows_shell_word(std::string_view s) {
  bool quote = s.empty() || s.find_first_of(" \t&|<>^%()") != std::string_view::npos;
  if (!quote) return std::string(s);
  std::string w(1, '"');
  w.append(s);
  w.push_back('"');
  return w;
}

namespace {

// The file name as the shell of this system reads it.
std::string shell_word(std::string_view s) {
#ifdef _WIN32
  return windows_shell_word(s);
#else
  return posix_shell_word(s);
#endif
}

std::string field_range(uint32_t low, uint32_t high) {
  return bits(low) + (low == high ? "" : " to " + bits(high)) + " bit/s";
}

std::string below_needed_message(const Measurement& m, const Verdict& v) {
  std::string packs = dec(v.packs_below) + plural(v.packs_below, " pack begins", " packs begin") +
                      " a stretch that is delivered too fast";
  if (v.judged_at_limit && v.row)
    return "The SCRs deliver bytes faster than program_mux_rate says, even with their need "
           "capped at the " +
           std::string(v.row->name) + " limit of " + dec(v.row->rate_limit) +
           " bit/s: the fields hold " + field_range(m.mux_min, m.mux_max) + ", and " + packs + ".";
  return "The SCRs deliver bytes faster than program_mux_rate says: they need up to " +
         dec(v.needed_rate) + " bit/s (first from the pack at " + where(m.needed_at) +
         "), the fields hold " + field_range(m.mux_min, m.mux_max) + ", and " + packs + ".";
}

// How far above the limit, in percent to two decimals, rounded; at least 0.01%.
std::string excess(uint64_t rate, uint64_t limit) {
  uint64_t hundredths = uint64_t((Wide(rate - limit) * 20000 + limit) / (Wide(2) * limit));
  hundredths = std::max<uint64_t>(hundredths, 1);
  std::string frac = dec(hundredths % 100);
  return dec(hundredths / 100) + "." + std::string(2 - frac.size(), '0') + frac + "%";
}

std::string scr_above_message(const Measurement& m, const Verdict& v) {
  const ProfileRow& row = *v.row;
  uint64_t packs = m.packs_above_limit[size_t(v.row - kProfileRows.data())];
  std::string head = "The SCRs need " + dec(v.needed_rate) + " bit/s, " +
                     excess(v.needed_rate, row.rate_limit) + " above the " + std::string(row.name) +
                     " limit of " + dec(row.rate_limit) + " bit/s (" + dec(packs) +
                     plural(packs, " pack begins", " packs begin") + " a stretch above it)";
  if (v.judged_at_limit)
    return head +
           ": the muxer's clock runs slightly fast. The rate fields are judged against the "
           "limit; only a remux makes the timing exact.";
  std::string fit = v.remedy[size_t(Finding::ScrAboveProfile)] == Remedy::Remux
                        ? "within 98% of the limit: a new multiplex at " + dec(row.standard_rate) +
                              " bit/s carries them"
                        : "above 98% of the limit: they must be encoded again at lower rates";
  return head + ": no rate field changes that. The elementary streams average " +
         dec(v.streams_rate) + " bit/s, " + fit + ".";
}

std::string video_outside_message(const Measurement& m, const Verdict& v) {
  uint8_t id = 0;
  video_outside(m, *v.row, id);
  const StreamCount& s = m.census.ids[id];
  StreamRef ref{id, false, 0, &s};
  std::string why;
  auto add = [&why](bool outside, const std::string& what) {
    if (outside) why += (why.empty() ? "" : ", ") + what;
  };
  const ProfileRow& row = *v.row;
  add(s.video.mpeg2 ? !row.mpeg2_video : !row.mpeg1_video, "its MPEG version");
  uint64_t declared = declared_bit_rate(s.video);
  add(declared > row.max_video_rate,
      "its declared rate (the profile allows " + dec(row.max_video_rate) + " bit/s)");
  VideoParams sized = s.video;
  sized.mpeg2 = row.mpeg2_video;
  sized.bit_rate_value = 0;
  sized.bit_rate_extension = 0;
  add(!video_fits(row, sized), "its picture size at its frame rate");
  return "Video stream " + stream_name(ref) + " is " + stream_description(ref) + ", outside the " +
         std::string(row.name) + " profile in " + why + ": only a new encoding fits it.";
}

std::string bound_below_message(const Measurement& m, const Verdict& v) {
  std::string list;
  for (size_t id = 0; id < m.streams.size(); ++id) {
    uint32_t size = profile_buffer(*v.row, uint8_t(id));
    if (m.streams[id].packets == 0 || size == 0 || !m.bound_seen[id] || m.bound_min[id] >= size)
      continue;
    list += (list.empty() ? "" : ", ") + std::string{"0123456789abcdef"[id >> 4]} +
            "0123456789abcdef"[id & 15] + " " + dec(m.bound_min[id]) + " bytes (the profile's " +
            dec(size) + ")";
  }
  return "The system headers bound the decoder buffers of streams below the " +
         std::string(v.row->name) + " sizes: " + list +
         ". A player that trusts the bounds may refuse the stream; " +
         std::string(v.remedy[size_t(Finding::BufferBoundBelowProfile)] == Remedy::Rewrite
                         ? "every buffer peaks within the profile's sizes, so psrate --fix "
                           "sets the profile's bounds."
                         : "a new multiplex writes the profile's bounds.");
}

// The first buffer (in segment and stream order) that a finding concerns.
const BufferResult* first_buffer(const Verdict& v, Finding f) {
  if (v.buffers == nullptr) return nullptr;
  for (size_t i = 0; i < v.buffers->result_count; ++i) {
    const BufferResult& r = v.buffers->results[i];
    if (!r.modelled) continue;
    bool hit = f == Finding::BufferOverflow      ? r.figures.overflows > 0
               : f == Finding::BufferUnderflow   ? r.underflows.count > r.underflows.permitted
               : f == Finding::TimestampMismatch ? r.counts.timestamp_mismatches > 0
               : f == Finding::PointerMismatch   ? r.counts.pointer_mismatches > 0
                                                 : r.counts.timestamps_ignored > 0;
    if (hit) return &r;
  }
  return nullptr;
}

std::string buffer_name(const BufferResult& r) {
  StreamRef ref{r.id, r.is_sub, r.sub, nullptr};
  return stream_name(ref) + (r.segment > 0 ? " (segment " + dec(r.segment) + ")" : "");
}

// Each stream with late units: how many, the first, and the latest.
std::string underflow_message(const PstdModel& p) {
  std::string streams;
  for (size_t i = 0; i < p.result_count; ++i) {
    const BufferResult& r = p.results[i];
    uint64_t late = r.underflows.count - r.underflows.permitted;
    if (!r.modelled || late == 0) continue;
    streams += (streams.empty() ? "" : "; ") + std::string("stream ") + buffer_name(r) + ", " +
               dec(late) + plural(late, " unit", " units") + " from " +
               where(r.underflows.first_offset) + ", up to " +
               dec(uint64_t(floor_ticks(r.underflows.max_lateness)) / 27000) + " ms late";
  }
  return "Access units arrive after their decoding time: " + streams +
         ". A decoder stalls or skips them.";
}

std::string buffer_message(Finding f, const Verdict& v) {
  if (v.buffers == nullptr) return "The decoder buffers were not checked.";
  if (f == Finding::BoundBelowBufferSize)
    return "A PES packet's P-STD_buffer_size (first at " + where(v.buffers->above_bound_first) +
           ") is above its stream's bound in the system header: a decoder that sizes its "
           "buffers by the bounds is short.";
  const BufferResult* r = first_buffer(v, f);
  if (r == nullptr) return "The decoder buffers: no such stream.";
  std::string name = "stream " + buffer_name(*r);
  switch (f) {
    case Finding::BufferOverflow:
      return "The buffer of " + name + " overflows its " + dec(r->size) + " bytes " +
             dec(r->figures.overflows) + plural(r->figures.overflows, " time", " times") +
             ", first at " + where(r->figures.first_overflow_offset) + ", by up to " +
             dec(r->figures.max_excess) + " bytes: a decoder of that size loses data.";
    case Finding::BufferUnderflow: return underflow_message(*v.buffers);
    case Finding::TimestampMismatch:
      return dec(r->counts.timestamp_mismatches) + " timestamps of " + name +
             " differ by 300 ticks or more from the decoding times the units before them give.";
    case Finding::PointerMismatch:
      return dec(r->counts.pointer_mismatches) + " packets of " + name +
             " have a first_access_unit_pointer or number_of_frame_headers that does not match "
             "the units that begin in them.";
    default:
      return dec(r->counts.timestamps_ignored) + " timestamps of " + name +
             " are on packets where no access unit begins: they are ignored.";
  }
}

}  // namespace

std::string finding_message(Finding f, const Measurement& m, const Verdict& v) {
  bool profile_finding = f == Finding::MuxRateAboveProfile || f == Finding::ScrAboveProfile ||
                         f == Finding::VideoOutsideProfile || f == Finding::BufferBoundBelowProfile;
  if (profile_finding && v.row == nullptr) return "The stream has no profile to be judged by.";
  switch (f) {
    case Finding::NoPackHeader:
      return "No pack header was found: this is not an MPEG program stream, or its pack headers "
             "are lost.";
    case Finding::MuxRateZero:
      return dec(m.mux_zero) + plural(m.mux_zero, " pack header has", " pack headers have") +
             " program_mux_rate 0, which is forbidden.";
    case Finding::MuxRateBelowNeeded: return below_needed_message(m, v);
    case Finding::RateBoundBelowMuxRate:
      return "The smallest rate_bound, " + bits(m.rate_bound_min) +
             " bit/s, is below the largest program_mux_rate, " + bits(m.mux_max) +
             " bit/s: rate_bound must be at least the rate of every pack.";
    case Finding::MuxRateAboveProfile:
      return "The rate fields reach " + dec(v.largest_field) + " bit/s, above the " +
             std::string(v.row->name) + " limit of " + dec(v.row->rate_limit) + " bit/s.";
    case Finding::ScrAboveProfile: return scr_above_message(m, v);
    case Finding::VideoOutsideProfile: return video_outside_message(m, v);
    case Finding::Damaged:
      return dec(m.skipped_bytes) + plural(m.skipped_bytes, " byte", " bytes") + " in " +
             dec(m.skipped_ranges) + plural(m.skipped_ranges, " range", " ranges") +
             " (the first at " + where(m.first_skipped) +
             ") are not units: they were stepped over to the next pack header.";
    case Finding::DataAfterEndCode:
      return "Units follow the end code at " + where(m.first_end_code) + " (" +
             dec(m.file_size - m.first_end_code - kStartCodeBytes) +
             " bytes after it): a run without --past-end stops there.";
    case Finding::Truncated:
      return "The file ends inside the unit at " + where(m.truncated_at) + ": it has been cut.";
    case Finding::ScrDiscontinuity:
      return dec(m.discontinuities) + " of " + dec(m.pairs) +
             " pairs of packs are not continuous (the SCR restarts, jumps by more than 0.7 s or "
             "stands still, or damage or an end code lies between them): the timing leaves "
             "them out.";
    case Finding::MuxRateVaries:
      return "program_mux_rate varies from " + bits(m.mux_min) + " to " + bits(m.mux_max) +
             " bit/s.";
    case Finding::DurationMismatch:
      return "A player that divides the file size by the first program_mux_rate shows " +
             seconds(v.player_duration_ms) + " s, the SCRs span " + seconds(v.duration_ms) +
             " s: the stream averages " + dec(v.average_rate) + " bit/s against the field's " +
             bits(m.first_mux) +
             " (a variable-rate stream averages below its field), and setting the rate fields "
             "does not change this.";
    case Finding::BufferBoundBelowProfile: return bound_below_message(m, v);
    case Finding::BufferOverflow:
    case Finding::BufferUnderflow:
    case Finding::BoundBelowBufferSize:
    case Finding::TimestampMismatch:
    case Finding::TimestampsIgnored:
    case Finding::PointerMismatch: return buffer_message(f, v);
  }
  return "";
}

std::string fix_command(std::string_view path, const Verdict& v) {
  std::string c = "psrate ";
  if (v.fix_resync) c += "--resync ";
  if (v.fix_past_end) c += "--past-end ";
  if (!path.empty() && path[0] == '-') c += "-- ";  // a name that reads as an option
  return c + shell_word(path) + " " + dec(v.suggested_rate);
}

namespace {

// A file name that begins with '-' reads as an option to ffmpeg: "./" before it.
std::string not_an_option(std::string_view path) {
  return (!path.empty() && path[0] == '-' ? "./" : "") + std::string(path);
}

}  // namespace

std::string remux_command(std::string_view path, const ProfileRow& row) {
  std::string_view stem = g_parts ? std::string_view(g_parts->parts[0].path) : path;
  size_t dot = stem.rfind('.'), slash = stem.find_last_of("/\\");
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash))
    stem = stem.substr(0, dot);
  // a joined stream is read by ffmpeg's concat protocol, its parts in order
  std::string input = not_an_option(path);
  if (g_parts != nullptr) {
    input = "concat:";
    for (size_t i = 0; i < g_parts->parts.size(); ++i) {
      if (i > 0) input += '|';
      input += g_parts->parts[i].path;
    }
  }
  std::string c = "ffmpeg -i " + shell_word(input) + " -map 0";
  if (row.name == "dvd") c += " -map -0:d";  // the dvd muxer writes its own navigation packs
  c += " -c copy -f " + std::string(row.name) + " -muxrate " + dec(row.standard_rate);
  if (row.name != "dvd") c += " -packetsize " + dec(row.pack_size);
  return c + " " + shell_word(not_an_option(std::string(stem) + "-remux.mpg"));
}

// "psrate --fix FILE", or with --join and every part.
std::string fix_command_for(std::string_view path) {
  std::string c = g_parts ? "psrate --fix --join " : "psrate --fix ";
  bool option_like = false;
  if (g_parts == nullptr) {
    option_like = !path.empty() && path[0] == '-';
  } else {
    for (const JoinedPart& p : g_parts->parts)
      option_like = option_like || (!p.path.empty() && p.path[0] == '-');
  }
  if (option_like) c += "-- ";
  if (g_parts == nullptr) return c + shell_word(path);
  for (size_t i = 0; i < g_parts->parts.size(); ++i) {
    if (i > 0) c += ' ';
    c += shell_word(g_parts->parts[i].path);
  }
  return c;
}

std::string verdict_command(std::string_view path, const Verdict& v) {
  switch (v.remedy_needed) {
    case Remedy::Rewrite: return fix_command_for(path);
    case Remedy::Remux:
      return v.row ? remux_command(path, *v.row)
                   : "mplex, or ffmpeg -c copy, from the demuxed elementary streams";
    case Remedy::Reencode: break;
    case Remedy::None:
      if (v.repairs) return fix_command_for(path);  // the buffer bounds alone
      break;
  }
  return "";
}

// --- the screen ---

namespace {

constexpr size_t kLabelWidth = 19;
constexpr size_t kTextWidth = 80;

constexpr std::string_view kRemuxAside =
    "(mplex, from the demuxed elementary streams, is the exact alternative: a remux with "
    "ffmpeg keeps ffmpeg's timing and bounds, so their notes stay.)";

void label(OutBuffer& out, std::string_view name) {
  put(out, name);
  for (size_t i = name.size(); i < kLabelWidth; ++i) put_char(out, ' ');
}

// Words of `text` on lines of at most 80 columns, the first beginning at
// `column` (where the output stands), the others indented by `indent`.
void put_wrapped(OutBuffer& out, std::string_view text, size_t indent, size_t column = 0) {
  bool line_start = true;
  for (; column < indent; ++column) put_char(out, ' ');
  while (!text.empty()) {
    size_t end = text.find(' ');
    std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line_start && column + 1 + word.size() > kTextWidth) {
      put_char(out, '\n');
      for (column = 0; column < indent; ++column) put_char(out, ' ');
      line_start = true;
    }
    if (!line_start) {
      put_char(out, ' ');
      ++column;
    }
    put(out, word);
    column += word.size();
    line_start = false;
  }
  put_char(out, '\n');
}

// "name               value", the value's words wrapped under its first column.
void line(OutBuffer& out, std::string_view name, const std::string& value) {
  label(out, name);
  put_wrapped(out, value, kLabelWidth, kLabelWidth);
}

void put_findings(OutBuffer& out, const Measurement& m, const Verdict& v, Severity severity,
                  std::string_view heading) {
  bool any = false;
  for (const FindingClass& c : kFindingClasses) {
    size_t f = size_t(c.finding);
    if (v.severity[f] != severity || !v.found[f]) continue;
    if (!any) {
      put(out, heading);
      put_char(out, '\n');
    }
    any = true;
    put(out, "  ");
    put(out, c.code);
    if (v.remedy[f] != Remedy::None) {
      put(out, " (remedy: ");
      put(out, remedy_name(v.remedy[f]));
      put_char(out, ')');
    }
    put_char(out, '\n');
    put_wrapped(out, finding_message(c.finding, m, v), 4);
  }
}

uint64_t pack_size_count(const Measurement& m, uint64_t size) {
  for (size_t i = 0; i < m.pack_sizes.used; ++i)
    if (m.pack_sizes.value[i] == size) return m.pack_sizes.count[i];
  return 0;
}

// What the file holds: packs, streams, end codes, damage.
void put_layout(OutBuffer& out, std::string_view path, const Measurement& m, const Verdict& v) {
  label(out, "file");  // a file name is not wrapped: it is shown as given
  put(out, path);
  put_char(out, '\n');
  if (g_parts != nullptr) {
    for (const JoinedPart& p : g_parts->parts) {
      label(out, "  part");
      put(out, p.path + ", " + dec(p.size) + " bytes at " + hex_offset(p.start) + "\n");
    }
  }
  line(out, "size", dec(m.file_size) + " bytes");
  line(out, "profile", std::string(profile_name(v.profile)));
  std::string packs =
      dec(m.packs) + " (MPEG-2 " + dec(m.mpeg2_packs) + ", MPEG-1 " + dec(m.mpeg1_packs) + ")";
  if (v.has_pack_size) {
    uint64_t others = m.unbroken_pairs - pack_size_count(m, v.pack_size);
    packs += ", " + dec(v.pack_size) + " bytes each";
    if (others > 0) packs += " but " + dec(others) + " of " + dec(m.unbroken_pairs) + " pairs";
  }
  line(out, "packs", packs);
  line(out, "system headers", dec(m.system_headers));
  for (size_t id = 0; id < m.streams.size(); ++id) {
    const StreamTally& t = m.streams[id];
    if (t.packets == 0) continue;
    char name[] = "stream xx";
    name[7] = "0123456789abcdef"[id >> 4];
    name[8] = "0123456789abcdef"[id & 15];
    line(out, name,
         dec(t.packets) + plural(t.packets, " packet, ", " packets, ") + dec(t.bytes) + " bytes, " +
             percent(t.bytes, m.file_size) + " (" +
             std::string(id_class(0x100u | uint32_t(id)).name) + ")");
  }
  if (m.end_codes == 0)
    line(out, "end codes", "none");
  else
    line(out, "end codes",
         dec(m.end_codes) + ", the first at " + where(m.first_end_code) + ", " +
             dec(m.file_size - m.first_end_code - kStartCodeBytes) + " bytes after it");
  if (m.skipped_ranges == 0)
    line(out, "skipped", "none");
  else
    line(out, "skipped",
         dec(m.skipped_bytes) + " bytes in " + dec(m.skipped_ranges) +
             plural(m.skipped_ranges, " range", " ranges") + ", the first at " +
             where(m.first_skipped));
  line(out, "zero stuffing", dec(m.zero_stuffing) + " bytes");
  line(out, "truncated", m.truncated ? "at " + where(m.truncated_at) : std::string("no"));
}

// The rate fields against the SCRs.
void put_rates(OutBuffer& out, const Measurement& m, const Verdict& v) {
  if (m.packs == 0) {
    line(out, "program_mux_rate", "none");
  } else {
    std::string rates = m.mux_min == m.mux_max
                            ? bits(m.mux_min) + " bit/s"
                            : bits(m.mux_min) + " to " + bits(m.mux_max) + " bit/s";
    if (m.mux_zero > 0)
      rates += ", 0 in " + dec(m.mux_zero) + plural(m.mux_zero, " pack", " packs");
    line(out, "program_mux_rate", rates);
  }
  if (m.rate_bounds == 0)
    line(out, "rate_bound", "none");
  else
    line(out, "rate_bound",
         m.rate_bound_min == m.rate_bound_max
             ? bits(m.rate_bound_min) + " bit/s"
             : bits(m.rate_bound_min) + " to " + bits(m.rate_bound_max) + " bit/s");
  std::string duration = seconds(v.duration_ms) + " s";
  if (v.presentation.known) {
    StreamRef ref{v.presentation.id, v.presentation.is_sub, v.presentation.sub, nullptr};
    duration +=
        " (presentation " + seconds(v.presentation.ms) + " s, stream " + stream_name(ref) + ")";
  }
  line(out, "SCR duration", duration);
  line(out, "SCR pairs",
       dec(m.pairs) + ": " + dec(m.continuous) + " continuous, " + dec(m.discontinuities) +
           plural(m.discontinuities, " discontinuity", " discontinuities"));
  line(out, "average rate", v.has_timing ? dec(v.average_rate) + " bit/s" : std::string("none"));
  line(out, "needed rate",
       v.has_timing
           ? dec(v.needed_rate) + " bit/s, first from the pack at " + where(m.needed_at) + "; " +
                 dec(v.packs_below) + plural(v.packs_below, " pack", " packs") +
                 (v.judged_at_limit && v.row ? " below it or the " + std::string(v.row->name) +
                                                   " limit, whichever is lower"
                                             : std::string(" below it"))
           : std::string("none"));
  line(out, "player duration",
       v.has_player_duration
           ? seconds(v.player_duration_ms) + " s (size / the first program_mux_rate)"
           : std::string("none"));
}

// One line per elementary stream: what it is and its average rate.
void put_streams(OutBuffer& out, const Measurement& m) {
  bool any = false;
  for_each_stream(m, [&](const StreamRef& r) {
    if (!any) put(out, "\nStreams:\n");
    any = true;
    std::string name = stream_name(r);
    put(out, "  ");
    put(out, name);
    for (size_t i = name.size(); i < 7; ++i) put_char(out, ' ');
    std::string text = stream_description(r);
    uint64_t rate = 0;
    if (stream_rate(m, *r.count, rate)) text += ", avg " + rate_words(rate);
    put_wrapped(out, text, 9, 9);
  });
}

std::string kind_word(BufferKind k) {
  switch (k) {
    case BufferKind::Video: return "video";
    case BufferKind::MpegAudio: return "MPEG audio";
    case BufferKind::Ac3: return "AC-3";
    case BufferKind::Dts: return "DTS";
    case BufferKind::Lpcm: return "LPCM";
    case BufferKind::Subpicture: return "subpictures";
  }
  return "";
}

// A share to two decimals: "99.98%".
std::string percent2(uint64_t part, uint64_t whole) {
  uint64_t hundredths = uint64_t((Wide(part) * 20000 + whole) / (Wide(2) * whole));
  std::string frac = dec(hundredths % 100);
  return dec(hundredths / 100) + "." + std::string(2 - frac.size(), '0') + frac + "%";
}

// Bytes with thousands set apart: "235,475".
std::string grouped(uint64_t v) {
  std::string d = dec(v), t;
  for (size_t i = 0; i < d.size(); ++i) {
    if (i > 0 && (d.size() - i) % 3 == 0) t += ',';
    t += d[i];
  }
  return t;
}

// "video  peak 235,475 of 235,520 (99.98%)  no overflow, no underflow"
std::string buffer_line(const BufferResult& r) {
  if (!r.modelled) return std::string("not modelled: ") + std::string(r.reason);
  std::string t = kind_word(r.kind) + "  peak " + grouped(r.figures.peak);
  if (r.size > 0)
    t += " of " + grouped(r.size) + " (" + percent2(r.figures.peak, r.size) + ")";
  else
    t += ", size unknown";
  t += "  ";
  t += r.figures.overflows == 0
           ? std::string("no overflow")
           : dec(r.figures.overflows) + plural(r.figures.overflows, " overflow", " overflows");
  uint64_t late = r.underflows.count - r.underflows.permitted;
  t += ", " + (late == 0 ? std::string("no underflow")
                         : dec(late) + plural(late, " underflow", " underflows"));
  if (r.stopped) t += "; checking stopped";
  return t;
}

// One line per buffer and segment: its peak, overflows and underflows.
void put_buffers(OutBuffer& out, const Verdict& v) {
  if (v.buffers == nullptr || v.buffers->result_count == 0) return;
  put(out, "\nBuffers:\n");
  for (size_t i = 0; i < v.buffers->result_count; ++i) {
    const BufferResult& r = v.buffers->results[i];
    std::string name = buffer_name(r);
    put(out, "  ");
    put(out, name);
    for (size_t k = name.size(); k < 7; ++k) put_char(out, ' ');
    if (name.size() >= 7) put_char(out, ' ');  // a later segment's longer name
    put_wrapped(out, buffer_line(r), 9, std::max<size_t>(9, name.size() + 3));
  }
  if (v.buffers->results_dropped > 0)
    put_wrapped(
        out,
        "  (" + dec(v.buffers->results_dropped) + " more buffers of later segments are not listed)",
        4, 0);
}

void put_verdict(OutBuffer& out, std::string_view path, const Verdict& v) {
  std::string profile = v.row ? std::string(v.row->name) : std::string();
  switch (v.remedy_needed) {
    case Remedy::Rewrite:
      put_wrapped(out, "Verdict: rewrite, every rate field to " + dec(v.suggested_rate) + " bit/s",
                  2, 2);
      put(out, "Fix: ");
      put(out, verdict_command(path, v));
      put_char(out, '\n');
      return;
    case Remedy::Remux:
      put_wrapped(out,
                  v.row ? "Verdict: remux, the elementary streams fit the " + profile +
                              " profile but the multiplex must be redone"
                        : std::string("Verdict: remux, the multiplex must be redone"),
                  2, 2);
      put(out, "Fix: ");
      put(out, verdict_command(path, v));
      put_char(out, '\n');
      if (v.row) put_wrapped(out, kRemuxAside, 2, 2);
      return;
    case Remedy::Reencode:
      put_wrapped(out,
                  "Verdict: reencode, the elementary streams exceed the " + profile + " profile", 2,
                  2);
      put(out, "Fix: none that psrate or a remux can make: encode the streams again.\n");
      return;
    case Remedy::None: break;
  }
  if (v.problem)
    put_wrapped(out,
                "Verdict: none of rewrite, remux or reencode mends the problems above: the rate "
                "fields are not their cause",
                2, 2);
  else
    put(out, "Verdict: none\n");
  if (!v.repairs) {
    put(out, "Fix: none needed for the rate fields.\n");
    return;
  }
  put(out, "Fix: ");
  put(out, verdict_command(path, v));
  put_char(out, '\n');
  put_wrapped(out,
              "(The rate fields need no fix: --fix sets only the system headers' buffer bounds, "
              "to the " +
                  std::string(v.row->name) + " sizes.)",
              2, 2);
}

}  // namespace

void put_wrapped_text(OutBuffer& out, std::string_view text) { put_wrapped(out, text, 0); }

void set_report_parts(const JoinedFiles* parts) { g_parts = parts; }

void put_verdict_lines(OutBuffer& out, std::string_view path, const Verdict& v) {
  put_verdict(out, path, v);
}

void put_report(OutBuffer& out, std::string_view path, const Measurement& m, const Verdict& v) {
  put_layout(out, path, m, v);
  put_rates(out, m, v);
  put_streams(out, m);
  put_buffers(out, v);
  put_char(out, '\n');
  bool any = false;
  for (bool f : v.found) any = any || f;
  if (!any) put(out, "No findings.\n");
  put_findings(out, m, v, Severity::Problem, "Problems:");
  put_findings(out, m, v, Severity::Note, "Notes:");
  put_char(out, '\n');
  put_verdict(out, path, v);
}

// --- JSON ---

namespace {

// The bytes of private stream 1's packets that carry no readable sub-stream header.
uint64_t bd_remainder(const Measurement& m) {
  uint64_t in_subs = 0;
  for (const StreamCount& s : m.census.subs) in_subs += s.bytes;
  uint64_t all = m.streams[0xBD].bytes;
  return all > in_subs ? all - in_subs : 0;
}

}  // namespace

namespace {

// Each offset of a joined stream also as its file and the offset there:
// "needed_at_in_file": {"file", "offset"}.
void add_file_offsets(nlohmann::ordered_json& j) {
  auto in_file = [](const nlohmann::ordered_json& offset) {
    if (!offset.is_number_unsigned()) return nlohmann::ordered_json();
    PartOffset at = locate(*g_parts, offset.get<uint64_t>());
    return nlohmann::ordered_json{{"file", g_parts->parts[at.part].path}, {"offset", at.offset}};
  };
  for (const char* key : {"first_end_code", "truncated_at", "needed_at"})
    j[std::string(key) + "_in_file"] = in_file(j[key]);
  j["skipped"]["first_in_file"] = in_file(j["skipped"]["first"]);
}

nlohmann::ordered_json parts_json() {
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  for (const JoinedPart& p : g_parts->parts)
    files.push_back({{"file", p.path}, {"size", p.size}, {"start", p.start}});
  return files;
}

nlohmann::ordered_json streams_json(const Measurement& m) {
  nlohmann::ordered_json streams = nlohmann::ordered_json::array();
  for_each_stream(m, [&](const StreamRef& r) {
    uint64_t bytes = r.count->bytes;
    if (!r.is_sub && r.id != 0xBD) bytes = m.streams[r.id].bytes;
    if (!r.is_sub && r.id == 0xBD) bytes = bd_remainder(m);
    streams.push_back(stream_json(m, r, bytes));
  });
  return streams;
}

nlohmann::ordered_json segments_json(const PstdModel& p) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (uint64_t i = 0; i < std::min<uint64_t>(p.segments, kSegmentStarts); ++i)
    a.push_back(p.segment_starts[i]);
  return a;
}

// The codec as the streams list names it; null when its header was not found.
nlohmann::ordered_json census_codec(const Measurement& m, const BufferResult& r) {
  const StreamCount& c = r.is_sub ? m.census.subs[r.sub] : m.census.ids[r.id];
  std::string_view name = codec_name(c);
  return name.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(std::string(name));
}

nlohmann::ordered_json buffer_json(const Measurement& m, const BufferResult& r) {
  using Json = nlohmann::ordered_json;
  auto nul = [](bool present, uint64_t value) { return present ? Json(value) : Json(); };
  auto tick = [](bool present, const Instant& t) {
    int64_t v = floor_ticks(t);
    return present ? Json(v) : Json();
  };
  StreamRef ref{r.id, r.is_sub, r.sub, nullptr};
  std::string name = stream_name(ref);
  Json j;
  j["segment"] = r.segment;
  j["id"] = name.substr(0, 2);
  j["sub"] = r.is_sub ? Json(name.substr(3)) : Json();
  j["codec"] = census_codec(m, r);
  j["modelled"] = r.modelled;
  j["reason"] = r.modelled ? Json() : Json(std::string(r.reason));
  j["size"] = nul(r.size > 0, r.size);
  j["size_source"] = std::string(size_source_name(r.source));
  j["peak"] = nul(r.modelled, r.figures.peak);
  bool peak = r.modelled && r.figures.peak > 0;
  j["peak_offset"] = nul(peak, r.figures.peak_offset);
  j["peak_time"] = tick(peak, r.figures.peak_time);
  bool over = r.figures.overflows > 0;
  j["overflows"] = r.figures.overflows;
  j["first_overflow_offset"] = nul(over, r.figures.first_overflow_offset);
  j["first_overflow_time"] = tick(over, r.figures.first_overflow_time);
  j["max_excess"] = nul(over, r.figures.max_excess);
  bool under = r.underflows.count > 0;
  j["underflows"] = r.underflows.count - r.underflows.permitted;
  j["permitted_underflows"] = r.underflows.permitted;
  j["first_underflow_offset"] = nul(under, r.underflows.first_offset);
  j["first_underflow_time"] = tick(under, r.underflows.first_td);
  j["max_lateness"] = tick(under, r.underflows.max_lateness);
  j["access_units"] = {{"stamped", r.counts.stamped},
                       {"extrapolated", r.counts.extrapolated},
                       {"untimed", r.counts.untimed},
                       {"skipped", r.counts.skipped}};
  j["timestamps_ignored"] = r.counts.timestamps_ignored;
  j["timestamp_mismatches"] = r.counts.timestamp_mismatches;
  j["resyncs"] = r.resyncs;
  j["pointer_mismatches"] = r.counts.pointer_mismatches;
  return j;
}

nlohmann::ordered_json buffers_json(const Measurement& m, const PstdModel& p) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (size_t i = 0; i < p.result_count; ++i) a.push_back(buffer_json(m, p.results[i]));
  return a;
}

nlohmann::ordered_json findings_json(const Measurement& m, const Verdict& v) {
  using Json = nlohmann::ordered_json;
  Json findings = Json::array();
  for (const FindingClass& c : kFindingClasses) {
    size_t f = size_t(c.finding);
    if (!v.found[f]) continue;
    Remedy remedy = v.remedy[f];
    findings.push_back(
        {{"code", std::string(c.code)},
         {"severity", v.severity[f] == Severity::Problem ? "problem" : "note"},
         {"message", finding_message(c.finding, m, v)},
         {"remedy", remedy == Remedy::None ? Json() : Json(std::string(remedy_name(remedy)))}});
  }
  return findings;
}

}  // namespace

nlohmann::ordered_json json_report(std::string_view path, const Measurement& m, const Verdict& v) {
  using Json = nlohmann::ordered_json;
  auto value_or_null = [](bool present, uint64_t value) { return present ? Json(value) : Json(); };
  auto ms_seconds = [](uint64_t ms) { return Json(double(ms) / 1000.0); };
  Json j;
  j["file"] = std::string(path);
  if (g_parts != nullptr) j["files"] = parts_json();
  j["size"] = m.file_size;
  j["profile"] = std::string(profile_name(v.profile));
  j["packs"] = {{"count", m.packs},
                {"mpeg1", m.mpeg1_packs},
                {"mpeg2", m.mpeg2_packs},
                {"pack_size", value_or_null(v.has_pack_size, v.pack_size)}};
  j["system_headers"] = m.system_headers;
  j["streams"] = streams_json(m);
  bool end = m.end_codes > 0;
  j["end_codes"] = m.end_codes;
  j["first_end_code"] = value_or_null(end, m.first_end_code);
  j["bytes_after_end_code"] =
      value_or_null(end, end ? m.file_size - m.first_end_code - kStartCodeBytes : 0);
  j["truncated_at"] = value_or_null(m.truncated, m.truncated_at);
  j["skipped"] = {{"ranges", m.skipped_ranges},
                  {"bytes", m.skipped_bytes},
                  {"first", value_or_null(m.skipped_ranges > 0, m.first_skipped)}};
  j["zero_stuffing"] = m.zero_stuffing;
  bool packs = m.packs > 0;
  j["program_mux_rate"] = {{"min", value_or_null(packs, uint64_t(m.mux_min) * kBitsPerRateUnit)},
                           {"max", value_or_null(packs, uint64_t(m.mux_max) * kBitsPerRateUnit)},
                           {"zero", m.mux_zero}};
  bool bounds = m.rate_bounds > 0;
  j["rate_bound"] = {{"min", value_or_null(bounds, uint64_t(m.rate_bound_min) * kBitsPerRateUnit)},
                     {"max", value_or_null(bounds, uint64_t(m.rate_bound_max) * kBitsPerRateUnit)}};
  j["scr"] = {
      {"pairs", m.pairs}, {"continuous", m.continuous}, {"discontinuities", m.discontinuities}};
  j["duration"] = ms_seconds(v.duration_ms);
  j["average_rate"] = value_or_null(v.has_timing, v.average_rate);
  j["needed_rate"] = value_or_null(v.has_timing, v.needed_rate);
  j["needed_at"] = value_or_null(v.has_timing, m.needed_at);
  j["packs_below_needed"] = v.packs_below;
  j["duration_from_mux_rate"] = v.has_player_duration ? ms_seconds(v.player_duration_ms) : Json();
  j["presentation_duration"] = v.presentation.known ? ms_seconds(v.presentation.ms) : Json();
  j["bad_pes_headers"] = m.census.bad_pes_headers;
  j["profile_limits"] =
      v.row ? Json{{"standard_rate", v.row->standard_rate}, {"rate_limit", v.row->rate_limit}}
            : Json();
  if (v.buffers != nullptr) {
    j["segments"] = segments_json(*v.buffers);
    j["buffers"] = buffers_json(m, *v.buffers);
  }
  j["findings"] = findings_json(m, v);
  j["suggested_rate"] = value_or_null(v.has_suggestion, v.suggested_rate);
  std::string command = verdict_command(path, v);
  j["verdict"] = {
      {"remedy",
       v.remedy_needed == Remedy::None ? Json() : Json(std::string(remedy_name(v.remedy_needed)))},
      {"suggested_rate", value_or_null(v.has_suggestion, v.suggested_rate)},
      {"command", command.empty() ? Json() : Json(command)}};
  if (g_parts != nullptr) add_file_offsets(j);
  return j;
}

void put_json(OutBuffer& out, const nlohmann::ordered_json& j) {
  // ASCII throughout; bytes of the file name that are not UTF-8 become U+FFFD.
  put(out, j.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace));
  put_char(out, '\n');
}

void put_json_report(OutBuffer& out, std::string_view path, const Measurement& m,
                     const Verdict& v) {
  put_json(out, json_report(path, m, v));
}

}  // namespace psrate
