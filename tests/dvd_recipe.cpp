// SPDX-License-Identifier: MIT
// Whole DVD, SVCD and VCD streams for the tests.
#include "dvd_recipe.hpp"

#include "audit/audit.hpp"

namespace psrate::test {

namespace {

// Bits written most significant first.
struct Bits {
  Bytes bytes;
  int used = 8;
  void put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (used == 8) {
        bytes.push_back(0);
        used = 0;
      }
      bytes.back() |= uint8_t(((value >> i) & 1) << (7 - used++));
    }
  }
};

}  // namespace

// A sequence header (and a sequence_extension for MPEG-2), then a GOP start code.
Bytes sequence(const Video& v) {
  Bits b;
  for (uint8_t x : {0x00, 0x00, 0x01, 0xB3}) b.put(x, 8);
  b.put(v.width, 12);
  b.put(v.height, 12);
  b.put(v.aspect, 4);
  b.put(v.frame_rate_code, 4);
  b.put(v.bit_rate_value, 18);
  b.put(1, 1);     // marker
  b.put(112, 10);  // vbv_buffer_size_value
  b.put(0, 3);     // constrained, no matrices
  if (v.mpeg2) {
    for (uint8_t x : {0x00, 0x00, 0x01, 0xB5}) b.put(x, 8);
    b.put(1, 4);     // sequence extension
    b.put(0x48, 8);  // Main@Main
    b.put(0, 1);     // interlaced
    b.put(1, 2);     // 4:2:0
    b.put(0, 4);     // size extensions
    b.put(0, 12);    // bit_rate_extension
    b.put(1, 1);     // marker
    b.put(0, 8);     // vbv extension
    b.put(0, 8);     // low_delay, frame rate extensions
  }
  for (uint8_t x : {0x00, 0x00, 0x01, 0xB8}) b.put(x, 8);
  return b.bytes;
}

Bytes ac3_head(uint8_t sub) {
  return {sub, 0x01, 0x00, 0x01, 0x0B, 0x77, 0x00, 0x00, 0x14, 0x40, 0x43, 0x00};
}

// An MPEG-2 PES packet of `total` bytes: '10' flags, a PTS when given, the
// payload's first bytes from `head`, the rest 0xAA.
void pes(StreamBuilder& b, uint8_t id, size_t total, const Bytes& head, int64_t pts) {
  size_t start = b.size();
  b.start_code(id).u16(uint32_t(total - 6));
  b.raw({0x81, uint8_t(pts >= 0 ? 0x80 : 0), uint8_t(pts >= 0 ? 5 : 0)});
  if (pts >= 0) {
    uint64_t p = uint64_t(pts);
    b.raw({uint8_t(0x21 | (p >> 29 & 0x0E)), uint8_t(p >> 22), uint8_t(p >> 14 | 1),
           uint8_t(p >> 7), uint8_t(p << 1 | 1)});
  }
  for (uint8_t x : head)
    if (b.size() - start < total) b.u8(x);
  b.fill(total - (b.size() - start), 0xAA);
}

// Packs of `pack_size` bytes, the first with a system header; every pack a
// video packet (the first with the sequence header), every fourth an AC-3
// packet, then padding. PTS advance one frame per pack.
Bytes build(const Recipe& r) {
  StreamBuilder b;
  for (uint32_t k = 0; k < r.packs; ++k) {
    size_t start = b.size();
    uint64_t scr = uint64_t(k) * r.pack_size * kTicksPerByteUnit / r.scr_units;
    if (r.mpeg1)
      b.pack1_scr(scr, r.mux);
    else
      b.pack_scr(scr, r.mux);
    if (k == 0) {  // a system header with the recipe's bounds
      b.start_code(0xBB).u16(uint32_t(6 + 3 * r.bounds.size()));
      b.raw({uint8_t(r.mux >> 15 | 0x80), uint8_t(r.mux >> 7), uint8_t(r.mux << 1 | 1), 0x04, 0xE1,
             0xFF});
      for (const StreamEntrySpec& e : r.bounds)
        b.raw({e.stream_id, uint8_t(0xC0 | (e.scale & 1) << 5 | (e.buffer_bound >> 8 & 0x1F)),
               uint8_t(e.buffer_bound)});
    }
    size_t left = r.pack_size - (b.size() - start) - r.padding;
    if (r.ac3 && k % 4 == 0) {
      pes(b, 0xBD, 200, ac3_head(0x80), int64_t(k) * 3600);
      left -= 200;
    }
    pes(b, 0xE0, left, k == 0 ? sequence(r.video) : Bytes{}, int64_t(k) * 3600 + 7200);
    if (r.padding > 0) b.pes(0xBE, uint32_t(r.padding - 6));
  }
  return b.end().data;
}

Bytes playable(const Playable& p) {
  StreamBuilder b;
  for (uint32_t k = 0; k < p.packs; ++k) {
    size_t start = b.size();
    uint64_t scr = uint64_t(k) * 1080000;
    int64_t pts = int64_t(scr / 300) + p.lead;
    b.pack_scr(scr, p.mux);
    if (k == 0) b.system_header(p.mux, {});
    if (k == 0) {  // the bounds, in place of the empty table
      b.data[start + 18] = 0;
      b.data[start + 19] = uint8_t(6 + 3 * p.bounds.size());
      for (const StreamEntrySpec& e : p.bounds)
        b.raw({e.stream_id, uint8_t(0xC0 | (e.scale & 1) << 5 | (e.buffer_bound >> 8 & 0x1F)),
               uint8_t(e.buffer_bound)});
    }
    Bytes head = k == 0 ? sequence(Video{}) : Bytes{};
    for (uint8_t x : {0x00, 0x00, 0x01, 0x00, 0x00, 0x08, 0xFF, 0xF8}) head.push_back(x);
    pes(b, 0xE0, 1500, head, pts);
    if (k % 10 == 0) pes(b, 0xBD, 6 + 8 + 1 + 100, {0x20, 0x00, 100}, pts);
    b.pes(0xBE, uint32_t(2048 - (b.size() - start) - 6));
  }
  return b.end().data;
}

}  // namespace psrate::test
