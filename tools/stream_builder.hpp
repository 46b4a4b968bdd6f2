// SPDX-License-Identifier: MIT
// Builds program streams byte by byte, for the tests, the sample and the
// benchmark. Each method appends one unit and documents its layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace psrate {

struct StreamEntrySpec {
  uint8_t stream_id;
  uint8_t scale;          // P-STD_buffer_bound_scale
  uint16_t buffer_bound;  // P-STD_buffer_size_bound, 13 bits
};

struct SystemFlags {
  uint8_t audio_bound = 1;
  uint8_t video_bound = 1;
  uint8_t fixed = 0;
  uint8_t csps = 0;
  uint8_t audio_lock = 1;
  uint8_t video_lock = 1;
};

struct StreamBuilder {
  std::vector<uint8_t> data;

  StreamBuilder& u8(uint8_t b) {
    data.push_back(b);
    return *this;
  }
  StreamBuilder& raw(std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) data.push_back(b);
    return *this;
  }
  StreamBuilder& fill(size_t n, uint8_t b) {
    data.insert(data.end(), n, b);
    return *this;
  }
  StreamBuilder& start_code(uint8_t id) { return raw({0x00, 0x00, 0x01, id}); }
  StreamBuilder& u16(uint32_t v) { return raw({uint8_t(v >> 8), uint8_t(v)}); }

  // MPEG-2 pack header: start code; '01' SCR base[32..30] marker ... SCR_ext
  // marker (bytes 4..9); program_mux_rate[21..0] '11' (bytes 10..12);
  // reserved '11111' pack_stuffing_length (byte 13); stuffing 0xFF.
  StreamBuilder& pack(uint32_t mux_rate, uint8_t stuffing = 0) {
    start_code(0xBA).raw({0x44, 0x00, 0x04, 0x00, 0x04, 0x01});
    raw({uint8_t(mux_rate >> 14), uint8_t(mux_rate >> 6), uint8_t(mux_rate << 2 | 0x03)});
    u8(uint8_t(0xF8 | (stuffing & 0x07)));
    return fill(stuffing & 0x07, 0xFF);
  }

  // MPEG-1 pack header: start code; '0010' SCR[32..30] marker ... marker
  // (bytes 4..8); marker mux_rate[21..0] marker (bytes 9..11).
  StreamBuilder& pack1(uint32_t mux_rate) {
    start_code(0xBA).raw({0x21, 0x00, 0x01, 0x00, 0x01});
    return raw(
        {uint8_t(mux_rate >> 15 | 0x80), uint8_t(mux_rate >> 7), uint8_t(mux_rate << 1 | 1)});
  }

  // MPEG-2 pack header with an SCR of `scr` 27 MHz ticks (base = scr / 300 mod
  // 2^33, extension = scr % 300): '01' base[32..30] marker base[29..28] (4),
  // base[27..20] (5), base[19..15] marker base[14..13] (6), base[12..5] (7),
  // base[4..0] marker ext[8..7] (8), ext[6..0] marker (9); then as pack().
  StreamBuilder& pack_scr(uint64_t scr, uint32_t mux_rate, uint8_t stuffing = 0) {
    uint64_t base = scr / 300 & ((uint64_t(1) << 33) - 1);
    uint32_t ext = uint32_t(scr % 300);
    start_code(0xBA);
    u8(uint8_t(0x44 | (base >> 27 & 0x38) | (base >> 28 & 0x03)));
    u8(uint8_t(base >> 20));
    u8(uint8_t((base >> 12 & 0xF8) | 0x04 | (base >> 13 & 0x03)));
    u8(uint8_t(base >> 5));
    u8(uint8_t((base << 3 & 0xF8) | 0x04 | (ext >> 7 & 0x03)));
    u8(uint8_t(ext << 1 | 0x01));
    raw({uint8_t(mux_rate >> 14), uint8_t(mux_rate >> 6), uint8_t(mux_rate << 2 | 0x03)});
    u8(uint8_t(0xF8 | (stuffing & 0x07)));
    return fill(stuffing & 0x07, 0xFF);
  }

  // MPEG-1 pack header with an SCR of `scr` ticks (base = scr / 300 mod 2^33):
  // '0010' SCR[32..30] marker (4), SCR[29..22] (5), SCR[21..15] marker (6),
  // SCR[14..7] (7), SCR[6..0] marker (8); then as pack1().
  StreamBuilder& pack1_scr(uint64_t scr, uint32_t mux_rate) {
    uint64_t base = scr / 300 & ((uint64_t(1) << 33) - 1);
    start_code(0xBA);
    raw({uint8_t(0x21 | (base >> 29 & 0x0E)), uint8_t(base >> 22), uint8_t(base >> 14 | 0x01),
         uint8_t(base >> 7), uint8_t(base << 1 | 0x01)});
    return raw(
        {uint8_t(mux_rate >> 15 | 0x80), uint8_t(mux_rate >> 7), uint8_t(mux_rate << 1 | 1)});
  }

  // System header: start code; header_length; marker rate_bound[21..0] marker
  // (bytes 6..8); audio_bound fixed CSPS (9); audio_lock video_lock marker
  // video_bound (10); packet_rate_restriction + reserved (11); 3-byte entries:
  // stream_id, '11' scale size_bound[12..8], size_bound[7..0].
  StreamBuilder& system_header(uint32_t rate_bound, std::initializer_list<StreamEntrySpec> entries,
                               SystemFlags f = {}) {
    start_code(0xBB).u16(6 + 3 * uint32_t(entries.size()));
    raw({uint8_t(rate_bound >> 15 | 0x80), uint8_t(rate_bound >> 7), uint8_t(rate_bound << 1 | 1)});
    u8(uint8_t(f.audio_bound << 2 | (f.fixed & 1) << 1 | (f.csps & 1)));
    u8(uint8_t((f.audio_lock & 1) << 7 | (f.video_lock & 1) << 6 | 0x20 | (f.video_bound & 0x1F)));
    u8(0xFF);
    for (const StreamEntrySpec& e : entries)
      raw({e.stream_id, uint8_t(0xC0 | (e.scale & 1) << 5 | (e.buffer_bound >> 8 & 0x1F)),
           uint8_t(e.buffer_bound)});
    return *this;
  }

  // Any length-prefixed unit (PES packet, padding, private stream): start code,
  // PES_packet_length, then that many payload bytes.
  StreamBuilder& pes(uint8_t stream_id, uint32_t payload, uint8_t filler = 0xAA) {
    start_code(stream_id).u16(payload);
    return fill(payload, stream_id == 0xBE ? 0xFF : filler);
  }
  StreamBuilder& padding(uint32_t payload) { return pes(0xBE, payload); }

  // An MPEG-2 PES packet: start code, PES_packet_length, '10' flags (0x81),
  // PTS_DTS_flags '10' when pts >= 0, PES_extension_flag with a P-STD buffer
  // field when pstd_units > 0; PES_header_data_length; the PTS ('0010'
  // PTS[32..30] marker, PTS[29..15] marker, PTS[14..0] marker); the extension
  // (0x1E: P-STD_buffer_flag and reserved bits, then '01' scale size[12..0]);
  // then the payload.
  StreamBuilder& pes2(uint8_t stream_id, const std::vector<uint8_t>& payload, int64_t pts = -1,
                      uint8_t scale = 1, uint16_t pstd_units = 0) {
    std::vector<uint8_t> h = {0x81, uint8_t((pts >= 0 ? 0x80 : 0) | (pstd_units ? 0x01 : 0)), 0};
    if (pts >= 0) {
      uint64_t p = uint64_t(pts);
      h.insert(h.end(), {uint8_t(0x21 | (p >> 29 & 0x0E)), uint8_t(p >> 22), uint8_t(p >> 14 | 1),
                         uint8_t(p >> 7), uint8_t(p << 1 | 1)});
    }
    if (pstd_units) {
      h.push_back(0x1E);
      h.push_back(uint8_t(0x40 | scale << 5 | pstd_units >> 8));
      h.push_back(uint8_t(pstd_units));
    }
    h[2] = uint8_t(h.size() - 3);
    start_code(stream_id).u16(uint32_t(h.size() + payload.size()));
    data.insert(data.end(), h.begin(), h.end());
    data.insert(data.end(), payload.begin(), payload.end());
    return *this;
  }
  StreamBuilder& end() { return start_code(0xB9); }

  // --- damage, as captures, bad sectors and hand edits leave it ---

  // A dropout: n bytes cut out at offset `at`.
  StreamBuilder& cut(size_t at, size_t n) {
    data.erase(data.begin() + long(at), data.begin() + long(at + n));
    return *this;
  }
  // Garbage (or anything else) inserted at offset `at`.
  StreamBuilder& insert(size_t at, std::initializer_list<uint8_t> bytes) {
    data.insert(data.begin() + long(at), bytes.begin(), bytes.end());
    return *this;
  }
  StreamBuilder& insert(size_t at, size_t n, uint8_t b) {
    data.insert(data.begin() + long(at), n, b);
    return *this;
  }
  // The length field of the unit at `at` (bytes 4 and 5) moved by delta.
  StreamBuilder& shift_length(size_t at, int delta) {
    uint32_t v = uint32_t(int(uint32_t(data[at + 4]) << 8 | data[at + 5]) + delta);
    data[at + 4] = uint8_t(v >> 8);
    data[at + 5] = uint8_t(v);
    return *this;
  }
  // 00 00 01 BA written over payload bytes at `at`, without the marker bits
  // of a pack header: what a resynchronising search must not stop at.
  StreamBuilder& false_pack(size_t at) {
    const uint8_t bytes[] = {0x00, 0x00, 0x01, 0xBA, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (size_t i = 0; i < sizeof bytes; ++i) data[at + i] = bytes[i];
    return *this;
  }

  size_t size() const { return data.size(); }
  const std::vector<uint8_t>& bytes() const { return data; }
};

// One unit of every kind the listing names, zero stuffing and an MPEG-1 pack included.
inline std::vector<uint8_t> every_kind_stream() {
  return StreamBuilder{}
      .pack(25200)
      .system_header(25200, {{0xE0, 1, 232}, {0xC0, 0, 32}, {0xBD, 1, 58}})
      .pes(0xE0, 100)
      .pes(0xC1, 10)
      .pes(0xBD, 20)
      .pes(0xBF, 30)
      .pes(0xBE, 40)
      .pes(0xBC, 0)
      .pack1(3528)
      .fill(20, 0)
      .pack(25200, 2)
      .end()
      .data;
}

}  // namespace psrate
