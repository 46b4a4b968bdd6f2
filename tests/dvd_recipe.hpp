// SPDX-License-Identifier: MIT
// Whole DVD, SVCD and VCD streams for the tests: packs with a system header,
// real PES headers, MPEG-1/2 sequence headers and AC-3 sub-stream headers.
#pragma once

#include <cstdint>
#include <vector>

#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {

struct Video {
  uint32_t width = 720, height = 576;
  uint8_t aspect = 2, frame_rate_code = 3;
  uint32_t bit_rate_value = 20000;  // 8 Mbit/s
  bool mpeg2 = true;
};

// A sequence header (and a sequence_extension for MPEG-2), then a GOP start code.
Bytes sequence(const Video& v);

// An AC-3 sub-stream packet's first bytes: sub_stream_id `sub`, one frame
// header, first_access_unit_pointer 1; then an AC-3 frame header: 48 kHz,
// 192 kbit/s (frmsizecod 20), 2/0 (acmod 2).
Bytes ac3_head(uint8_t sub);

// An MPEG-2 PES packet of `total` bytes: '10' flags, a PTS when given, the
// payload's first bytes from `head`, the rest 0xAA.
void pes(StreamBuilder& b, uint8_t id, size_t total, const Bytes& head, int64_t pts = -1);

struct Recipe {
  uint32_t packs = 400;
  size_t pack_size = 2048;
  bool mpeg1 = false;
  uint64_t scr_units = 25200;  // the rate the SCRs are spaced for, units of 50 bytes/s
  uint32_t mux = 25200;        // the rate fields
  Video video;
  bool ac3 = true;
  std::vector<StreamEntrySpec> bounds = {{0xE0, 1, 232}, {0xBD, 1, 58}};
  size_t padding = 0;  // bytes of padding per pack, the rest is video (and audio)
};

// Packs of `pack_size` bytes, the first with a system header; every pack a
// video packet (the first with the sequence header), every fourth an AC-3
// packet, then padding. PTS advance one frame per pack.
Bytes build(const Recipe& r);

// A DVD stream a decoder plays: packs of 2048 bytes 40 ms apart, each with one
// 1500-byte MPEG-2 I-picture (the first after the sequence header) stamped
// `lead` 90 kHz ticks after its pack's SCR, every tenth with a 100-byte
// subpicture unit (sub-stream 0x20) stamped alike; the first pack with a
// system header of `bounds`; padding to the end of each pack.
struct Playable {
  uint32_t packs = 100;
  uint32_t mux = 25200;
  std::vector<StreamEntrySpec> bounds = {{0xE0, 1, 232}, {0xBD, 1, 58}};
  int64_t lead = 9000;
};

Bytes playable(const Playable& p);

}  // namespace psrate::test
