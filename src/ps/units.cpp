// SPDX-License-Identifier: MIT
#include "ps/units.hpp"

#include <algorithm>

namespace psrate {
namespace {

// The marker bits of a pack header whose fixed bytes lie in d.
bool pack_markers(std::span<const uint8_t> d, bool mpeg1) {
  if (mpeg1)
    return (d[4] & 0xF1) == 0x21 && (d[6] & 0x01) && (d[8] & 0x01) && (d[9] & 0x80) &&
           (d[11] & 0x01);
  return (d[4] & 0xC4) == 0x44 && (d[6] & 0x04) && (d[8] & 0x04) && (d[9] & 0x01) &&
         (d[12] & 0x03) == 0x03;
}

Framing frame_pack(std::span<const uint8_t> d, Unit& u) {
  // Byte 4 tells the layouts apart: '0010' starts an MPEG-1 SCR, '01' an MPEG-2 one.
  if (d.size() < kStartCodeBytes + 1) return Framing::CutOff;
  PackHeader& p = u.pack;
  p.mpeg1 = (d[4] & 0xF0) == 0x20;
  if (p.mpeg1) {
    if (d.size() < kPack1FixedBytes) return Framing::CutOff;
    // marker, 22-bit mux_rate, marker in bytes 9..11
    p.program_mux_rate = uint32_t(d[9] & 0x7F) << 15 | uint32_t(d[10]) << 7 | d[11] >> 1;
    p.pack_stuffing_length = 0;
    u.length = kPack1FixedBytes;
  } else {
    if (d.size() < kPack2FixedBytes) return Framing::CutOff;
    // 22-bit program_mux_rate in bytes 10..12, followed by two marker bits
    p.program_mux_rate = uint32_t(d[10]) << 14 | uint32_t(d[11]) << 6 | d[12] >> 2;
    p.pack_stuffing_length = d[13] & 0x07;
    u.length = uint32_t(kPack2FixedBytes) + p.pack_stuffing_length;
  }
  p.markers = pack_markers(d, p.mpeg1);
  p.scr = decode_scr(d, p.mpeg1);
  return Framing::Decoded;
}

Framing frame_system_header(std::span<const uint8_t> d, Unit& u) {
  if (d.size() < kSystemFixedBytes) return Framing::CutOff;
  SystemHeader& s = u.system;
  s.header_length = get_u16(d, 4);
  u.length = s.header_length + 6;
  s.rate_bound = uint32_t(d[6] & 0x7F) << 15 | uint32_t(d[7]) << 7 | d[8] >> 1;
  s.audio_bound = d[9] >> 2;
  s.fixed_flag = (d[9] >> 1) & 1;
  s.CSPS_flag = d[9] & 1;
  s.system_audio_lock_flag = d[10] >> 7;
  s.system_video_lock_flag = (d[10] >> 6) & 1;
  s.marker_bit = (d[10] >> 5) & 1;
  s.video_bound = d[10] & 0x1F;
  // Only whole entries inside both the unit and the data read are listed.
  size_t table_end = u.length < d.size() ? u.length : d.size();
  s.entry_count = table_end > kSystemFixedBytes
                      ? uint32_t((table_end - kSystemFixedBytes) / kStreamEntryBytes)
                      : 0;
  s.stream_table = d.subspan(kSystemFixedBytes, size_t(s.entry_count) * kStreamEntryBytes);
  return Framing::Decoded;
}

}  // namespace

Framing frame_unit(std::span<const uint8_t> d, uint64_t offset, Unit& u) {
  if (d.size() < kStartCodeBytes) return Framing::CutOff;
  u.start_code = get_u32(d, 0);
  u.kind = classify(u.start_code);
  u.offset = offset;
  Framing framing = Framing::Decoded;
  switch (u.kind) {
    case UnitKind::EndCode: u.length = 0; break;
    case UnitKind::ZeroStuffing: u.length = 1; break;
    case UnitKind::Pack: framing = frame_pack(d, u); break;
    case UnitKind::SystemHeader: framing = frame_system_header(d, u); break;
    default:
      if (d.size() < kPesFixedBytes) return Framing::CutOff;
      u.length = get_u16(d, 4) + 6;
  }
  if (framing == Framing::Decoded)
    u.bytes = d.first(size_t(std::min<uint64_t>(u.length, d.size())));
  return framing;
}

uint64_t decode_scr(std::span<const uint8_t> d, bool mpeg1) {
  if (mpeg1) {
    // '0010' SCR[32..30] marker, SCR[29..15] marker, SCR[14..0] marker (bytes 4..8)
    uint64_t base = uint64_t(d[4] >> 1 & 0x07) << 30 | uint64_t(d[5]) << 22 |
                    uint64_t(d[6] >> 1) << 15 | uint64_t(d[7]) << 7 | uint64_t(d[8] >> 1);
    return base * 300;
  }
  // '01' base[32..30] marker base[29..15] marker base[14..0] marker ext[8..0] marker (bytes 4..9)
  uint64_t base = uint64_t(d[4] >> 3 & 0x07) << 30 | uint64_t(d[4] & 0x03) << 28 |
                  uint64_t(d[5]) << 20 | uint64_t(d[6] >> 3) << 15 | uint64_t(d[6] & 0x03) << 13 |
                  uint64_t(d[7]) << 5 | uint64_t(d[8] >> 3);
  uint64_t ext = uint64_t(d[8] & 0x03) << 7 | uint64_t(d[9] >> 1);
  return base * 300 + ext;
}

StreamEntry stream_entry(const SystemHeader& s, uint32_t index) {
  std::span<const uint8_t> e = s.stream_table.subspan(size_t(index) * kStreamEntryBytes);
  return {e[0], uint8_t((e[1] >> 5) & 1), uint32_t(e[1] & 0x1F) << 8 | e[2]};
}

RateField encode_mux_rate(uint32_t r) {
  return {10, {uint8_t(r >> 14), uint8_t(r >> 6), uint8_t(r << 2 | 0x03)}};
}

RateField encode_rate_bound(uint32_t r) {
  return {6, {uint8_t(r >> 15 | 0x80), uint8_t(r >> 7), uint8_t(r << 1 | 0x01)}};
}

RateField encode_mpeg1_mux_rate(uint32_t r) {
  RateField f = encode_rate_bound(r);
  f.at = 9;
  return f;
}

bool rate_field_of(const Unit& u, uint32_t rate_units, RateField& field) {
  if (u.kind == UnitKind::Pack) {
    field = u.pack.mpeg1 ? encode_mpeg1_mux_rate(rate_units) : encode_mux_rate(rate_units);
    return true;
  }
  if (u.kind == UnitKind::SystemHeader && u.length >= kSystemRateBoundEnd) {
    field = encode_rate_bound(rate_units);
    return true;
  }
  return false;
}

}  // namespace psrate
