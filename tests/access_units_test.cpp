// SPDX-License-Identifier: MIT
// Access units found in elementary stream bytes, fed whole and in every split:
// video pictures with their sequence and GOP headers, field pictures and the
// sequence end; MPEG audio, AC-3 and DTS frames with resyncs and free format;
// LPCM frames from their pointer; subpicture units.
#include <gtest/gtest.h>

#include <vector>

#include "pstd/access_units.hpp"
#include "pstd/clock.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

using Marks = std::vector<AuMark>;

// Feeds `bytes` in chunks of `chunk` bytes (a second call for what a full
// array of marks left), then ends the segment.
template <typename Scan>
Marks scan_in_chunks(const Bytes& bytes, size_t chunk, Scan&& scan) {
  Marks all;
  for (size_t at = 0; at < bytes.size();) {
    size_t n = std::min(chunk, bytes.size() - at);
    AuMarks marks;
    size_t taken = scan(std::span<const uint8_t>(bytes.data() + at, n), marks);
    all.insert(all.end(), marks.mark.begin(), marks.mark.begin() + long(marks.count));
    at += taken;
  }
  return all;
}

void expect_same(const Marks& a, const Marks& b, size_t chunk) {
  ASSERT_EQ(a.size(), b.size()) << "chunk " << chunk;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].kind, b[i].kind) << i << " chunk " << chunk;
    EXPECT_EQ(a[i].pos, b[i].pos) << i << " chunk " << chunk;
    EXPECT_EQ(a[i].end, b[i].end) << i << " chunk " << chunk;
    EXPECT_EQ(a[i].picture.type, b[i].picture.type) << i << " chunk " << chunk;
  }
}

// --- video ---

struct VideoStream {
  Bytes bytes;
  size_t add(std::initializer_list<uint8_t> b) {
    size_t at = bytes.size();
    bytes.insert(bytes.end(), b);
    return at;
  }
  size_t code(uint8_t c) { return add({0, 0, 1, c}); }
  // picture_start_code, temporal_reference 0, picture_coding_type
  size_t picture(uint8_t type) {
    size_t at = code(0x00);
    add({0x00, uint8_t(type << 3), 0xFF, 0xF8});
    return at;
  }
  // picture_coding_extension: f_codes, then structure, top_field_first, repeat_first_field,
  // progressive_frame
  void picture_ext(uint8_t structure, bool tff, bool rff, bool progressive) {
    code(0xB5);
    add({0x8F, 0xFF, uint8_t(0xF0 | structure), uint8_t((tff ? 0x80 : 0) | (rff ? 0x02 : 0) | 0x01),
         uint8_t(progressive ? 0x80 : 0), 0x00});
  }
  void slices(size_t n) {
    code(0x01);
    bytes.insert(bytes.end(), n, 0x55);
  }
};

TEST(VideoUnits, SequenceGopPicturesAndTheEnd) {
  VideoStream v;
  size_t seq = v.code(0xB3);
  v.add({0x2D, 0x02, 0x40, 0x23, 0x17, 0xED, 0x23, 0x80});  // 720x576, 25 fps
  v.code(0xB5);
  v.add({0x14, 0x82, 0x00, 0x01, 0x00, 0x00});  // sequence_extension, interlaced
  v.code(0xB8);
  v.add({0x00, 0x08, 0x00, 0x00});
  size_t i_pic = v.picture(1);
  v.picture_ext(3, true, false, false);
  v.slices(300);
  size_t b_pic = v.picture(3);
  v.picture_ext(3, true, true, false);
  v.slices(200);
  size_t seq2 = v.code(0xB3);
  v.add({0x2D, 0x02, 0x40, 0x23, 0x17, 0xED, 0x23, 0x80});
  v.code(0xB5);
  v.add({0x14, 0x82, 0x00, 0x01, 0x00, 0x00});
  v.code(0xB8);
  v.add({0x00, 0x08, 0x00, 0x00});
  size_t p_pic = v.picture(2);
  v.slices(100);
  size_t end = v.code(0xB7);
  (void)seq;

  auto scan = [](size_t chunk, const Bytes& b, VideoScanner& s) {
    return scan_in_chunks(
        b, chunk, [&s](std::span<const uint8_t> in, AuMarks& m) { return scan_video(s, in, m); });
  };
  VideoScanner whole;
  Marks marks = scan(v.bytes.size(), v.bytes, whole);
  ASSERT_EQ(marks.size(), 6u);
  EXPECT_EQ(marks[0].kind, AuMark::Commence);
  EXPECT_EQ(marks[0].pos, i_pic);
  EXPECT_EQ(marks[1].kind, AuMark::End);  // the I picture ends where the B picture starts
  EXPECT_EQ(marks[1].end, b_pic);
  EXPECT_EQ(marks[1].picture.type, PictureType::I);
  EXPECT_TRUE(marks[1].picture.top_field_first);
  EXPECT_FALSE(marks[1].picture.repeat_first_field);
  EXPECT_EQ(marks[2].pos, b_pic);
  EXPECT_EQ(marks[3].end, seq2);  // the next unit starts at its sequence header
  EXPECT_EQ(marks[3].picture.type, PictureType::B);
  EXPECT_TRUE(marks[3].picture.repeat_first_field);
  EXPECT_EQ(marks[4].pos, p_pic);
  EXPECT_EQ(marks[5].end, end + 4);  // the sequence_end_code ends the last unit
  EXPECT_EQ(marks[5].picture.type, PictureType::P);
  EXPECT_TRUE(marks[5].picture.progressive_frame);  // MPEG-1 defaults without an extension
  EXPECT_EQ(whole.sequence.frame_rate_code, 3);
  EXPECT_TRUE(whole.sequence.mpeg2);
  EXPECT_FALSE(whole.sequence.progressive_sequence);
  for (size_t chunk : {1, 2, 3, 5, 7, 64}) {
    VideoScanner s;
    expect_same(scan(chunk, v.bytes, s), marks, chunk);
  }
}

TEST(VideoUnits, EachFieldPictureIsAUnit) {
  VideoStream v;
  size_t top = v.picture(1);
  v.picture_ext(1, true, false, false);
  v.slices(50);
  size_t bottom = v.picture(2);
  v.picture_ext(2, false, false, false);
  v.slices(50);
  VideoScanner s;
  AuMarks m;
  scan_video(s, v.bytes, m);
  end_video(s, m);
  ASSERT_EQ(m.count, 4u);
  EXPECT_EQ(m.mark[1].end, bottom);
  EXPECT_EQ(m.mark[1].picture.structure, 1);
  EXPECT_EQ(m.mark[0].pos, top);
  EXPECT_EQ(m.mark[3].end, v.bytes.size());  // the segment's last byte
  EXPECT_EQ(m.mark[3].picture.structure, 2);
  EXPECT_EQ(m.mark[3].picture.type, PictureType::P);
}

// A full array of marks stops the scan; the rest is taken by the next call.
TEST(VideoUnits, AFullArrayOfMarksResumes) {
  VideoStream v;
  for (int k = 0; k < 100; ++k) {
    v.picture(1);
    v.slices(3);
  }
  VideoScanner s;
  Marks all = scan_in_chunks(
      v.bytes, v.bytes.size(),
      [&s](std::span<const uint8_t> in, AuMarks& m) { return scan_video(s, in, m); });
  EXPECT_EQ(all.size(), 199u);  // 100 commence, 99 ends
}

// --- framed audio ---

// MPEG-1 Layer II, 192 kbit/s, 48 kHz: 576-byte frames.
Bytes mp2_frame(uint8_t fill) {
  Bytes f(576, fill);
  f[0] = 0xFF;
  f[1] = 0xFD;
  f[2] = 0xA4;
  f[3] = 0x04;
  return f;
}

TEST(FrameUnits, MpegAudioWithAResync) {
  Bytes b = mp2_frame(0x11);
  Bytes f2 = mp2_frame(0x22), f3 = mp2_frame(0x33);
  b.insert(b.end(), f2.begin(), f2.end());
  b.insert(b.end(), {0x00, 0x12, 0x34});  // junk: the third header comes late
  b.insert(b.end(), f3.begin(), f3.end());
  FrameScanner whole;
  Marks marks = scan_in_chunks(b, b.size(), [&whole](std::span<const uint8_t> in, AuMarks& m) {
    return scan_frames(whole, in, m);
  });
  ASSERT_EQ(marks.size(), 3u);
  EXPECT_EQ(marks[0].pos, 0u);
  EXPECT_EQ(marks[0].end, 576u);
  EXPECT_EQ(marks[0].samples, 1152u);
  EXPECT_EQ(marks[0].sample_rate, 48000u);
  EXPECT_EQ(marks[1].pos, 576u);
  EXPECT_EQ(marks[2].pos, 1155u);
  EXPECT_EQ(whole.resyncs, 1u);
  for (size_t chunk : {1, 2, 3, 4, 5, 577}) {
    FrameScanner s;
    expect_same(scan_in_chunks(b, chunk,
                               [&s](std::span<const uint8_t> in, AuMarks& m) {
                                 return scan_frames(s, in, m);
                               }),
                marks, chunk);
    EXPECT_EQ(s.resyncs, 1u);
  }
}

// Each layer's frame: its length from the header (slots of 4 bytes for Layer I,
// the padding slot, half the samples for MPEG-2 Layer III) and its samples.
struct LayerCase {
  const char* name;
  uint8_t b1, b2;  // header bytes 1 and 2
  uint32_t bytes, samples, rate;
};

class Layers : public ::testing::TestWithParam<LayerCase> {};

TEST_P(Layers, FrameLengthAndSamples) {
  const LayerCase& c = GetParam();
  Bytes b;
  for (int f = 0; f < 3; ++f) {
    size_t at = b.size();
    b.resize(at + c.bytes, 0x11);
    b[at] = 0xFF;
    b[at + 1] = c.b1;
    b[at + 2] = c.b2;
    b[at + 3] = 0x04;
  }
  FrameScanner s;
  Marks marks = scan_in_chunks(
      b, 7, [&s](std::span<const uint8_t> in, AuMarks& m) { return scan_frames(s, in, m); });
  ASSERT_EQ(marks.size(), 3u);
  for (size_t f = 0; f < 3; ++f) {
    EXPECT_EQ(marks[f].pos, f * c.bytes);
    EXPECT_EQ(marks[f].samples, c.samples);
    EXPECT_EQ(marks[f].sample_rate, c.rate);
  }
  EXPECT_EQ(s.resyncs, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    FrameUnits, Layers,
    ::testing::Values(LayerCase{"layer_1_384k_48k", 0xFF, 0xC4, 384, 384, 48000},
                      LayerCase{"layer_2_192k_48k", 0xFD, 0xA4, 576, 1152, 48000},
                      LayerCase{"layer_3_128k_44k1_padded", 0xFB, 0x92, 418, 1152, 44100},
                      LayerCase{"mpeg2_layer_3_64k_24k", 0xF3, 0x84, 192, 576, 24000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameUnits, FreeFormatEndsAtTheNextHeader) {
  Bytes b(300, 0x11);
  b[0] = 0xFF;
  b[1] = 0xFD;
  b[2] = 0x04;  // bitrate index 0: free format
  b[3] = 0x04;
  Bytes next = mp2_frame(0x22);
  b.insert(b.end(), next.begin(), next.end());
  FrameScanner s;
  AuMarks m;
  scan_frames(s, b, m);
  ASSERT_EQ(m.count, 3u);
  EXPECT_EQ(m.mark[0].end, 0u);  // unknown until the next header
  EXPECT_EQ(m.mark[1].kind, AuMark::End);
  EXPECT_EQ(m.mark[1].end, 300u);
  EXPECT_EQ(m.mark[2].pos, 300u);
  EXPECT_EQ(s.resyncs, 0u);
}

// AC-3 at 44.1 kHz, 192 kbit/s: 417 words, 418 with frmsizecod odd.
TEST(FrameUnits, Ac3At44100AlternatesItsLength) {
  Bytes b;
  for (uint8_t code : {0x54, 0x55, 0x54}) {  // fscod 1, frmsizecod 20 and 21
    Bytes f((code & 1) ? 836 : 834, 0x00);
    f[0] = 0x0B;
    f[1] = 0x77;
    f[4] = code;
    f[5] = 0x40;  // bsid 8
    b.insert(b.end(), f.begin(), f.end());
  }
  FrameScanner s;
  s.codec = FrameCodec::Ac3;
  AuMarks m;
  scan_frames(s, b, m);
  ASSERT_EQ(m.count, 3u);
  EXPECT_EQ(m.mark[1].pos, 834u);
  EXPECT_EQ(m.mark[2].pos, 834u + 836);
  EXPECT_EQ(m.mark[2].samples, 1536u);
  EXPECT_EQ(m.mark[2].sample_rate, 44100u);
  EXPECT_EQ(s.resyncs, 0u);
}

// --- LPCM and subpictures ---

TEST(LpcmUnits, FramesFromThePointer) {
  LpcmScanner s;
  s.frame_bytes = 48000 / 600 * 2 * 2;  // 16-bit stereo
  s.sample_rate = 48000;
  Bytes packet(1000, 0);
  AuMarks m;
  scan_lpcm(s, packet, 10, m);
  ASSERT_EQ(m.count, 4u);  // 10, 330, 650, 970
  EXPECT_EQ(m.mark[3].pos, 970u);
  EXPECT_EQ(m.mark[3].end, 1290u);
  AuMarks m2;
  scan_lpcm(s, packet, 5, m2);  // a later pointer changes nothing: frames run on
  EXPECT_EQ(m2.mark[0].pos, 1290u);
}

TEST(SpuUnits, SizeFromItsFirstTwoBytes) {
  SpuScanner s;
  Bytes first = {0x00, 0x10, 1, 2, 3, 4, 5, 6, 7, 8};
  Bytes second = {9, 10, 11, 12, 13, 14, 0x00, 0x08};
  AuMarks m;
  scan_spu(s, first, true, m);
  scan_spu(s, second, false, m);
  ASSERT_EQ(m.count, 2u);
  EXPECT_EQ(m.mark[0].pos, 0u);
  EXPECT_EQ(m.mark[1].end, 16u);
  Bytes small = {0x00, 0x04, 0, 0};
  AuMarks none;
  scan_spu(s, small, false, none);  // no PTS: no unit begins
  EXPECT_EQ(none.count, 0u);
  AuMarks next;
  scan_spu(s, small, true, next);
  ASSERT_EQ(next.count, 2u);
  EXPECT_EQ(next.mark[0].pos, 22u);
  EXPECT_EQ(next.mark[1].end, 26u);
}

// --- exact time ---

TEST(Clock, ArrivalAndTheBytesBeforeAnInstant) {
  PackClock c{1000, 8, 25200};  // SCR 1000 at byte 8, 10.08 Mbit/s
  EXPECT_EQ(arrival(c, 8), ticks(1000));
  // one byte takes 540000 / 25200 = 21.43 ticks
  EXPECT_EQ(floor_ticks(arrival(c, 2056)), 1000 + 2048 * 540000 / 25200);
  Instant t = arrival(c, 500);
  EXPECT_EQ(bytes_before(c, 0, 2048, t), 500u);  // bytes 0..499 arrive before t
  EXPECT_EQ(bytes_before(c, 0, 2048, plus(t, 1, 1)), 501u);
  EXPECT_EQ(bytes_before(c, 600, 2048, t), 0u);
  EXPECT_EQ(bytes_before(c, 0, 100, t), 100u);
  EXPECT_EQ(bytes_before(c, 0, 2048, ticks(0)), 0u);
  EXPECT_TRUE(plus(ticks(3), 1, 2) < ticks(4));
  EXPECT_EQ(plus(ticks(3), 1, 2), (Instant{7, 2}));
  EXPECT_EQ(floor_ticks(Instant{-1, 2}), -1);
}

TEST(Clock, UnwrapNearest) {
  constexpr int64_t kWrap = int64_t(1) << 33;
  EXPECT_EQ(unwrap33(5, kWrap - 10), kWrap + 5);  // past the wrap
  EXPECT_EQ(unwrap33(kWrap - 5, 10), -5);         // a little before zero
  EXPECT_EQ(unwrap33(100, 90), 100);
  EXPECT_EQ(unwrap33(100, 3 * kWrap + 50), 3 * kWrap + 100);
}

}  // namespace
}  // namespace psrate::test
