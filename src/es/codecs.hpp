// SPDX-License-Identifier: MIT
// Elementary stream headers: one small pure parser each, over the bytes of
// the header alone. Each says false when its bytes are not such a header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace psrate {

// --- MPEG-1/2 video: sequence_header (00 00 01 B3) and sequence_extension ---

inline constexpr size_t kSequenceHeaderBytes = 12;  // up to the matrix flags
inline constexpr size_t kSequenceExtensionBytes = 10;

struct VideoParams {
  uint32_t width = 0, height = 0;
  uint8_t aspect_ratio_information = 0;
  uint8_t frame_rate_code = 0;
  uint32_t bit_rate_value = 0;         // 18 bits, units of 400 bit/s (0x3FFFF: variable)
  uint32_t vbv_buffer_size_value = 0;  // 10 bits, units of 16 KiB (16 * 1024 bits)
  bool mpeg2 = false;                  // a sequence_extension followed
  uint8_t profile_and_level = 0;
  bool progressive_sequence = false;
  bool low_delay = false;
  uint8_t frame_rate_extension_n = 0, frame_rate_extension_d = 0;
  uint32_t bit_rate_extension = 0;         // 12 bits
  uint32_t vbv_buffer_size_extension = 0;  // 8 bits
};

// `b` begins with 00 00 01 B3; at least kSequenceHeaderBytes.
bool parse_sequence_header(std::span<const uint8_t> b, VideoParams& v);
// `b` begins with 00 00 01 B5 and extension id 1; at least kSequenceExtensionBytes.
bool parse_sequence_extension(std::span<const uint8_t> b, VideoParams& v);

// frame_rate_code 1..8: 24000/1001, 24, 25, 30000/1001, 30, 50, 60000/1001, 60.
struct Rational {
  uint64_t num = 0, den = 1;
};
Rational frame_rate(const VideoParams& v);  // {0, 1} for a reserved code
// The declared rate in bit/s; 0 when the sequence declares none (0x3FFFF
// without an extension or with a zero extension, as MPEG-2 encoders write for
// a variable rate, or a full value of 0).
uint64_t declared_bit_rate(const VideoParams& v);
// vbv_buffer_size in bytes.
uint64_t vbv_buffer_bytes(const VideoParams& v);

// --- MPEG audio (ISO/IEC 11172-3, 13818-3) ---

inline constexpr size_t kMpegAudioHeaderBytes = 4;

struct MpegAudioFrame {
  uint8_t version = 0;       // 1: MPEG-1, 2: MPEG-2 (LSF), 25: MPEG-2.5
  uint8_t layer = 0;         // 1, 2 or 3
  uint32_t bit_rate = 0;     // bit/s; 0 for free format
  uint32_t sample_rate = 0;  // Hz
  uint8_t mode = 0;          // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
  uint8_t channels = 0;
  bool padding = false;
  uint32_t length = 0;   // bytes of the frame; 0 for free format
  uint32_t samples = 0;  // per frame
};

bool parse_mpeg_audio_header(std::span<const uint8_t> b, MpegAudioFrame& f);

// --- AC-3 (ATSC A/52): syncinfo and the start of bsi ---

inline constexpr size_t kAc3HeaderBytes = 8;

struct Ac3Frame {
  uint32_t sample_rate = 0;  // 48000, 44100 or 32000
  uint32_t bit_rate = 0;     // bit/s
  uint32_t length = 0;       // bytes
  uint8_t acmod = 0;
  bool lfeon = false;
  uint8_t channels = 0;  // full-bandwidth channels plus the LFE
};

bool parse_ac3_header(std::span<const uint8_t> b, Ac3Frame& f);

// --- DTS core frame header ---

inline constexpr size_t kDtsHeaderBytes = 11;

struct DtsFrame {
  uint32_t sample_rate = 0;
  uint32_t length = 0;   // FSIZE + 1 bytes
  uint32_t samples = 0;  // (NBLKS + 1) * 32
  uint8_t amode = 0;
  bool lfe = false;
  uint8_t channels = 0;  // from AMODE, plus one with an LFE
};

bool parse_dts_header(std::span<const uint8_t> b, DtsFrame& f);

}  // namespace psrate
