// SPDX-License-Identifier: MIT
// Program stream units (ISO/IEC 13818-1, 2.5.3): start-code classes, unit
// framing, pack and system header decoding, and the rate-field encodings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace psrate {

// --- big-endian access: each helper touches exactly the bytes it names ---
inline uint32_t get_u16(std::span<const uint8_t> d, size_t at) {
  return uint32_t(d[at]) << 8 | d[at + 1];
}
inline uint32_t get_u32(std::span<const uint8_t> d, size_t at) {
  return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}

enum class UnitKind : uint8_t {
  EndCode,
  Pack,
  SystemHeader,
  PrivateStream1,
  Padding,
  PrivateStream2,
  Audio,
  Video,
  Unknown,
  ZeroStuffing,  // a 00 byte in front of 00 00 xx: stepped over alone, no line
  Skipped,       // bytes a resynchronising walk stepped over to find the stream again
};

struct StartCodeClass {
  uint32_t first;
  uint32_t last;
  UnitKind kind;
};

// Every 32-bit value not covered here is UnitKind::Unknown (0x1BC, 0x1C8..0x1DF,
// 0x1E1..0x1EF included); values below 0x100 are zero stuffing.
inline constexpr std::array<StartCodeClass, 8> kStartCodeClasses{{
    {0x000001B9, 0x000001B9, UnitKind::EndCode},
    {0x000001BA, 0x000001BA, UnitKind::Pack},
    {0x000001BB, 0x000001BB, UnitKind::SystemHeader},
    {0x000001BD, 0x000001BD, UnitKind::PrivateStream1},
    {0x000001BE, 0x000001BE, UnitKind::Padding},
    {0x000001BF, 0x000001BF, UnitKind::PrivateStream2},
    {0x000001C0, 0x000001C7, UnitKind::Audio},
    {0x000001E0, 0x000001E0, UnitKind::Video},
}};

constexpr bool start_code_classes_sorted() {
  for (size_t i = 0; i < kStartCodeClasses.size(); ++i) {
    if (kStartCodeClasses[i].first > kStartCodeClasses[i].last) return false;
    if (i > 0 && kStartCodeClasses[i - 1].last >= kStartCodeClasses[i].first) return false;
  }
  return true;
}
static_assert(start_code_classes_sorted(), "start-code classes must be sorted and disjoint");

constexpr UnitKind classify(uint32_t start_code) {
  if (start_code <= 0xFF) return UnitKind::ZeroStuffing;
  for (const StartCodeClass& c : kStartCodeClasses)
    if (start_code >= c.first && start_code <= c.last) return c.kind;
  return UnitKind::Unknown;
}

// Rate fields count units of 50 bytes/s.
inline constexpr uint32_t kBitsPerRateUnit = 400;

// Bytes that must lie in the data read before a unit is decoded.
inline constexpr size_t kStartCodeBytes = 4;
inline constexpr size_t kPesFixedBytes = 6;
inline constexpr size_t kPack2FixedBytes = 14;
inline constexpr size_t kPack1FixedBytes = 12;
inline constexpr size_t kSystemFixedBytes = 12;
inline constexpr size_t kStreamEntryBytes = 3;
// A system header shorter than this has no rate_bound of its own.
inline constexpr size_t kSystemRateBoundEnd = 9;

struct PackHeader {
  bool mpeg1;                     // ISO/IEC 11172-1 layout: '0010' at the top of byte 4
  uint32_t program_mux_rate;      // 22 bits, units of 50 bytes/s
  uint32_t pack_stuffing_length;  // 0..7; always 0 for MPEG-1
};

struct SystemHeader {
  uint32_t header_length;
  uint32_t rate_bound;  // 22 bits, units of 50 bytes/s
  uint8_t audio_bound;
  uint8_t fixed_flag;
  uint8_t CSPS_flag;
  uint8_t system_audio_lock_flag;
  uint8_t system_video_lock_flag;
  uint8_t marker_bit;
  uint8_t video_bound;
  const uint8_t* stream_table;  // entry_count whole 3-byte entries, in the data read
  uint32_t entry_count;
};

struct StreamEntry {
  uint8_t stream_id;
  uint8_t buffer_bound_scale;
  uint32_t buffer_size_bound;  // 13 bits, as stored
};

struct Unit {
  UnitKind kind;
  uint32_t start_code;
  uint64_t offset;  // file offset of the start code
  uint64_t length;  // bytes to the next unit; 0 for the end code; the range's for Skipped
  PackHeader pack;
  SystemHeader system;
};

enum class Framing : uint8_t {
  Decoded,
  CutOff,  // the unit's fixed fields are not all in the data given
};

// Frames the unit at the front of `data` (the valid bytes from the parse
// position on). Never reads past `data`.
Framing frame_unit(std::span<const uint8_t> data, uint64_t offset, Unit& unit);

StreamEntry stream_entry(const SystemHeader& system, uint32_t index);

// --- rate-field encodings, from rate units (bit/s / 400) ---
struct RateField {
  uint32_t at;  // distance of the three bytes from the header's start code
  std::array<uint8_t, 3> bytes;
};

// program_mux_rate of an MPEG-2 pack header, bytes 10..12.
RateField encode_mux_rate(uint32_t rate_units);
// rate_bound of a system header, bytes 6..8 (marker, 22 bits, marker).
RateField encode_rate_bound(uint32_t rate_units);
// program_mux_rate of an MPEG-1 pack header, bytes 9..11: the same image as a rate_bound.
RateField encode_mpeg1_mux_rate(uint32_t rate_units);

// The rate field of a header unit; false for units that hold none.
bool rate_field_of(const Unit& unit, uint32_t rate_units, RateField& field);

}  // namespace psrate
