// SPDX-License-Identifier: MIT
// The profiles a program stream is made for, as data: one row each, with the
// pack layout that tells it, its rates, its decoder buffer sizes and the video
// it allows (DVD-Video; IEC 62107 for SVCD; the White Book for VCD).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "es/codecs.hpp"

namespace psrate {

// A P-STD buffer size for a range of stream ids, as a system header's bound holds it.
struct BufferSize {
  uint8_t first_id, last_id;
  uint8_t scale;   // P-STD_buffer_bound_scale: 0 for 128-byte units, 1 for 1024
  uint16_t units;  // P-STD_buffer_size_bound
  uint32_t bytes;
};

constexpr uint32_t bound_bytes(uint8_t scale, uint16_t units) {
  return uint32_t(units) * (scale ? 1024u : 128u);
}

// A picture size at a frame rate; a rate of 0/0 allows any.
struct PictureFormat {
  uint16_t width, height;
  uint32_t rate_num, rate_den;
};

struct ProfileRow {
  std::string_view name;
  bool mpeg2_packs;  // every pack MPEG-2; else every pack MPEG-1
  uint64_t pack_size;
  uint64_t standard_rate;  // bit/s, what the fields should hold
  uint64_t rate_limit;     // bit/s, what the SCRs may need
  std::span<const BufferSize> buffers;
  std::span<const PictureFormat> pictures;
  bool mpeg1_video, mpeg2_video;
  uint64_t max_video_rate;  // bit/s, the largest declared rate
};

inline constexpr std::array<BufferSize, 4> kDvdBuffers{{
    {0xE0, 0xE0, 1, 232, 237568},
    {0xC0, 0xC7, 0, 32, 4096},
    {0xBD, 0xBD, 1, 58, 59392},
    {0xBF, 0xBF, 1, 2, 2048},
}};
inline constexpr std::array<BufferSize, 2> kSvcdBuffers{{
    {0xE0, 0xE0, 1, 230, 235520},
    {0xC0, 0xC1, 0, 32, 4096},
}};
inline constexpr std::array<BufferSize, 2> kVcdBuffers{{
    {0xE0, 0xE0, 1, 46, 47104},
    {0xC0, 0xC0, 0, 32, 4096},
}};

inline constexpr std::array<PictureFormat, 8> kDvdPictures{{
    {720, 480, 30000, 1001},
    {704, 480, 30000, 1001},
    {352, 480, 30000, 1001},
    {352, 240, 30000, 1001},
    {720, 576, 25, 1},
    {704, 576, 25, 1},
    {352, 576, 25, 1},
    {352, 288, 25, 1},
}};
inline constexpr std::array<PictureFormat, 4> kSvcdPictures{
    {{480, 480, 0, 0}, {352, 480, 0, 0}, {480, 576, 0, 0}, {352, 576, 0, 0}}};
inline constexpr std::array<PictureFormat, 2> kVcdPictures{{{352, 240, 0, 0}, {352, 288, 0, 0}}};

inline constexpr std::array<ProfileRow, 3> kProfileRows{{
    {"dvd", true, 2048, 10'080'000, 10'080'000, kDvdBuffers, kDvdPictures, true, true, 9'800'000},
    {"svcd", true, 2324, 2'788'800, 2'788'800, kSvcdBuffers, kSvcdPictures, false, true, 2'600'000},
    {"vcd", false, 2324, 1'411'200, 1'411'200, kVcdBuffers, kVcdPictures, true, false, 1'152'000},
}};

constexpr bool buffer_sizes_agree() {
  for (const ProfileRow& p : kProfileRows)
    for (const BufferSize& b : p.buffers)
      if (bound_bytes(b.scale, b.units) != b.bytes || b.first_id > b.last_id) return false;
  return true;
}
static_assert(buffer_sizes_agree(),
              "each buffer size in bytes is its bound's units times its scale");

// The row for packs of one layout and size; nullptr for a generic stream.
const ProfileRow* profile_row(bool mpeg2_packs, uint64_t pack_size);

// The profile's buffer bound for a stream id, or nullptr.
const BufferSize* profile_bound(const ProfileRow& profile, uint8_t stream_id);

// The profile's buffer size for a stream id; 0 when it has none for it.
uint32_t profile_buffer(const ProfileRow& profile, uint8_t stream_id);

// The video fits the row: its MPEG version, its size at its frame rate, and its
// declared rate (a video that declares none is not judged on rate).
bool video_fits(const ProfileRow& profile, const VideoParams& video);

}  // namespace psrate
