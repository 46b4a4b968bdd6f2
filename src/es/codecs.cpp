// SPDX-License-Identifier: MIT
#include "es/codecs.hpp"

namespace psrate {
namespace {

// Bits of `b` from bit `at` (0: the top bit of b[0]), most significant first.
uint32_t bits(std::span<const uint8_t> b, size_t at, unsigned count) {
  uint32_t v = 0;
  for (unsigned i = 0; i < count; ++i, ++at) v = v << 1 | ((b[at / 8] >> (7 - at % 8)) & 1);
  return v;
}

// --- MPEG video ---

constexpr std::array<Rational, 9> kFrameRates{{{0, 1},
                                               {24000, 1001},
                                               {24, 1},
                                               {25, 1},
                                               {30000, 1001},
                                               {30, 1},
                                               {50, 1},
                                               {60000, 1001},
                                               {60, 1}}};

// --- MPEG audio: bit rates in kbit/s by bitrate_index ---

using RateRow = std::array<uint16_t, 15>;
constexpr RateRow kMpeg1Layer1{0,   32,  64,  96,  128, 160, 192, 224,
                               256, 288, 320, 352, 384, 416, 448};
constexpr RateRow kMpeg1Layer2{0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr RateRow kMpeg1Layer3{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr RateRow kMpeg2Layer1{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256};
constexpr RateRow kMpeg2Layer23{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr std::array<uint32_t, 3> kMpeg1Rates{44100, 48000, 32000};

const RateRow& rate_row(uint8_t version, uint8_t layer) {
  if (version == 1) return layer == 1 ? kMpeg1Layer1 : layer == 2 ? kMpeg1Layer2 : kMpeg1Layer3;
  return layer == 1 ? kMpeg2Layer1 : kMpeg2Layer23;
}

// --- AC-3: kbit/s by frmsizecod / 2 ---

constexpr std::array<uint16_t, 19> kAc3Rates{32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                             192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr std::array<uint32_t, 3> kAc3SampleRates{48000, 44100, 32000};
// full-bandwidth channels by acmod
constexpr std::array<uint8_t, 8> kAc3Channels{2, 1, 2, 3, 3, 4, 4, 5};

// --- DTS ---

constexpr std::array<uint32_t, 16> kDtsSampleRates{
    0, 8000, 16000, 32000, 0, 0, 11025, 22050, 44100, 0, 0, 12000, 24000, 48000, 0, 0};
constexpr std::array<uint8_t, 16> kDtsChannels{1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 6, 6, 6, 7, 8, 8};

}  // namespace

bool parse_sequence_header(std::span<const uint8_t> b, VideoParams& v) {
  if (b.size() < kSequenceHeaderBytes || b[0] != 0 || b[1] != 0 || b[2] != 1 || b[3] != 0xB3)
    return false;
  v = VideoParams{};
  v.width = bits(b, 32, 12);
  v.height = bits(b, 44, 12);
  v.aspect_ratio_information = uint8_t(bits(b, 56, 4));
  v.frame_rate_code = uint8_t(bits(b, 60, 4));
  v.bit_rate_value = bits(b, 64, 18);
  if (bits(b, 82, 1) != 1) return false;  // marker_bit
  v.vbv_buffer_size_value = bits(b, 83, 10);
  return v.width != 0 && v.height != 0;
}

bool parse_sequence_extension(std::span<const uint8_t> b, VideoParams& v) {
  if (b.size() < kSequenceExtensionBytes || b[0] != 0 || b[1] != 0 || b[2] != 1 || b[3] != 0xB5 ||
      (b[4] >> 4) != 1)
    return false;
  if (bits(b, 63, 1) != 1) return false;  // marker_bit
  v.mpeg2 = true;
  v.profile_and_level = uint8_t(bits(b, 36, 8));
  v.progressive_sequence = bits(b, 44, 1) != 0;
  v.width |= bits(b, 47, 2) << 12;
  v.height |= bits(b, 49, 2) << 12;
  v.bit_rate_extension = bits(b, 51, 12);
  v.vbv_buffer_size_extension = bits(b, 64, 8);
  v.low_delay = bits(b, 72, 1) != 0;
  v.frame_rate_extension_n = uint8_t(bits(b, 73, 2));
  v.frame_rate_extension_d = uint8_t(bits(b, 75, 5));
  return true;
}

Rational frame_rate(const VideoParams& v) {
  if (v.frame_rate_code >= kFrameRates.size()) return {0, 1};
  Rational r = kFrameRates[v.frame_rate_code];
  if (!v.mpeg2 || r.num == 0) return r;
  return {r.num * (v.frame_rate_extension_n + 1u), r.den * (v.frame_rate_extension_d + 1u)};
}

uint64_t declared_bit_rate(const VideoParams& v) {
  uint64_t value = uint64_t(v.bit_rate_extension) << 18 | v.bit_rate_value;
  bool variable = v.bit_rate_value == 0x3FFFF && (!v.mpeg2 || v.bit_rate_extension == 0);
  return variable || value == 0 ? 0 : value * 400;
}

uint64_t vbv_buffer_bytes(const VideoParams& v) {
  uint64_t value = uint64_t(v.vbv_buffer_size_extension) << 10 | v.vbv_buffer_size_value;
  return value * 16 * 1024 / 8;
}

bool parse_mpeg_audio_header(std::span<const uint8_t> b, MpegAudioFrame& f) {
  if (b.size() < kMpegAudioHeaderBytes || b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
  unsigned version_id = (b[1] >> 3) & 3, layer_id = (b[1] >> 1) & 3;
  unsigned rate_index = b[2] >> 4, fs_index = (b[2] >> 2) & 3;
  if (version_id == 1 || layer_id == 0 || rate_index == 15 || fs_index == 3) return false;
  f = MpegAudioFrame{};
  f.version = version_id == 3 ? 1 : version_id == 2 ? 2 : 25;
  f.layer = uint8_t(4 - layer_id);
  f.sample_rate = kMpeg1Rates[fs_index] / (f.version == 1 ? 1 : f.version == 2 ? 2 : 4);
  f.bit_rate = uint32_t(rate_row(f.version, f.layer)[rate_index]) * 1000;
  f.padding = (b[2] >> 1) & 1;
  f.mode = b[3] >> 6;
  f.channels = f.mode == 3 ? 1 : 2;
  bool half = f.version != 1 && f.layer == 3;
  f.samples = f.layer == 1 ? 384 : half ? 576 : 1152;
  if (f.bit_rate == 0) return true;  // free format: the length is the distance to the next header
  if (f.layer == 1)
    f.length = (12 * f.bit_rate / f.sample_rate + f.padding) * 4;
  else
    f.length = (half ? 72 : 144) * f.bit_rate / f.sample_rate + f.padding;
  return true;
}

bool parse_ac3_header(std::span<const uint8_t> b, Ac3Frame& f) {
  if (b.size() < kAc3HeaderBytes || b[0] != 0x0B || b[1] != 0x77) return false;
  unsigned fscod = b[4] >> 6, frmsizecod = b[4] & 0x3F, bsid = b[5] >> 3;
  if (fscod == 3 || frmsizecod >= 2 * kAc3Rates.size() || bsid > 10) return false;
  f = Ac3Frame{};
  uint32_t kbps = kAc3Rates[frmsizecod / 2];
  f.sample_rate = kAc3SampleRates[fscod];
  f.bit_rate = kbps * 1000;
  uint32_t words = fscod == 0   ? 2 * kbps
                   : fscod == 2 ? 3 * kbps
                                : kbps * 1536000 / 705600 + (frmsizecod & 1);
  f.length = 2 * words;
  f.acmod = uint8_t(b[6] >> 5);
  size_t at = 51;                              // after acmod
  if ((f.acmod & 1) && f.acmod != 1) at += 2;  // cmixlev
  if (f.acmod & 4) at += 2;                    // surmixlev
  if (f.acmod == 2) at += 2;                   // dsurmod
  f.lfeon = bits(b, at, 1) != 0;
  f.channels = uint8_t(kAc3Channels[f.acmod] + (f.lfeon ? 1 : 0));
  return true;
}

bool parse_dts_header(std::span<const uint8_t> b, DtsFrame& f) {
  if (b.size() < kDtsHeaderBytes || b[0] != 0x7F || b[1] != 0xFE || b[2] != 0x80 || b[3] != 0x01)
    return false;
  uint32_t nblks = bits(b, 39, 7), fsize = bits(b, 46, 14);
  uint32_t amode = bits(b, 60, 6), sfreq = bits(b, 66, 4), lff = bits(b, 85, 2);
  if (nblks < 5 || fsize < 95 || kDtsSampleRates[sfreq] == 0 || lff == 3) return false;
  f = DtsFrame{};
  f.sample_rate = kDtsSampleRates[sfreq];
  f.length = fsize + 1;
  f.samples = (nblks + 1) * 32;
  f.amode = uint8_t(amode);
  f.lfe = lff != 0;
  f.channels = uint8_t((amode < kDtsChannels.size() ? kDtsChannels[amode] : 0) + (lff ? 1 : 0));
  return true;
}

}  // namespace psrate
