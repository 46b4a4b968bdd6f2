// SPDX-License-Identifier: MIT
// The census of elementary streams: codec parameters from the first whole
// header (split across packets too), payload bytes, timestamps and their spans.
#include <gtest/gtest.h>

#include <vector>

#include "es/census.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

// An MPEG-2 PES packet: '10' flags, PTS when given, then the payload.
Bytes pes(uint8_t id, const Bytes& payload, bool with_pts = false, uint64_t pts = 0) {
  Bytes p = {0, 0, 1, id, 0, 0, 0x80, uint8_t(with_pts ? 0x80 : 0), uint8_t(with_pts ? 5 : 0)};
  if (with_pts)
    for (uint8_t b : {uint8_t(0x21 | (pts >> 29 & 0x0E)), uint8_t(pts >> 22),
                      uint8_t(pts >> 14 | 1), uint8_t(pts >> 7), uint8_t(pts << 1 | 1)})
      p.push_back(b);
  for (uint8_t b : payload) p.push_back(b);
  p[4] = uint8_t((p.size() - 6) >> 8);
  p[5] = uint8_t(p.size() - 6);
  return p;
}

// Walks the bytes as the audit does, every PES packet whole, and takes each into a census.
StreamCensus& census_of(const Bytes& stream, size_t window = kWindowSize) {
  static StreamCensus census;
  census = StreamCensus{};
  std::vector<uint8_t> buffer(window);
  Bytes copy = stream;
  MemoryBytes memory{copy};
  CensusWalk consumer{&census};
  EXPECT_EQ(walk(memory_source(memory), {true, true}, buffer, consumer), Failure::None);
  return census;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// 720x576, 4:3, 25 fps, 9.8 Mbit/s, vbv 112, no matrices; a sequence extension
// for Main@Main, interlaced; then a GOP start code.
const Bytes kSequence = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x17,
                         0xED, 0x23, 0x80, 0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A,
                         0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0xB8};

TEST(Census, VideoHeaderSplitAcrossPackets) {
  for (size_t split : {size_t(0), size_t(2), size_t(5), size_t(13), size_t(17), size_t(25)}) {
    Bytes first(kSequence.begin(), kSequence.begin() + long(split));
    Bytes rest(kSequence.begin() + long(split), kSequence.end());
    first.insert(first.begin(), {0x00, 0x00, 0x00});  // bytes before the header
    Bytes stream =
        join({StreamBuilder{}.pack(25200).data, pes(0xE0, first, true, 3600), pes(0xE0, rest),
              pes(0xE0, Bytes(100, 0x11), true, 7200), StreamBuilder{}.end().data});
    for (size_t window : {kWindowSize, kMinWindowSize}) {
      const StreamCount& v = census_of(stream, window).ids[0xE0];
      SCOPED_TRACE(testing::Message() << "split " << split << " window " << window);
      EXPECT_EQ(v.codec, Codec::Mpeg2Video);
      EXPECT_EQ(v.video.width, 720u);
      EXPECT_EQ(v.video.height, 576u);
      EXPECT_EQ(v.video.aspect_ratio_information, 2);
      EXPECT_EQ(declared_bit_rate(v.video), 9800000u);
      EXPECT_EQ(v.video.profile_and_level, 0x48);
      EXPECT_EQ(v.packets, 3u);
      EXPECT_EQ(v.payload_bytes, kSequence.size() + 3 + 100);
      EXPECT_EQ(v.first_pts, 3600u);
      EXPECT_EQ(v.last_pts, 7200u);
      EXPECT_EQ(pts_span(v), 3600u);
    }
  }
}

// A header whose quantiser matrices the data does not hold waits for them and
// reads nothing past what it holds.
TEST(Census, SequenceHeaderCutInItsMatrices) {
  Bytes seq(kSequence.begin(), kSequence.begin() + 12);
  seq[11] |= 0x02;  // load_intra_quantiser_matrix: 64 bytes follow
  seq.insert(seq.end(), 20, 0x10);
  const StreamCount& v = census_of(join({StreamBuilder{}.pack(25200).data, pes(0xE0, seq),
                                         StreamBuilder{}.end().data}))
                             .ids[0xE0];
  EXPECT_EQ(v.codec, Codec::Unknown);
  EXPECT_EQ(v.tail_size, seq.size());
}

TEST(Census, Mpeg1VideoHasNoExtension) {
  Bytes seq(kSequence.begin(), kSequence.begin() + 12);
  seq.insert(seq.end(), {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00});
  const StreamCount& v = census_of(join({StreamBuilder{}.pack1(3528).data, pes(0xE0, seq),
                                         StreamBuilder{}.end().data}))
                             .ids[0xE0];
  EXPECT_EQ(v.codec, Codec::Mpeg1Video);
  EXPECT_FALSE(v.video.mpeg2);
}

TEST(Census, AudioAndPrivateStreamOneSubStreams) {
  // MPEG-1 Layer II, 224 kbit/s, 48 kHz, stereo
  Bytes mp2 = {0xFF, 0xFD, 0xB4, 0x04, 0x00, 0x00};
  // AC-3 2.0 at 48 kHz, 192 kbit/s, after its 4-byte sub-stream header
  Bytes ac3 = {0x80, 0x01, 0x00, 0x01, 0x0B, 0x77, 0x00, 0x00, 0x14, 0x40, 0x40, 0x00};
  // DTS 5.1 at 48 kHz
  Bytes dts = {0x88, 0x01, 0x00, 0x01, 0x7F, 0xFE, 0x80, 0x01,
               0xFC, 0x3C, 0x7D, 0xC2, 0x75, 0xE0, 0x02, 0x00};
  // LPCM 16 bits 48 kHz 2 channels, then 8 bytes of samples
  Bytes lpcm = {0xA0, 0x01, 0x00, 0x04, 0x00, 0x01, 0x80, 1, 2, 3, 4, 5, 6, 7, 8};
  Bytes spu = {0x20, 0x00, 0x10, 0x00, 0x0C};
  StreamCensus& c =
      census_of(join({StreamBuilder{}.pack(25200).data, pes(0xC0, mp2, true, 900),
                      pes(0xBD, ac3, true, 1000), pes(0xBD, dts), pes(0xBD, lpcm), pes(0xBD, lpcm),
                      pes(0xBD, spu, true, 5000), StreamBuilder{}.end().data}));
  EXPECT_EQ(c.ids[0xC0].codec, Codec::MpegAudio);
  EXPECT_EQ(c.ids[0xC0].mpeg_audio.sample_rate, 48000u);
  EXPECT_EQ(c.ids[0xC0].mpeg_audio.channels, 2);
  EXPECT_EQ(c.ids[0xBD].packets, 5u);
  EXPECT_EQ(c.subs[0x80].codec, Codec::Ac3);
  EXPECT_EQ(c.subs[0x80].ac3.channels, 2);
  EXPECT_EQ(c.subs[0x80].payload_bytes, ac3.size() - 4);
  EXPECT_EQ(c.subs[0x80].first_pts, 1000u);
  EXPECT_EQ(c.subs[0x88].codec, Codec::Dts);
  EXPECT_EQ(c.subs[0x88].dts.channels, 6);
  EXPECT_EQ(c.subs[0x88].dts.sample_rate, 48000u);
  EXPECT_EQ(c.subs[0xA0].codec, Codec::Lpcm);
  EXPECT_EQ(c.subs[0xA0].lpcm.lpcm_channels, 2);
  EXPECT_EQ(c.subs[0xA0].lpcm.lpcm_bits, 16);
  EXPECT_EQ(c.subs[0xA0].packets, 2u);
  EXPECT_EQ(c.subs[0xA0].payload_bytes, 16u);
  EXPECT_EQ(c.subs[0x20].codec, Codec::Subpicture);
  EXPECT_EQ(c.bad_pes_headers, 0u);
}

TEST(Census, BadHeadersAreCountedAndTheirTimestampsIgnored) {
  Bytes bad = pes(0xE0, Bytes(20, 0x11), true, 90000);
  bad[13] &= 0xFE;  // a PTS marker bit
  StreamCensus& c =
      census_of(join({StreamBuilder{}.pack(25200).data, bad,
                      pes(0xE0, Bytes(20, 0x11), true, 180000), StreamBuilder{}.end().data}));
  EXPECT_EQ(c.bad_pes_headers, 1u);
  EXPECT_EQ(c.ids[0xE0].packets, 2u);
  EXPECT_EQ(c.ids[0xE0].first_pts, 180000u);
}

// PTS spans per segment, unwrapped modulo 2^33 nearest the segment's first:
// the largest minus the smallest, B-pictures out of order included.
TEST(Census, PtsSpansOverSegmentsAndTheWrap) {
  StreamCensus c;
  auto take = [&c](uint64_t pts) {
    Bytes p = pes(0xE0, Bytes(4, 0), true, pts);
    Unit u{};
    u.kind = UnitKind::Video;
    u.start_code = 0x1E0;
    u.length = p.size();
    u.bytes = p;
    census_take(c, u);
  };
  const uint64_t top = kTimestampModulus;
  for (uint64_t pts : {top - 3600, top - 7200, top - 1, uint64_t(3600), uint64_t(100)}) take(pts);
  EXPECT_EQ(pts_span(c.ids[0xE0]), 3600u + 7200u);
  census_break(c);
  for (uint64_t pts : {uint64_t(50000), uint64_t(40000), uint64_t(90000)}) take(pts);
  EXPECT_EQ(pts_span(c.ids[0xE0]), 3600u + 7200u + 50000u);
  EXPECT_EQ(c.ids[0xE0].spans, 1u);
  EXPECT_EQ(c.ids[0xE0].first_pts, top - 3600);
  EXPECT_EQ(c.ids[0xE0].last_pts, 90000u);
}

}  // namespace
}  // namespace psrate::test
