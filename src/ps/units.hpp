// SPDX-License-Identifier: MIT
// Program stream units (ISO/IEC 13818-1, 2.5.3): start-code classes, unit
// framing, pack and system header decoding, and the rate-field encodings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ps/stream_ids.hpp"

namespace psrate {

// --- big-endian access: each helper touches exactly the bytes it names ---
inline uint32_t get_u16(std::span<const uint8_t> d, size_t at) {
  return uint32_t(d[at]) << 8 | d[at + 1];
}
inline uint32_t get_u32(std::span<const uint8_t> d, size_t at) {
  return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
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
  bool markers;                   // every marker bit of the layout is set
  uint32_t program_mux_rate;      // 22 bits, units of 50 bytes/s
  uint32_t pack_stuffing_length;  // 0..7; always 0 for MPEG-1
  uint64_t scr;                   // system_clock_reference in 27 MHz ticks
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
  std::span<const uint8_t> stream_table;  // the whole 3-byte entries in the data read
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
  // The unit's bytes in the read window: all of them, or those up to the end
  // of the data read. Framing puts the fixed fields of every kind in it.
  std::span<const uint8_t> bytes;
  uint64_t window_base;  // file offset of the read window the unit was taken from
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

// The SCR of a pack header in 27 MHz ticks (base * 300 + extension; MPEG-1
// carries the base alone). `pack` holds at least the layout's fixed bytes.
uint64_t decode_scr(std::span<const uint8_t> pack, bool mpeg1);

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
