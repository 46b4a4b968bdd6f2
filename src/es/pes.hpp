// SPDX-License-Identifier: MIT
// The PES packet header (ISO/IEC 13818-1, 2.4.3.6; ISO/IEC 11172-1, 2.4.3.3)
// and the sub-stream header of a DVD's private stream 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace psrate {

inline constexpr uint64_t kTimestampModulus = uint64_t(1) << 33;  // PTS and DTS: 33 bits

struct PesHeader {
  bool valid = false;  // the header lies in the packet and its marker bits are set
  bool mpeg2 = false;  // '10' after the length: the MPEG-2 form
  bool has_pts = false, has_dts = false;
  uint64_t pts = 0, dts = 0;  // 90 kHz ticks
  bool dsm_trick_mode = false;
  bool has_std_buffer = false;  // P-STD_buffer_scale/size (MPEG-1: STD_buffer_scale/size)
  uint8_t std_buffer_scale = 0;
  uint32_t std_buffer_size = 0;  // 13 bits, units of 128 (scale 0) or 1024 (scale 1) bytes
  size_t payload = 0;            // offset of the packet's first data byte from its start code
};

// The header of the PES packet `packet` (start code on), of a stream id whose
// packets carry one. A header that runs past the packet or has a wrong marker
// bit is not valid: its timestamps are not to be used.
PesHeader parse_pes_header(std::span<const uint8_t> packet);

// A 33-bit timestamp from its 5 bytes: 4 prefix bits, then 3, 15 and 15 bits,
// each followed by a marker bit. False when a marker bit is 0.
bool decode_timestamp(std::span<const uint8_t> five, uint64_t& ticks);

// The P-STD buffer size in bytes.
constexpr uint64_t std_buffer_bytes(uint8_t scale, uint32_t size) {
  return uint64_t(size) * (scale ? 1024 : 128);
}

// What the first payload byte of private stream 1 says (DVD-Video).
enum class SubStreamKind : uint8_t { Subpicture, Ac3, Dts, Lpcm, Other };

struct SubStream {
  uint8_t id = 0;
  SubStreamKind kind = SubStreamKind::Other;
  size_t header = 0;  // bytes of sub-stream header: 1, 4 or 7 (0 for Other)
  // AC-3, DTS and LPCM: number_of_frame_headers and first_access_unit_pointer
  uint8_t frames = 0;
  uint16_t first_access_unit = 0;
  // LPCM: from the header's sixth byte
  uint8_t lpcm_bits = 0;   // 16, 20 or 24; 0 for another code
  uint32_t lpcm_rate = 0;  // 48000 or 96000; 0 for another code
  uint8_t lpcm_channels = 0;
};

SubStreamKind sub_stream_kind(uint8_t id);

// The sub-stream header at the front of a private stream 1 payload; false when
// the payload is too short for it.
bool parse_sub_stream(std::span<const uint8_t> payload, SubStream& sub);

}  // namespace psrate
