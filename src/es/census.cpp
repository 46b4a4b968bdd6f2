// SPDX-License-Identifier: MIT
#include "es/census.hpp"

#include <algorithm>
#include <cstring>

#include "ps/stream_ids.hpp"

namespace psrate {
namespace {

// What a stream's first header is looked for as.
enum class Family : uint8_t { None, Video, MpegAudio, Ac3, Dts };

Family family_of(uint8_t id, SubStreamKind sub) {
  if (id >= 0xE0 && id <= 0xEF) return Family::Video;
  if (id >= 0xC0 && id <= 0xDF) return Family::MpegAudio;
  if (id != 0xBD) return Family::None;
  return sub == SubStreamKind::Ac3   ? Family::Ac3
         : sub == SubStreamKind::Dts ? Family::Dts
                                     : Family::None;
}

bool start_code_at(const uint8_t* b, uint8_t code) {
  return b[0] == 0 && b[1] == 0 && b[2] == 1 && b[3] == code;
}

// The bytes of a sequence header from its start code up to the end of its
// quantiser matrices, once byte 11 is there: 12, 76 or 140.
size_t sequence_header_length(std::span<const uint8_t> b) {
  // load_intra_quantiser_matrix is bit 94; with it, 64 bytes of matrix follow and
  // load_non_intra_quantiser_matrix is bit 607, else bit 95
  bool intra = (b[11] >> 1) & 1;
  size_t non_intra_bit = intra ? 607 : 95;
  if (non_intra_bit / 8 >= b.size()) return SIZE_MAX;
  bool non_intra = (b[non_intra_bit / 8] >> (7 - non_intra_bit % 8)) & 1;
  return (non_intra_bit + 1 + (non_intra ? 512 : 0) + 7) / 8;
}

// A sequence header at the front of b, and the sequence_extension that
// follows it (after zero stuffing) in MPEG-2. SIZE_MAX when more bytes are needed.
size_t take_video(std::span<const uint8_t> b, StreamCount& s) {
  if (b.size() < kSequenceHeaderBytes) return SIZE_MAX;
  VideoParams v;
  if (!parse_sequence_header(b, v)) return 0;
  size_t end = sequence_header_length(b);
  if (end == SIZE_MAX) return b.size() < kHeaderTail ? SIZE_MAX : 0;
  size_t at = end;  // the next start code's 01, after the zero bytes
  while (at < b.size() && b[at] == 0) ++at;
  bool extension = at + 1 < b.size() && at >= end + 2 && b[at] == 1 && b[at + 1] == 0xB5;
  bool more = at + 1 >= b.size() || (extension && at - 2 + kSequenceExtensionBytes > b.size());
  // all the tail holds: what follows is not waited for
  if (more && b.size() < kHeaderTail) return SIZE_MAX;
  if (extension && !more) parse_sequence_extension(b.subspan(at - 2), v);
  s.video = v;
  s.codec = v.mpeg2 ? Codec::Mpeg2Video : Codec::Mpeg1Video;
  return 1;
}

// At offset i of the tail: 1 when the header was found, 0 when none starts
// there, SIZE_MAX when one may, given more bytes.
size_t take_at(Family f, std::span<const uint8_t> b, StreamCount& s) {
  switch (f) {
    case Family::None: return 0;
    case Family::Video:
      if (b.size() < 4) return SIZE_MAX;
      return start_code_at(b.data(), 0xB3) ? take_video(b, s) : 0;
    case Family::MpegAudio:
      if (b.size() < kMpegAudioHeaderBytes) return SIZE_MAX;
      if (!parse_mpeg_audio_header(b, s.mpeg_audio)) return 0;
      s.codec = Codec::MpegAudio;
      return 1;
    case Family::Ac3:
      if (b.size() < kAc3HeaderBytes) return b[0] == 0x0B ? SIZE_MAX : 0;
      if (!parse_ac3_header(b, s.ac3)) return 0;
      s.codec = Codec::Ac3;
      return 1;
    case Family::Dts:
      if (b.size() < kDtsHeaderBytes) return b[0] == 0x7F ? SIZE_MAX : 0;
      if (!parse_dts_header(b, s.dts)) return 0;
      s.codec = Codec::Dts;
      return 1;
  }
  return 0;
}

// Scans the tail for the family's first header; keeps the bytes from which one
// may still begin.
void scan_tail(StreamCount& s, Family f) {
  std::span<const uint8_t> tail(s.tail.data(), s.tail_size);
  size_t keep = s.tail_size;
  for (size_t i = 0; i < s.tail_size; ++i) {
    size_t r = take_at(f, tail.subspan(i), s);
    if (r == 1) return;
    if (r == SIZE_MAX) {
      keep = i;
      break;
    }
  }
  // a header longer than the tail cannot be waited for: step past its start
  if (keep == 0 && s.tail_size == kHeaderTail) keep = 1;
  std::memmove(s.tail.data(), s.tail.data() + keep, s.tail_size - keep);
  s.tail_size -= keep;
}

// Feeds payload bytes to the search for the stream's first header.
void look_for_header(StreamCount& s, Family f, std::span<const uint8_t> payload) {
  while (f != Family::None && s.codec == Codec::Unknown && !payload.empty()) {
    size_t n = std::min(payload.size(), kHeaderTail - s.tail_size);
    std::memcpy(s.tail.data() + s.tail_size, payload.data(), n);
    s.tail_size += n;
    payload = payload.subspan(n);
    scan_tail(s, f);
  }
  if (s.codec != Codec::Unknown) s.tail_size = 0;
}

void take_pts(StreamCensus& c, StreamCount& s, uint64_t pts) {
  if (!s.has_pts) s.first_pts = pts;
  s.has_pts = true;
  s.last_pts = pts;
  PtsSpan& span = s.span;
  if (!span.open) {
    span = {true, pts, 0, 0};
    ++c.open_spans;
    return;
  }
  // nearest the segment's first PTS, modulo 2^33
  int64_t d = int64_t((pts - span.first) & (kTimestampModulus - 1));
  if (d >= int64_t(kTimestampModulus / 2)) d -= int64_t(kTimestampModulus);
  span.low = std::min(span.low, d);
  span.high = std::max(span.high, d);
}

void count(StreamCount& s, const Unit& u, size_t payload) {
  ++s.packets;
  s.bytes += u.length;
  s.payload_bytes += u.length > payload ? u.length - payload : 0;
}

// The payload searched for the stream's first header: a packet larger than the
// read window is not searched, and what the tail held no longer joins on.
std::span<const uint8_t> searched(StreamCount& s, const Unit& u, size_t from) {
  if (u.bytes.size() < u.length) {
    s.tail_size = 0;
    return {};
  }
  return u.bytes.subspan(std::min(from, u.bytes.size()));
}

// A packet of private stream 1: the sub-stream's header, then its payload.
void take_private_stream_1(StreamCensus& c, const Unit& u, const PesHeader& h) {
  SubStream sub;
  std::span<const uint8_t> payload = u.bytes.subspan(std::min(h.payload, u.bytes.size()));
  if (!parse_sub_stream(payload, sub)) return;
  c.last_sub_known = true;
  c.last_sub = sub.id;
  StreamCount& s = c.subs[sub.id];
  count(s, u, h.payload + sub.header);
  if (h.has_pts) take_pts(c, s, h.pts);
  if (s.codec == Codec::Unknown && sub.kind == SubStreamKind::Lpcm) {
    s.codec = Codec::Lpcm;
    s.lpcm = sub;
  }
  if (s.codec == Codec::Unknown && sub.kind == SubStreamKind::Subpicture)
    s.codec = Codec::Subpicture;
  look_for_header(s, family_of(0xBD, sub.kind), searched(s, u, h.payload + sub.header));
}

}  // namespace

void census_take(StreamCensus& c, const Unit& u) {
  c.last_sub_known = false;
  if (!is_stream_code(u.start_code) || u.kind == UnitKind::EndCode || u.kind == UnitKind::Pack ||
      u.kind == UnitKind::SystemHeader)
    return;
  uint8_t id = uint8_t(u.start_code);
  StreamCount& s = c.ids[id];
  if (!id_class(u.start_code).pes_header) {
    count(s, u, kPesFixedBytes);
    return;
  }
  PesHeader h = parse_pes_header(u.bytes);
  if (!h.valid) {  // its payload is taken to begin after the fixed bytes
    ++c.bad_pes_headers;
    count(s, u, kPesFixedBytes);
    return;
  }
  count(s, u, h.payload);
  if (id == 0xBD) return take_private_stream_1(c, u, h);
  if (h.has_pts) take_pts(c, s, h.pts);
  look_for_header(s, family_of(id, SubStreamKind::Other), searched(s, u, h.payload));
}

namespace {

void close_span(StreamCount& s) {
  if (!s.span.open) return;
  s.closed_span += uint64_t(s.span.high - s.span.low);
  ++s.spans;
  s.span.open = false;
}

}  // namespace

void census_break(StreamCensus& c) {
  if (c.open_spans == 0) return;
  for (StreamCount& s : c.ids) close_span(s);
  for (StreamCount& s : c.subs) close_span(s);
  c.open_spans = 0;
}

uint64_t pts_span(const StreamCount& s) {
  return s.closed_span + (s.span.open ? uint64_t(s.span.high - s.span.low) : 0);
}

}  // namespace psrate
