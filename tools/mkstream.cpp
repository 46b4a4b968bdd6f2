// SPDX-License-Identifier: MIT
// Writes program streams made with StreamBuilder:
//   mkstream sample OUT        the bundled example: DVD-style packs of every kind
//   mkstream damaged OUT       the damaged example: two joined parts, the first damaged
//   mkstream dvd BYTES OUT     DVD packs of MPEG-2 video, AC-3 and MPEG audio at
//                              10.08 Mbit/s, a navigation pack every 300 packs
//   mkstream small BYTES OUT   64-byte packs: a pack header and one short PES packet
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stream_builder.hpp"

namespace {

using psrate::StreamBuilder;

constexpr uint32_t kDvdMuxRate = 25200;  // 10.08 Mbit/s in units of 400 bit/s
constexpr size_t kDvdPack = 2048;

// Navigation pack: pack header, system header, PCI and DSI (private stream 2).
void nav_pack(StreamBuilder& b, uint64_t scr = 0) {
  b.pack_scr(scr, kDvdMuxRate)
      .system_header(kDvdMuxRate, {{0xE0, 1, 232}, {0xC0, 0, 32}, {0xBD, 1, 58}, {0xBF, 1, 2}})
      .pes(0xBF, 980, 0x00)
      .pes(0xBF, 1018, 0x00);
}

// One 2048-byte pack of a single PES packet; `payload` below the room left
// is made up with a padding packet.
void media_pack(StreamBuilder& b, uint8_t stream_id, uint32_t payload, uint64_t scr = 0) {
  constexpr uint32_t kRoom = kDvdPack - 14 - 6;
  b.pack_scr(scr, kDvdMuxRate).pes(stream_id, payload);
  if (payload < kRoom) b.padding(kRoom - payload - 6);
}

StreamBuilder sample() {
  StreamBuilder b;
  for (int vobu = 0; vobu < 3; ++vobu) {
    nav_pack(b);
    for (int i = 0; i < 5; ++i) media_pack(b, 0xE0, 2028);
    media_pack(b, 0xC0, 1500);
    media_pack(b, 0xBD, 2028);
    media_pack(b, 0xE0, 1200);
  }
  b.pack(kDvdMuxRate, 3).pes(0xE0, 2028 - 3);
  return b.end();
}

// A navigation pack, six media packs and the end code: 14,340 bytes.
StreamBuilder part() {
  StreamBuilder b;
  nav_pack(b);
  for (int i = 0; i < 4; ++i) media_pack(b, 0xE0, 2028);
  media_pack(b, 0xC0, 1500);
  media_pack(b, 0xBD, 2028);
  return b.end();
}

// Two parts joined as `cat` joins files; the first carries the damage a
// capture or a bad sector leaves (later offsets first, so earlier ones hold).
StreamBuilder damaged() {
  StreamBuilder b = part();
  b.insert(6 * kDvdPack, {0x47, 0x41, 0x52, 0x42, 0x41, 0x47, 0x45, 0x21, 0x00, 0x01});
  b.cut(4 * kDvdPack + 1000, 300);            // a dropout inside a video packet
  b.false_pack(2 * kDvdPack + 14 + 6 + 500);  // payload bytes 00 00 01 BA
  b.shift_length(2 * kDvdPack + 14, 5);       // a PES_packet_length off by 5
  StreamBuilder second = part();
  b.data.insert(b.data.end(), second.data.begin(), second.data.end());
  return b;
}

bool write_or_die(FILE* f, const StreamBuilder& b) {
  return std::fwrite(b.data.data(), 1, b.data.size(), f) == b.data.size();
}

// --- the big DVD stream: elementary streams a decoder plays ---

// Bytes of coded data: random, but never 00 00, so no start code or sync word
// appears where none was written.
struct Noise {
  uint64_t state = 0x9E3779B97F4A7C15u;
  uint8_t last = 1;
  uint8_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    uint8_t b = uint8_t(state >> 24);
    if (b == 0 && last == 0) b = 0x80;
    if (b == 0xFF) b = 0xFE;  // nor an MPEG audio sync word
    last = b;
    return b;
  }
};

// One elementary stream made at a constant rate: access units of `unit`
// bytes, `unit_ticks` apart, each decoded `delay` ticks after its nominal
// start (the time its first byte is due at the stream's rate).
struct Es {
  uint8_t id = 0, sub = 0;  // sub: the sub-stream of private stream 1, 0 for none
  uint32_t unit = 0;
  uint64_t unit_ticks = 0;
  uint64_t delay = 0;
  uint64_t sent = 0;  // bytes of the stream written so far
  Noise noise;
  uint8_t (*header)(uint64_t unit, uint32_t at) = nullptr;  // byte `at` of a unit's header, or 0
  uint32_t header_size = 0;                                 // of every unit's header
  // the time the next byte is due, in 27 MHz ticks
  uint64_t due() const { return sent * unit_ticks / unit; }
};

// MPEG-2 video, 25 fps, 720x576: a picture_start_code, an I-picture header
// and its picture_coding_extension (frame, top field first); every twelfth
// picture after a sequence header, its extension and a GOP header.
constexpr uint8_t kSequence[] = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x17, 0xED,
                                 0x23, 0x80, 0x00, 0x00, 0x01, 0xB5, 0x14, 0x82, 0x00, 0x01,
                                 0x00, 0x00, 0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00};
constexpr uint8_t kPicture[] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x08, 0xFF, 0xF8, 0x00,
                                0x00, 0x01, 0xB5, 0x8F, 0xFF, 0xF3, 0x81, 0x00};
uint8_t video_header(uint64_t unit, uint32_t at) {
  if (unit % 12 == 0) {
    if (at < sizeof kSequence) return kSequence[at];
    at -= uint32_t(sizeof kSequence);
  }
  return at < sizeof kPicture ? kPicture[at] : 0x55;
}
// AC-3, 48 kHz, 448 kbit/s (frmsizecod 30: 1792 bytes), 2/0.
uint8_t ac3_header(uint64_t, uint32_t at) {
  constexpr uint8_t h[] = {0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0x43, 0x00};
  return h[at];
}
// MPEG-1 Layer II, 48 kHz, 224 kbit/s (672 bytes), stereo.
uint8_t mp2_header(uint64_t, uint32_t at) {
  constexpr uint8_t h[] = {0xFF, 0xFD, 0xB4, 0x04};
  return h[at];
}

// The payload's bytes from the stream, and what the packet's headers need:
// the first unit that commences in it and how many do.
struct Carried {
  int64_t first = -1;  // the unit, or -1
  uint32_t first_at = 0;
  uint32_t count = 0;
};

Carried take(Es& es, uint8_t* out, uint32_t n) {
  Carried c;
  for (uint32_t i = 0; i < n; ++i, ++es.sent) {
    uint64_t unit = es.sent / es.unit;
    uint32_t at = uint32_t(es.sent % es.unit);
    uint32_t header = es.header_size + (es.id == 0xE0 && unit % 12 == 0 ? sizeof kSequence : 0);
    out[i] = at < header ? es.header(unit, at) : es.noise.next();
    if (at == 0 && c.count++ == 0) {
      c.first = int64_t(unit);
      c.first_at = i;
    }
  }
  return c;
}

// A pack of one PES packet of `es`, 2048 bytes: the PTS (and for video the
// DTS, a frame before it) of the first unit that commences in it; for AC-3
// the sub-stream header (number_of_frame_headers, first_access_unit_pointer).
void es_pack(StreamBuilder& b, Es& es, uint64_t scr) {
  b.pack_scr(scr, kDvdMuxRate);
  uint64_t at = es.sent % es.unit;
  uint64_t room = kDvdPack - 14 - 9 - (es.sub ? 4 : 0);
  bool stamped = at == 0 || es.unit - at < room - 10;  // a unit commences after the PTS
  uint32_t stamp = stamped ? (es.id == 0xE0 ? 10 : 5) : 0;
  uint32_t n = uint32_t(room - stamp);
  uint8_t payload[kDvdPack];
  Carried c = take(es, payload, n);
  b.start_code(es.id).u16(3 + stamp + (es.sub ? 4 : 0) + n);
  b.raw({0x81, uint8_t(stamp == 10 ? 0xC0 : stamp == 5 ? 0x80 : 0), uint8_t(stamp)});
  uint64_t td = c.first >= 0 ? (uint64_t(c.first) * es.unit_ticks + es.delay) / 300 : 0;
  auto timestamp = [&](uint8_t prefix, uint64_t t) {
    b.raw({uint8_t(prefix | (t >> 29 & 0x0E) | 1), uint8_t(t >> 22), uint8_t(t >> 14 | 1),
           uint8_t(t >> 7), uint8_t(t << 1 | 1)});
  };
  if (stamp == 10) {
    timestamp(0x30, td + 3600);
    timestamp(0x10, td);
  } else if (stamp == 5) {
    timestamp(0x20, td);
  }
  if (es.sub) b.raw({es.sub, uint8_t(c.count), 0, uint8_t(c.count ? c.first_at + 1 : 0)});
  if (es.sub) b.data[b.data.size() - 2] = uint8_t(c.count ? (c.first_at + 1) >> 8 : 0);
  b.data.insert(b.data.end(), payload, payload + n);
}

// Streams DVD packs at 10.08 Mbit/s until `bytes` are written, then the end
// code: a navigation pack every 300 packs, and otherwise the stream that is
// furthest behind its rate (video 8.5 Mbit/s, AC-3 448 kbit/s, MPEG audio
// 224 kbit/s), or padding when none is behind.
bool dvd_stream(FILE* f, unsigned long long bytes) {
  Es es[3];
  es[0] = {0xE0, 0, 42500, 1080000, 150 * 27000, 0, {}, video_header, sizeof kPicture};
  es[1] = {0xBD, 0x80, 1792, 864000, 100 * 27000, 0, {}, ac3_header, 8};
  es[2] = {0xC0, 0, 672, 648000, 50 * 27000, 0, {}, mp2_header, 4};
  unsigned long long written = 0;
  for (unsigned long n = 0; written + 4 < bytes; ++n) {
    StreamBuilder b;
    uint64_t scr = uint64_t(n) * kDvdPack * 540000 / kDvdMuxRate / 300 * 300;
    Es* late = nullptr;
    for (Es& e : es)
      if (e.due() <= scr && (late == nullptr || e.due() < late->due())) late = &e;
    if (n % 300 == 0)
      nav_pack(b, scr);
    else if (late != nullptr)
      es_pack(b, *late, scr);
    else
      b.pack_scr(scr, kDvdMuxRate).padding(kDvdPack - 14 - 6);
    if (!write_or_die(f, b)) return false;
    written += b.size();
  }
  return write_or_die(f, StreamBuilder{}.end());
}

// Streams 64-byte packs (a pack header and one short PES packet) until
// `bytes` are written, then the end code.
bool small_stream(FILE* f, unsigned long long bytes) {
  static const uint8_t kIds[] = {0xE0, 0xE0, 0xE0, 0xC0, 0xE0, 0xE0, 0xBD, 0xE0};
  unsigned long long written = 0;
  for (unsigned long n = 0; written + 4 < bytes; ++n) {
    StreamBuilder b;
    b.pack(kDvdMuxRate).pes(kIds[n % sizeof kIds], 64 - 14 - 6);
    if (!write_or_die(f, b)) return false;
    written += b.size();
  }
  return write_or_die(f, StreamBuilder{}.end());
}

int usage() {
  std::fputs(
      "usage: mkstream sample OUT | mkstream damaged OUT | mkstream dvd BYTES OUT |"
      " mkstream small BYTES OUT\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  bool is_damaged = std::strcmp(argv[1], "damaged") == 0;
  bool is_sample = is_damaged || std::strcmp(argv[1], "sample") == 0;
  bool is_big = std::strcmp(argv[1], "dvd") == 0 || std::strcmp(argv[1], "small") == 0;
  if (is_sample ? argc != 3 : !is_big || argc != 4) return usage();
  FILE* f = std::fopen(argv[argc - 1], "wb");
  if (!f) {
    std::perror(argv[argc - 1]);
    return 1;
  }
  bool ok;
  if (is_sample)
    ok = write_or_die(f, is_damaged ? damaged() : sample());
  else
    ok = argv[1][0] == 'd' ? dvd_stream(f, std::strtoull(argv[2], nullptr, 10))
                           : small_stream(f, std::strtoull(argv[2], nullptr, 10));
  if (ok && std::fclose(f) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "mkstream: cannot write %s\n", argv[argc - 1]);
    return 1;
  }
  return 0;
}
