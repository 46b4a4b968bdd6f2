// SPDX-License-Identifier: MIT
// Writes program streams made with StreamBuilder:
//   mkstream sample OUT        the bundled example: DVD-style packs of every kind
//   mkstream damaged OUT       the damaged example: two joined parts, the first damaged
//   mkstream dvd BYTES OUT     2048-byte packs, a system header every 300 packs
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

// Streams packs of `pack_size` bytes until `bytes` are written, then the end code.
// DVD packs carry the SCRs of 10.08 Mbit/s, on the 90 kHz base as muxers write them.
bool big_stream(FILE* f, unsigned long long bytes, bool dvd) {
  static const uint8_t kIds[] = {0xE0, 0xE0, 0xE0, 0xC0, 0xE0, 0xE0, 0xBD, 0xE0};
  unsigned long long written = 0;
  for (unsigned long n = 0; written + 4 < bytes; ++n) {
    StreamBuilder b;
    uint8_t id = kIds[n % sizeof kIds];
    if (dvd) {
      uint64_t scr = uint64_t(n) * kDvdPack * 540000 / kDvdMuxRate / 300 * 300;
      if (n % 300 == 0)
        nav_pack(b, scr);
      else
        media_pack(b, id, 2028, scr);
    } else {
      b.pack(kDvdMuxRate).pes(id, 64 - 14 - 6);
    }
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
    ok = big_stream(f, std::strtoull(argv[2], nullptr, 10), argv[1][0] == 'd');
  if (ok && std::fclose(f) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "mkstream: cannot write %s\n", argv[argc - 1]);
    return 1;
  }
  return 0;
}
