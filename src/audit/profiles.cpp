// SPDX-License-Identifier: MIT
#include "audit/profiles.hpp"

namespace psrate {

const ProfileRow* profile_row(bool mpeg2_packs, uint64_t pack_size) {
  for (const ProfileRow& p : kProfileRows)
    if (p.mpeg2_packs == mpeg2_packs && p.pack_size == pack_size) return &p;
  return nullptr;
}

const BufferSize* profile_bound(const ProfileRow& profile, uint8_t stream_id) {
  for (const BufferSize& b : profile.buffers)
    if (stream_id >= b.first_id && stream_id <= b.last_id) return &b;
  return nullptr;
}

uint32_t profile_buffer(const ProfileRow& profile, uint8_t stream_id) {
  for (const BufferSize& b : profile.buffers)
    if (stream_id >= b.first_id && stream_id <= b.last_id) return b.bytes;
  return 0;
}

namespace {

// Frame rates compared exactly, as fractions.
bool same_rate(const Rational& r, uint32_t num, uint32_t den) {
  return num == 0 || r.num * den == uint64_t(num) * r.den;
}

}  // namespace

bool video_fits(const ProfileRow& profile, const VideoParams& video) {
  if (video.mpeg2 ? !profile.mpeg2_video : !profile.mpeg1_video) return false;
  uint64_t rate = declared_bit_rate(video);
  if (rate != 0 && rate > profile.max_video_rate) return false;
  Rational fps = frame_rate(video);
  for (const PictureFormat& f : profile.pictures)
    if (f.width == video.width && f.height == video.height &&
        same_rate(fps, f.rate_num, f.rate_den))
      return true;
  return false;
}

}  // namespace psrate
