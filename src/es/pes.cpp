// SPDX-License-Identifier: MIT
#include "es/pes.hpp"

namespace psrate {
namespace {

constexpr size_t kPesFixed = 6;    // start code and PES_packet_length
constexpr size_t kMpeg2Flags = 9;  // then the flags and PES_header_data_length

// The bytes of the optional fields that PES_header_flags announce, the PES
// extension's flags byte included: PTS, DTS, ESCR, ES_rate, DSM_trick_mode,
// additional_copy_info, PES_CRC.
size_t optional_bytes(uint8_t flags) {
  unsigned pts_dts = flags >> 6;
  return (pts_dts == 2   ? 5
          : pts_dts == 3 ? 10
                         : 0) +
         (flags & 0x20 ? 6 : 0) + (flags & 0x10 ? 3 : 0) + (flags & 0x08 ? 1 : 0) +
         (flags & 0x04 ? 1 : 0) + (flags & 0x02 ? 2 : 0) + (flags & 0x01 ? 1 : 0);
}

// The '01' P-STD_buffer_scale P-STD_buffer_size field (STD_buffer in MPEG-1) at b.
bool take_std_buffer(std::span<const uint8_t> b, PesHeader& h) {
  if (b.size() < 2 || (b[0] & 0xC0) != 0x40) return false;
  h.has_std_buffer = true;
  h.std_buffer_scale = (b[0] >> 5) & 1;
  h.std_buffer_size = uint32_t(b[0] & 0x1F) << 8 | b[1];
  return true;
}

// The PES extension in [at, end): PES_private_data, pack_header_field,
// program_packet_sequence_counter, then the P-STD buffer field.
bool take_extension(std::span<const uint8_t> p, size_t at, size_t end, PesHeader& h) {
  uint8_t ext = p[at++];
  if (ext & 0x80) at += 16;
  if ((ext & 0x40) && at < end) at += 1 + size_t(p[at]);
  if (ext & 0x20) at += 2;
  if (ext & 0x10) {
    if (at + 2 > end || !take_std_buffer(p.subspan(at, 2), h)) return false;
    at += 2;
  }
  return at <= end;
}

// MPEG-2: '10' scrambling priority alignment copyright original, then
// PTS_DTS_flags ESCR ES_rate DSM_trick_mode additional_copy_info CRC extension.
PesHeader parse_mpeg2(std::span<const uint8_t> p) {
  PesHeader h;
  h.mpeg2 = true;
  if (p.size() < kMpeg2Flags) return h;
  uint8_t flags = p[7];
  size_t end = kMpeg2Flags + p[8];
  h.payload = end;
  unsigned pts_dts = flags >> 6;
  if (end > p.size() || pts_dts == 1 || kMpeg2Flags + optional_bytes(flags) > end) return h;
  size_t at = kMpeg2Flags;
  if (pts_dts >= 2) {
    if (!decode_timestamp(p.subspan(at, 5), h.pts)) return h;
    h.has_pts = true;
    at += 5;
  }
  if (pts_dts == 3) {
    if (!decode_timestamp(p.subspan(at, 5), h.dts)) return h;
    h.has_dts = true;
    at += 5;
  }
  h.dsm_trick_mode = (flags & 0x08) != 0;
  at += (flags & 0x20 ? 6 : 0) + (flags & 0x10 ? 3 : 0) + (flags & 0x08 ? 1 : 0) +
        (flags & 0x04 ? 1 : 0) + (flags & 0x02 ? 2 : 0);
  h.valid = (flags & 0x01) == 0 || take_extension(p, at, end, h);
  return h;
}

// MPEG-1: stuffing 0xFF bytes, an optional '01' STD buffer field, then '0010'
// PTS, '0011' PTS and DTS, or 0000 1111.
PesHeader parse_mpeg1(std::span<const uint8_t> p) {
  PesHeader h;
  size_t at = kPesFixed;
  while (at < p.size() && p[at] == 0xFF && at < kPesFixed + 16) ++at;
  if (at < p.size() && (p[at] & 0xC0) == 0x40) {
    if (!take_std_buffer(p.subspan(at), h)) return h;
    at += 2;
  }
  if (at >= p.size()) return h;
  uint8_t prefix = p[at] >> 4;
  if (p[at] == 0x0F) {
    ++at;
  } else if (prefix == 2 || prefix == 3) {
    size_t need = prefix == 3 ? 10 : 5;
    if (at + need > p.size() || !decode_timestamp(p.subspan(at, 5), h.pts)) return h;
    h.has_pts = true;
    if (prefix == 3) {
      if ((p[at + 5] >> 4) != 1 || !decode_timestamp(p.subspan(at + 5, 5), h.dts)) return h;
      h.has_dts = true;
    }
    at += need;
  } else {
    return h;
  }
  h.payload = at;
  h.valid = true;
  return h;
}

}  // namespace

bool decode_timestamp(std::span<const uint8_t> b, uint64_t& ticks) {
  if ((b[0] & 1) == 0 || (b[2] & 1) == 0 || (b[4] & 1) == 0) return false;
  ticks = uint64_t(b[0] >> 1 & 0x07) << 30 | uint64_t(b[1]) << 22 | uint64_t(b[2] >> 1) << 15 |
          uint64_t(b[3]) << 7 | uint64_t(b[4] >> 1);
  return true;
}

PesHeader parse_pes_header(std::span<const uint8_t> packet) {
  if (packet.size() <= kPesFixed) return PesHeader{};
  if ((packet[kPesFixed] & 0xC0) == 0x80) return parse_mpeg2(packet);
  return parse_mpeg1(packet);
}

SubStreamKind sub_stream_kind(uint8_t id) {
  if (id >= 0x20 && id <= 0x3F) return SubStreamKind::Subpicture;
  if (id >= 0x80 && id <= 0x87) return SubStreamKind::Ac3;
  if (id >= 0x88 && id <= 0x8F) return SubStreamKind::Dts;
  if (id >= 0xA0 && id <= 0xA7) return SubStreamKind::Lpcm;
  return SubStreamKind::Other;
}

bool parse_sub_stream(std::span<const uint8_t> payload, SubStream& sub) {
  if (payload.empty()) return false;
  sub = SubStream{};
  sub.id = payload[0];
  sub.kind = sub_stream_kind(sub.id);
  switch (sub.kind) {
    case SubStreamKind::Other: return true;
    case SubStreamKind::Subpicture: sub.header = 1; return true;
    case SubStreamKind::Ac3:
    case SubStreamKind::Dts: sub.header = 4; break;
    case SubStreamKind::Lpcm: sub.header = 7; break;
  }
  if (payload.size() < sub.header) return false;
  sub.frames = payload[1];
  sub.first_access_unit = uint16_t(payload[2] << 8 | payload[3]);
  if (sub.kind != SubStreamKind::Lpcm) return true;
  // emphasis mute reserved frame_number, then quantization sampling reserved channels
  uint8_t format = payload[5];
  static constexpr uint8_t kBits[4] = {16, 20, 24, 0};
  static constexpr uint32_t kRates[4] = {48000, 96000, 0, 0};
  sub.lpcm_bits = kBits[format >> 6];
  sub.lpcm_rate = kRates[(format >> 4) & 3];
  sub.lpcm_channels = uint8_t((format & 0x07) + 1);
  return true;
}

}  // namespace psrate
