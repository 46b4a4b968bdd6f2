// SPDX-License-Identifier: MIT
// PES headers, DVD sub-stream headers and elementary stream headers, built
// field by field as the standards lay them out.
#include <gtest/gtest.h>

#include <vector>

#include "es/codecs.hpp"
#include "es/pes.hpp"

namespace psrate {
namespace {

using Bytes = std::vector<uint8_t>;

// Fields most significant bit first, as the headers are written.
struct BitWriter {
  Bytes bytes;
  size_t bit = 0;
  BitWriter& put(uint64_t value, unsigned count) {
    for (unsigned i = count; i-- > 0; ++bit) {
      if (bit % 8 == 0) bytes.push_back(0);
      bytes.back() |= uint8_t(((value >> i) & 1) << (7 - bit % 8));
    }
    return *this;
  }
};

// '0010' or '0011' or '0001', then the 33 bits with a marker after 3, 15 and 15.
BitWriter& timestamp(BitWriter& w, unsigned prefix, uint64_t t, bool good_marker = true) {
  return w.put(prefix, 4)
      .put(t >> 30, 3)
      .put(1, 1)
      .put(t >> 15 & 0x7FFF, 15)
      .put(good_marker, 1)
      .put(t & 0x7FFF, 15)
      .put(1, 1);
}

// PES_packet_length set to the packet's size.
Bytes with_length(Bytes p) {
  p[4] = uint8_t((p.size() - 6) >> 8);
  p[5] = uint8_t(p.size() - 6);
  return p;
}

// An MPEG-2 PES packet of stream 0xE0 with the given header fields and 10 payload bytes.
Bytes mpeg2_packet(unsigned pts_dts, uint64_t pts, uint64_t dts, bool trick, bool pstd,
                   unsigned stuffing = 0, bool good_marker = true) {
  BitWriter h;
  if (pts_dts >= 2) timestamp(h, pts_dts == 3 ? 3 : 2, pts, good_marker);
  if (pts_dts == 3) timestamp(h, 1, dts);
  if (trick) h.put(0, 8);
  if (pstd) h.put(0x10, 8).put(1, 2).put(1, 1).put(232, 13);  // extension flags, '01' 1 232
  for (unsigned i = 0; i < stuffing; ++i) h.put(0xFF, 8);
  BitWriter p;
  p.put(0x000001E0, 32).put(0, 16).put(0x80, 8);
  p.put(pts_dts << 6 | (trick ? 0x08 : 0) | (pstd ? 0x01 : 0), 8).put(h.bytes.size(), 8);
  for (uint8_t b : h.bytes) p.put(b, 8);
  for (int i = 0; i < 10; ++i) p.put(0xAA, 8);
  return with_length(p.bytes);
}

TEST(PesHeader, Mpeg2EachFlagCombination) {
  const uint64_t pts = 0x1FFFFFFFFull, dts = 0x123456789ull;
  for (unsigned pts_dts : {0u, 2u, 3u})
    for (bool trick : {false, true})
      for (bool pstd : {false, true}) {
        Bytes p = mpeg2_packet(pts_dts, pts, dts, trick, pstd, 3);
        PesHeader h = parse_pes_header(p);
        SCOPED_TRACE(testing::Message() << pts_dts << trick << pstd);
        EXPECT_TRUE(h.valid);
        EXPECT_TRUE(h.mpeg2);
        EXPECT_EQ(h.has_pts, pts_dts >= 2);
        EXPECT_EQ(h.has_dts, pts_dts == 3);
        if (h.has_pts) {
          EXPECT_EQ(h.pts, pts);
        }
        if (h.has_dts) {
          EXPECT_EQ(h.dts, dts);
        }
        EXPECT_EQ(h.dsm_trick_mode, trick);
        EXPECT_EQ(h.has_std_buffer, pstd);
        if (pstd) {
          EXPECT_EQ(std_buffer_bytes(h.std_buffer_scale, h.std_buffer_size), 237568u);
        }
        EXPECT_EQ(h.payload, p.size() - 10);
      }
}

TEST(PesHeader, BadOrCutHeadersAreNotValid) {
  Bytes marker = mpeg2_packet(2, 90000, 0, false, false, 0, false);
  EXPECT_FALSE(parse_pes_header(marker).valid);
  Bytes past = mpeg2_packet(3, 90000, 87000, false, false);
  past[8] = uint8_t(past.size());  // PES_header_data_length beyond the packet
  EXPECT_FALSE(parse_pes_header(past).valid);
  Bytes short_length = mpeg2_packet(3, 90000, 87000, false, false);
  short_length[8] = 5;  // too short for PTS and DTS
  EXPECT_FALSE(parse_pes_header(short_length).valid);
  Bytes forbidden = mpeg2_packet(2, 90000, 0, false, false);
  forbidden[7] = 0x40;  // PTS_DTS_flags '01'
  EXPECT_FALSE(parse_pes_header(forbidden).valid);
  Bytes cut = mpeg2_packet(3, 90000, 87000, false, true);
  for (size_t n = 0; n < cut.size() - 10; ++n)
    EXPECT_FALSE(parse_pes_header({cut.data(), n}).valid) << n;
}

struct Mpeg1Case {
  const char* name;
  Bytes header;  // after the packet length
  bool valid;
  bool pts, dts, std_buffer;
};

TEST(PesHeader, Mpeg1Forms) {
  BitWriter pts, both, stuffed;
  timestamp(pts, 2, 3003);
  timestamp(timestamp(both, 3, 6006), 1, 3003);
  stuffed.put(0xFFFFFF, 24).put(1, 2).put(0, 1).put(32, 13);
  timestamp(stuffed, 2, 3003);
  for (const Mpeg1Case& c : {Mpeg1Case{"none", {0x0F}, true, false, false, false},
                             Mpeg1Case{"pts", pts.bytes, true, true, false, false},
                             Mpeg1Case{"pts_dts", both.bytes, true, true, true, false},
                             Mpeg1Case{"stuffed_std_pts", stuffed.bytes, true, true, false, true},
                             Mpeg1Case{"other_prefix", {0x5F}, false, false, false, false},
                             Mpeg1Case{"cut_pts", {0x21, 0x00}, false, false, false, false}}) {
    BitWriter packet;
    packet.put(0x000001C0, 32).put(0, 16);
    for (uint8_t b : c.header) packet.put(b, 8);
    Bytes p = packet.bytes;
    size_t payload = p.size();
    p.insert(p.end(), 4, 0x55);
    if (c.name == std::string("cut_pts")) p.resize(8);
    PesHeader h = parse_pes_header(p);
    EXPECT_EQ(h.valid, c.valid) << c.name;
    if (!c.valid) continue;
    EXPECT_FALSE(h.mpeg2);
    EXPECT_EQ(h.has_pts, c.pts) << c.name;
    EXPECT_EQ(h.has_dts, c.dts) << c.name;
    if (c.pts) {
      EXPECT_EQ(h.pts, c.dts ? 6006u : 3003u) << c.name;
    }
    if (c.dts) {
      EXPECT_EQ(h.dts, 3003u) << c.name;
    }
    EXPECT_EQ(h.has_std_buffer, c.std_buffer) << c.name;
    if (c.std_buffer) {
      EXPECT_EQ(std_buffer_bytes(h.std_buffer_scale, h.std_buffer_size), 4096u);
    }
    EXPECT_EQ(h.payload, payload) << c.name;
  }
}

TEST(SubStream, KindsAndHeaders) {
  struct Case {
    uint8_t id;
    SubStreamKind kind;
    size_t header;
  };
  for (const Case& c :
       {Case{0x20, SubStreamKind::Subpicture, 1}, Case{0x3F, SubStreamKind::Subpicture, 1},
        Case{0x80, SubStreamKind::Ac3, 4}, Case{0x87, SubStreamKind::Ac3, 4},
        Case{0x88, SubStreamKind::Dts, 4}, Case{0x8F, SubStreamKind::Dts, 4},
        Case{0xA0, SubStreamKind::Lpcm, 7}, Case{0xA7, SubStreamKind::Lpcm, 7},
        Case{0x1F, SubStreamKind::Other, 0}, Case{0x40, SubStreamKind::Other, 0},
        Case{0x90, SubStreamKind::Other, 0}, Case{0xA8, SubStreamKind::Other, 0}}) {
    SubStream s;
    Bytes payload = {c.id, 2, 0x01, 0x23, 0x00, 0b10'01'0'101, 0x80, 0xEE};
    ASSERT_TRUE(parse_sub_stream(payload, s));
    EXPECT_EQ(s.kind, c.kind) << int(c.id);
    EXPECT_EQ(s.header, c.header) << int(c.id);
    if (c.header == 4 || c.header == 7) {
      EXPECT_EQ(s.frames, 2);
      EXPECT_EQ(s.first_access_unit, 0x123);
    }
    if (c.kind == SubStreamKind::Lpcm) {
      EXPECT_EQ(s.lpcm_bits, 24);
      EXPECT_EQ(s.lpcm_rate, 96000u);
      EXPECT_EQ(s.lpcm_channels, 6);
      EXPECT_FALSE(parse_sub_stream({payload.data(), 6}, s));
    }
  }
  SubStream s;
  EXPECT_FALSE(parse_sub_stream({}, s));
}

Bytes sequence_header(uint32_t w, uint32_t h, unsigned aspect, unsigned rate, uint32_t bit_rate,
                      uint32_t vbv) {
  BitWriter b;
  b.put(0x000001B3, 32).put(w, 12).put(h, 12).put(aspect, 4).put(rate, 4).put(bit_rate, 18);
  b.put(1, 1).put(vbv, 10).put(0, 1).put(0, 1).put(0, 1);
  return b.bytes;
}

Bytes sequence_extension(unsigned profile_level, bool progressive, uint32_t rate_ext,
                         bool low_delay, unsigned n, unsigned d) {
  BitWriter b;
  b.put(0x000001B5, 32).put(1, 4).put(profile_level, 8).put(progressive, 1).put(1, 2);
  b.put(0, 2).put(0, 2).put(rate_ext, 12).put(1, 1).put(0, 8).put(low_delay, 1).put(n, 2).put(d, 5);
  return b.bytes;
}

TEST(VideoHeader, SequenceHeaderAndExtension) {
  VideoParams v;
  ASSERT_TRUE(parse_sequence_header(sequence_header(720, 576, 2, 3, 24500, 112), v));
  EXPECT_EQ(v.width, 720u);
  EXPECT_EQ(v.height, 576u);
  EXPECT_EQ(v.aspect_ratio_information, 2);
  EXPECT_FALSE(v.mpeg2);
  EXPECT_EQ(declared_bit_rate(v), 9800000u);
  EXPECT_EQ(vbv_buffer_bytes(v), 229376u);
  Rational r = frame_rate(v);
  EXPECT_EQ(r.num * 1, 25u * r.den);
  ASSERT_TRUE(parse_sequence_extension(sequence_extension(0x48, true, 0, true, 0, 0), v));
  EXPECT_TRUE(v.mpeg2);
  EXPECT_EQ(v.profile_and_level, 0x48);
  EXPECT_TRUE(v.progressive_sequence);
  EXPECT_TRUE(v.low_delay);
  // NTSC with a frame rate extension: 30000/1001 * 2/1
  ASSERT_TRUE(parse_sequence_header(sequence_header(720, 480, 3, 4, 0x3FFFF, 112), v));
  EXPECT_EQ(declared_bit_rate(v), 0u);  // MPEG-1 0x3FFFF: variable
  ASSERT_TRUE(parse_sequence_extension(sequence_extension(0x48, false, 0, false, 1, 0), v));
  EXPECT_EQ(declared_bit_rate(v), 0u);  // no extension bits: still variable
  r = frame_rate(v);
  EXPECT_EQ(r.num, 60000u);
  EXPECT_EQ(r.den, 1001u);
  ASSERT_TRUE(parse_sequence_header(sequence_header(720, 480, 3, 4, 0x3FFFF, 112), v));
  ASSERT_TRUE(parse_sequence_extension(sequence_extension(0x48, false, 1, false, 0, 0), v));
  EXPECT_EQ(declared_bit_rate(v), ((1u << 18) | 0x3FFFFu) * 400ull);
  // not a sequence header, a marker bit off, a reserved frame rate
  Bytes bad = sequence_header(720, 576, 2, 3, 24500, 112);
  bad[3] = 0xB8;
  EXPECT_FALSE(parse_sequence_header(bad, v));
  bad = sequence_header(720, 576, 2, 3, 24500, 112);
  bad[10] &= ~0x20;  // the marker after bit_rate_value (bit 82)
  EXPECT_FALSE(parse_sequence_header(bad, v));
  ASSERT_TRUE(parse_sequence_header(sequence_header(352, 288, 1, 9, 2880, 20), v));
  EXPECT_EQ(frame_rate(v).num, 0u);
}

struct AudioCase {
  Bytes header;
  uint8_t version, layer;
  uint32_t bit_rate, sample_rate, length, samples;
  uint8_t channels;
};

TEST(AudioHeader, MpegAudioEachLayer) {
  for (const AudioCase& c : {
           // MPEG-1 Layer II, 224 kbit/s, 48 kHz, stereo: 144 * 224000 / 48000 = 672
           AudioCase{{0xFF, 0xFD, 0xB4, 0x04}, 1, 2, 224000, 48000, 672, 1152, 2},
           // with padding, 44.1 kHz: 144 * 224000 / 44100 + 1 = 732
           AudioCase{{0xFF, 0xFD, 0xB2, 0xC4}, 1, 2, 224000, 44100, 732, 1152, 1},
           // MPEG-1 Layer I, 384 kbit/s, 48 kHz: (12 * 384000 / 48000) * 4 = 384
           AudioCase{{0xFF, 0xFF, 0xC4, 0x00}, 1, 1, 384000, 48000, 384, 384, 2},
           // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz: 144 * 128000 / 44100 = 417
           AudioCase{{0xFF, 0xFB, 0x90, 0x00}, 1, 3, 128000, 44100, 417, 1152, 2},
           // MPEG-2 Layer III, 64 kbit/s, 24 kHz: 72 * 64000 / 24000 = 192
           AudioCase{{0xFF, 0xF3, 0x84, 0x00}, 2, 3, 64000, 24000, 192, 576, 2},
           // MPEG-2.5 Layer III, 8 kbit/s, 8 kHz: 72 * 8000 / 8000 = 72
           AudioCase{{0xFF, 0xE3, 0x18, 0xC0}, 25, 3, 8000, 8000, 72, 576, 1},
       }) {
    MpegAudioFrame f;
    ASSERT_TRUE(parse_mpeg_audio_header(c.header, f)) << int(c.header[1]);
    EXPECT_EQ(f.version, c.version);
    EXPECT_EQ(f.layer, c.layer);
    EXPECT_EQ(f.bit_rate, c.bit_rate);
    EXPECT_EQ(f.sample_rate, c.sample_rate);
    EXPECT_EQ(f.length, c.length);
    EXPECT_EQ(f.samples, c.samples);
    EXPECT_EQ(f.channels, c.channels);
  }
  MpegAudioFrame f;
  for (Bytes bad : {Bytes{0xFF, 0xE9, 0x90, 0x00},  // version '01'
                    Bytes{0xFF, 0xF9, 0x90, 0x00},  // layer '00'
                    Bytes{0xFF, 0xFB, 0xF0, 0x00},  // bitrate index 15
                    Bytes{0xFF, 0xFB, 0x9C, 0x00},  // sampling '11'
                    Bytes{0xFF, 0x1B, 0x90, 0x00}, Bytes{0xFF, 0xFB, 0x90}})
    EXPECT_FALSE(parse_mpeg_audio_header(bad, f));
}

// syncinfo: 0B77 crc1 fscod:2 frmsizecod:6; bsi: bsid:5 bsmod:3 acmod:3 ...
Bytes ac3(unsigned fscod, unsigned frmsizecod, unsigned acmod, bool lfe, unsigned bsid = 8) {
  BitWriter b;
  b.put(0x0B77, 16)
      .put(0, 16)
      .put(fscod, 2)
      .put(frmsizecod, 6)
      .put(bsid, 5)
      .put(0, 3)
      .put(acmod, 3);
  if ((acmod & 1) && acmod != 1) b.put(0, 2);
  if (acmod & 4) b.put(0, 2);
  if (acmod == 2) b.put(0, 2);
  b.put(lfe, 1).put(0, 16);
  return b.bytes;
}

TEST(AudioHeader, Ac3AtEachSampleRate) {
  struct Case {
    unsigned fscod, frmsizecod, acmod;
    bool lfe;
    uint32_t sample_rate, bit_rate, length;
    uint8_t channels;
  };
  for (const Case& c : {Case{0, 20, 2, false, 48000, 192000, 768, 2},  // 2.0 at 48 kHz
                        Case{0, 30, 7, true, 48000, 448000, 1792, 6},  // 5.1
                        Case{1, 20, 2, true, 44100, 192000, 834, 3},   // 44.1 kHz, even code
                        Case{1, 21, 1, false, 44100, 192000, 836, 1},  // odd code: one word more
                        Case{2, 20, 6, false, 32000, 192000, 1152, 4}}) {
    Ac3Frame f;
    ASSERT_TRUE(parse_ac3_header(ac3(c.fscod, c.frmsizecod, c.acmod, c.lfe), f));
    EXPECT_EQ(f.sample_rate, c.sample_rate);
    EXPECT_EQ(f.bit_rate, c.bit_rate);
    EXPECT_EQ(f.length, c.length);
    EXPECT_EQ(f.channels, c.channels) << c.acmod;
  }
  Ac3Frame f;
  EXPECT_FALSE(parse_ac3_header(ac3(3, 20, 2, false), f));
  EXPECT_FALSE(parse_ac3_header(ac3(0, 38, 2, false), f));
  EXPECT_FALSE(parse_ac3_header(ac3(0, 20, 2, false, 16), f));  // E-AC-3 bsid
}

// sync, FTYPE SHORT CPF NBLKS FSIZE AMODE SFREQ RATE, flags, LFF
Bytes dts(unsigned nblks, unsigned fsize, unsigned amode, unsigned sfreq, unsigned lff) {
  BitWriter b;
  b.put(0x7FFE8001, 32).put(1, 1).put(31, 5).put(0, 1).put(nblks, 7).put(fsize, 14);
  b.put(amode, 6).put(sfreq, 4).put(15, 5).put(0, 5).put(0, 3).put(0, 1).put(0, 1).put(lff, 2);
  b.put(0, 16);
  return b.bytes;
}

TEST(AudioHeader, DtsCore) {
  DtsFrame f;
  ASSERT_TRUE(parse_dts_header(dts(15, 2012, 9, 13, 1), f));
  EXPECT_EQ(f.sample_rate, 48000u);
  EXPECT_EQ(f.length, 2013u);
  EXPECT_EQ(f.samples, 512u);
  EXPECT_EQ(f.channels, 6);  // 5.1
  ASSERT_TRUE(parse_dts_header(dts(15, 1000, 2, 8, 0), f));
  EXPECT_EQ(f.sample_rate, 44100u);
  EXPECT_EQ(f.channels, 2);
  EXPECT_FALSE(parse_dts_header(dts(4, 2012, 9, 13, 1), f));   // NBLKS below 5
  EXPECT_FALSE(parse_dts_header(dts(15, 94, 9, 13, 1), f));    // FSIZE below 95
  EXPECT_FALSE(parse_dts_header(dts(15, 2012, 9, 4, 1), f));   // an invalid SFREQ
  EXPECT_FALSE(parse_dts_header(dts(15, 2012, 9, 13, 3), f));  // LFF 3
}

}  // namespace
}  // namespace psrate
