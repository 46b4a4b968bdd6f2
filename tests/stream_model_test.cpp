// SPDX-License-Identifier: MIT
// One stream's P-STD: pictures carried in packs at 10.08 Mbit/s, decoding
// times stamped or extrapolated, skipped units, ignored and mismatched
// timestamps, underflows and overflows from the exact unit.
#include <gtest/gtest.h>

#include <vector>

#include "pstd/stream_model.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

constexpr uint32_t kRate = 25200;  // 10.08 Mbit/s
constexpr size_t kPacketBytes = 2000;
constexpr size_t kPackBytes = 2048;
constexpr size_t kPictureBytes = 40000;
constexpr int64_t kFrame = 1080000;  // 25 fps

// A sequence header (25 fps, MPEG-1: no extension), then `pictures` I and P
// pictures of 40000 bytes each.
Bytes video(size_t pictures) {
  Bytes b = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x17, 0xED, 0x23, 0x80};
  for (size_t j = 0; j < pictures; ++j) {
    size_t start = b.size();
    b.insert(b.end(), {0x00, 0x00, 0x01, 0x00, 0x00, uint8_t((j == 0 ? 1 : 2) << 3), 0xFF, 0xF8});
    b.resize(start + kPictureBytes, 0x55);
  }
  return b;
}

struct Timing {
  int64_t first_dts = 8'100'000 / 300;  // 90 kHz: 0.3 s
  size_t stamp_every = 1;               // a DTS on every picture's first packet, or every n-th
  size_t unstamped_first = 0;           // pictures before the first stamp
  uint64_t size = 4 << 20;
  int64_t shift_picture = -1;  // this picture's DTS one 90 kHz tick late
};

// Packet k of the stream's bytes, 2000 of them, in a pack of its own at
// k x 2048 bytes, arriving at 10.08 Mbit/s from the pack's SCR.
StreamPacket packet_at(const Bytes& es, size_t k, uint64_t size) {
  size_t from = k * kPacketBytes, n = std::min(kPacketBytes, es.size() - from);
  StreamPacket p;
  p.offset = k * kPackBytes + 48;
  p.payload = std::span<const uint8_t>(es.data() + from, n);
  p.clock = {int64_t(k * kPackBytes * 540000 / kRate), k * kPackBytes + 8, kRate};
  p.size = size;
  return p;
}

// Each packet in a pack of its own, 2048 bytes apart; the bytes after the
// pack header and PES header are the packet's payload.
StreamModel run(const Bytes& es, const Timing& t) {
  StreamModel s = stream_model(BufferKind::Video);
  size_t picture = 0;
  for (size_t k = 0; k * kPacketBytes < es.size(); ++k) {
    size_t from = k * kPacketBytes, n = std::min(kPacketBytes, es.size() - from);
    StreamPacket p = packet_at(es, k, t.size);
    // the picture that commences in this packet, if any
    size_t first_picture = from <= 12 ? 0 : (from - 12 + kPictureBytes - 1) / kPictureBytes;
    size_t at = 12 + first_picture * kPictureBytes;
    if (at < from + n && at + 4 <= from + n) {
      picture = first_picture;
      bool stamp = picture >= t.unstamped_first && picture % t.stamp_every == 0;
      p.has_pts = p.has_dts = stamp;
      p.dts =
          t.first_dts + int64_t(picture) * (kFrame / 300) + (int64_t(picture) == t.shift_picture);
      p.pts = p.dts;
    }
    stream_packet(s, p);
  }
  stream_end(s);
  return s;
}

TEST(StreamModel, InTimeAndWithinTheBuffer) {
  StreamModel s = run(video(50), {});
  EXPECT_FALSE(s.stopped);
  EXPECT_EQ(s.counts.stamped, 50u);
  EXPECT_EQ(s.counts.extrapolated, 0u);
  EXPECT_EQ(s.underflows.count, 0u);
  EXPECT_EQ(s.buffer.figures.overflows, 0u);
  // the first unit (with its sequence header) leaves at 0.3 s: by then 10.08 Mbit/s
  // brought 0.3 s x 1,260,000 bytes/s, less what the first byte's pack took to come
  EXPECT_GT(s.buffer.figures.peak, 300000u);
  EXPECT_LT(s.buffer.figures.peak, 4u << 20);
}

TEST(StreamModel, ExtrapolatedBetweenStamps) {
  Timing t;
  t.stamp_every = 5;
  StreamModel s = run(video(50), t);
  EXPECT_EQ(s.counts.stamped, 10u);
  EXPECT_EQ(s.counts.extrapolated, 40u);
  EXPECT_EQ(s.counts.timestamp_mismatches, 0u);  // I and P: one frame each
  // a stamp one 90 kHz tick off: it differs from the extrapolation, and the
  // next stamp from the extrapolation that followed it
  t.shift_picture = 25;
  EXPECT_EQ(run(video(50), t).counts.timestamp_mismatches, 2u);
}

TEST(StreamModel, UnitsBeforeTheFirstStampAreSkipped) {
  Timing t;
  t.unstamped_first = 3;
  StreamModel s = run(video(20), t);
  EXPECT_EQ(s.counts.skipped, 3u);
  EXPECT_EQ(s.counts.stamped, 17u);
  EXPECT_EQ(s.start, 12 + 3 * kPictureBytes);  // the buffer starts at the first stamped picture
}

TEST(StreamModel, LateUnitsUnderflow) {
  Timing t;
  t.first_dts = 0;  // picture 0 is due at 0, its last byte comes at 32 ms
  StreamModel s = run(video(10), t);
  EXPECT_GT(s.underflows.count, 0u);
  EXPECT_EQ(s.underflows.first_offset, 60u);  // picture 0 commences 12 bytes into the payload
  EXPECT_EQ(s.underflows.first_td, ticks(0));
}

TEST(StreamModel, ASmallBufferOverflows) {
  Timing t;
  t.size = 232 * 1024;
  StreamModel s = run(video(50), t);
  EXPECT_GT(s.buffer.figures.overflows, 0u);
  EXPECT_GT(s.buffer.figures.max_excess, 0u);
  EXPECT_EQ(s.buffer.figures.peak_size, 232u * 1024);
}

// A picture_start_code whose first bytes end a packet: the picture commences
// there, and takes that packet's timestamp.
TEST(StreamModel, AStartCodeAcrossPacketsTakesTheFirstPacketsStamp) {
  Bytes es = video(2);
  size_t second = 12 + kPictureBytes;  // picture 1's start code
  std::vector<std::pair<size_t, int64_t>> packets = {
      {0, 27000}, {2000, 27000 + 3600}, {second + 2, -1}};  // payload starts and PTS
  StreamModel s = stream_model(BufferKind::Video);
  for (size_t k = 0; k < packets.size(); ++k) {
    size_t from = packets[k].first;
    size_t to = k + 1 < packets.size() ? packets[k + 1].first : es.size();
    StreamPacket p;
    p.offset = k * 100000 + 48;
    p.payload = std::span<const uint8_t>(es.data() + from, to - from);
    p.clock = {int64_t(k * 40000), k * 100000 + 8, kRate};
    p.size = 4 << 20;
    // the second packet ends with the first two bytes of picture 1's start code
    p.has_pts = packets[k].second >= 0;
    p.pts = packets[k].second;
    stream_packet(s, p);
  }
  stream_end(s);
  EXPECT_EQ(s.counts.stamped, 2u);
  EXPECT_EQ(s.counts.timestamps_ignored, 0u);
  EXPECT_EQ(s.counts.timestamp_mismatches, 0u);
}

// `count` MPEG-1 Layer II frames of 576 bytes (192 kbit/s, 1152 samples at 48 kHz).
Bytes mp2_frames(int count) {
  Bytes es;
  for (int f = 0; f < count; ++f) {
    size_t at = es.size();
    es.resize(at + 576, 0x11);
    es[at] = 0xFF;
    es[at + 1] = 0xFD;
    es[at + 2] = 0xA4;
    es[at + 3] = 0x04;
  }
  return es;
}

// MPEG-1 Layer II frames of 576 bytes (1152 samples at 48 kHz: 648000 ticks),
// 2000 bytes a packet, the first frame commencing in each packet stamped.
TEST(StreamModel, AudioFramesStampedAndExtrapolated) {
  Bytes es = mp2_frames(100);
  StreamModel s = stream_model(BufferKind::MpegAudio);
  uint64_t stamped = 0;
  for (size_t k = 0; k * kPacketBytes < es.size(); ++k) {
    size_t from = k * kPacketBytes, n = std::min(kPacketBytes, es.size() - from);
    StreamPacket p = packet_at(es, k, 4096 * 4);
    size_t frame = (from + 575) / 576;  // the first frame commencing here
    if (frame * 576 < from + n) {
      p.has_pts = true;
      p.pts = 27000 + int64_t(frame) * 2160;  // 0.3 s, then 24 ms a frame
      ++stamped;
    }
    stream_packet(s, p);
  }
  stream_end(s);
  EXPECT_EQ(s.counts.stamped, stamped);
  EXPECT_EQ(s.counts.stamped + s.counts.extrapolated, 100u);
  EXPECT_EQ(s.counts.timestamp_mismatches, 0u);
  EXPECT_EQ(s.underflows.count, 0u);
  EXPECT_EQ(s.frames.resyncs, 0u);
  // 0.3 s of 10.08 Mbit/s arrive before the first frame leaves: the 16 KiB overflow
  EXPECT_GT(s.buffer.figures.overflows, 0u);
}

// DVD audio packets state how many frames commence in them and where the
// first one does. A sync word split between two packets commences in the
// first: it is found only when the second is scanned.
struct PointerCase {
  const char* name;
  size_t cut;        // where the first packet ends: frame 1 commences at 576
  int frames_error;  // added to the first packet's true count
  uint64_t mismatches;
};

class Pointers : public ::testing::TestWithParam<PointerCase> {};

TEST_P(Pointers, CountWhatCommencesInEachPacket) {
  Bytes es = mp2_frames(4);
  const PointerCase& c = GetParam();
  std::vector<size_t> cuts = {0, c.cut, 1500, es.size()};
  StreamModel s = stream_model(BufferKind::MpegAudio);
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    StreamPacket p;
    p.offset = k * 2048 + 48;
    p.payload = std::span<const uint8_t>(es.data() + cuts[k], cuts[k + 1] - cuts[k]);
    p.clock = {int64_t(k * 2048 * 540000 / kRate), k * 2048 + 8, kRate};
    p.size = 4096;
    p.has_pts = true;
    p.pts = 27000 + int64_t((cuts[k] + 575) / 576) * 2160;
    size_t first = (cuts[k] + 575) / 576, end = (cuts[k + 1] + 575) / 576;
    p.frames = int(end - first) + (k == 0 ? c.frames_error : 0);
    p.pointer = int64_t(first * 576 - cuts[k]);
    stream_packet(s, p);
  }
  stream_end(s);
  EXPECT_EQ(s.counts.pointer_mismatches, c.mismatches);
}

INSTANTIATE_TEST_SUITE_P(
    StreamModel, Pointers,
    ::testing::Values(PointerCase{"between_frames", 576, 0, 0},
                      PointerCase{"one_sync_byte_before_the_cut", 577, 0, 0},
                      PointerCase{"three_sync_bytes_before_the_cut", 579, 0, 0},
                      PointerCase{"the_whole_header_before_the_cut", 580, 0, 0},
                      PointerCase{"one_frame_too_many", 577, 1, 1},
                      PointerCase{"one_frame_too_few", 579, -1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace psrate::test
