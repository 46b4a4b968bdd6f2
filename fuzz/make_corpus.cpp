// SPDX-License-Identifier: MIT
// Writes the fuzz seed corpus: psrate_make_corpus DIR
// Each file is a fuzz input: 4 bytes choosing the bitrate, then a stream.
// The streams cover every unit kind, files cut at every fixed-field boundary,
// units around the edges of small windows, MPEG-1 packs, long and short
// system headers, zero stuffing and an end code in mid-file.
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "stream_builder.hpp"

namespace {

using psrate::every_kind_stream;
using psrate::StreamBuilder;
using Bytes = std::vector<uint8_t>;

std::string g_dir;
int g_written = 0;

// The fuzz target maps the first 4 bytes v onto 400 + v % (2^22 * 400 - 400).
void write(const std::string& name, const Bytes& stream, uint32_t bitrate = 9800000) {
  uint32_t v = bitrate - 400;
  Bytes input = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
  input.insert(input.end(), stream.begin(), stream.end());
  std::string path = g_dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(input.data(), 1, input.size(), f) != input.size() || std::fclose(f) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  ++g_written;
}

std::string numbered(const std::string& stem, size_t n) {
  std::string digits = std::to_string(n);
  return stem + "-" + std::string(digits.size() < 3 ? 3 - digits.size() : 0, '0') + digits;
}

// A system header with n entries cycling through video, audio and others.
StreamBuilder& long_system_header(StreamBuilder& b, uint32_t rate, uint32_t n) {
  static const uint8_t kIds[] = {0xE0, 0xC0, 0xBD, 0xBF, 0xC7, 0xE1};
  size_t at = b.size();
  b.system_header(rate, {});
  b.data[at + 4] = uint8_t((6 + 3 * n) >> 8);
  b.data[at + 5] = uint8_t(6 + 3 * n);
  for (uint32_t i = 0; i < n; ++i)
    b.raw({kIds[i % 6], uint8_t(0xC0 | (i & 1) << 5 | (i >> 8 & 0x1F)), uint8_t(i)});
  return b;
}

// A navigation pack and two media packs, 2048 bytes each.
Bytes dvd() {
  StreamBuilder b;
  b.pack(25200)
      .system_header(25200, {{0xE0, 1, 232}, {0xC0, 0, 32}, {0xBD, 1, 58}, {0xBF, 1, 2}})
      .pes(0xBF, 980, 0x00)
      .pes(0xBF, 1018, 0x00);
  b.pack(25200).pes(0xE0, 2028);
  b.pack(25200).pes(0xC0, 1500).padding(2028 - 1500 - 6);
  return b.end().data;
}

Bytes mpeg1() {
  StreamBuilder b;
  b.pack1(3528).system_header(3528, {{0xE0, 1, 46}, {0xC0, 0, 32}});
  b.pes(0xE0, 300).pes(0xC0, 200).pack1(3528).pes(0xE0, 100).pack1(1);
  return b.end().data;
}

void cuts() {
  // each unit after a short video packet, cut after every byte of its fixed fields
  struct Unit {
    const char* name;
    Bytes bytes;
  };
  const Unit units[] = {
      {"cut-pack2", StreamBuilder{}.pack(25200, 3).data},
      {"cut-pack1", StreamBuilder{}.pack1(3528).data},
      {"cut-system", StreamBuilder{}.system_header(25200, {{0xE0, 1, 232}, {0xC0, 0, 32}}).data},
      {"cut-pes", StreamBuilder{}.pes(0xC0, 6).data},
      {"cut-end", StreamBuilder{}.end().data},
  };
  for (const Unit& u : units) {
    for (size_t n = 1; n <= u.bytes.size(); ++n) {
      StreamBuilder b;
      b.pes(0xE0, 20);
      b.data.insert(b.data.end(), u.bytes.begin(), u.bytes.begin() + long(n));
      write(numbered(u.name, n), b.data);
    }
  }
}

// A unit placed at `at` (a filler packet in front) and followed by packs.
void window_edges() {
  const std::pair<const char*, Bytes> units[] = {
      {"pack2", StreamBuilder{}.pack(25200, 7).data},
      {"pack1", StreamBuilder{}.pack1(3528).data},
      {"system",
       [] {
         StreamBuilder b;
         return long_system_header(b, 25200, 40).data;
       }()},
      {"pes", StreamBuilder{}.pes(0xE0, 150).data},
      {"end", StreamBuilder{}.end().data},
  };
  for (size_t window : {size_t(264), size_t(512)}) {
    for (size_t at : {window - 133, window - 132, window - 131, window - 13, window - 6, window - 3,
                      window - 1, window, window + 1}) {
      for (const auto& [name, bytes] : units) {
        StreamBuilder b;
        b.pes(0xBE, uint32_t(at - 6));
        b.data.insert(b.data.end(), bytes.begin(), bytes.end());
        b.pack(25200).pes(0xE0, 300).pack1(3528).end();
        write(numbered("edge" + std::to_string(window) + "-" + name + "-at", at), b.data);
      }
    }
  }
}

void system_headers() {
  for (uint32_t n : {0u, 1u, 59u, 60u, 166u, 167u, 170u, 300u}) {
    StreamBuilder b;
    b.pack(25200);
    long_system_header(b, 25200, n);
    b.pes(0xE0, 50).pack(25200).end();
    write(numbered("system-entries", n), b.data);
  }
  // header_length 0..6: the rate field belongs to the unit from length 9 on
  for (uint32_t hl = 0; hl <= 6; ++hl) {
    StreamBuilder b;
    b.start_code(0xBB).u16(hl).raw({0x80, 0x01, 0x01, 0x04, 0xE1, 0xFF});
    b.data.resize(b.size() - (6 - hl));
    b.pack(25200).start_code(0xBB).u16(hl);
    b.end();
    write(numbered("system-short", hl), b.data);
  }
  // a header longer than the rest of the file, a table cut mid-entry
  StreamBuilder b;
  b.pack(25200);
  size_t at = b.size();
  long_system_header(b, 25200, 10);
  b.data.resize(at + 12 + 3 * 3 + 2);
  write("system-cut-table", b.data);
}

void stuffing_and_ends() {
  write("zeros-leading", StreamBuilder{}.fill(7, 0).pack(25200).pes(0xE0, 10).end().data);
  write("zeros-between",
        StreamBuilder{}.pack(25200).fill(3, 0).pes(0xE0, 10).fill(1, 0).pack1(9).end().data);
  for (size_t n : {1, 2, 3, 4, 5, 40})
    write(numbered("zeros-trailing", n), StreamBuilder{}.pack(25200).fill(n, 0).data);
  write("zeros-only", Bytes(300, 0));
  write("end-mid-file",
        StreamBuilder{}.pack(25200).pes(0xE0, 30).end().pack(25200).system_header(1, {}).data);
  write("end-first", StreamBuilder{}.end().pack(25200).data);
  write("no-end", StreamBuilder{}.pack(25200).pes(0xE0, 30).pack1(5).pes(0xC0, 7).data);
  write("empty", {});
  for (size_t n = 1; n <= 3; ++n) write(numbered("tiny", n), Bytes(n, 1));
}

void odd_units() {
  StreamBuilder unknown;
  for (uint8_t id : {0x00, 0xBC, 0xC8, 0xDF, 0xE1, 0xEF, 0xF0, 0xFF}) unknown.pes(id, 3);
  // "00 00 01 00" is a start code of its own (picture); 00 00 02 xx is no prefix at all
  unknown.raw({0, 0, 2, 0xBA, 0, 1, 9});
  write("unknown-codes", unknown.end().data);
  // the stream ids on each side of every class boundary
  StreamBuilder ids;
  for (uint8_t id : {0xB8, 0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xC1, 0xC6, 0xC7, 0xC8, 0xDF, 0xE0, 0xE1})
    ids.pes(id, 1);
  write("stream-ids", ids.end().data);
  for (uint8_t s = 0; s < 8; ++s)
    write(numbered("pack-stuffing", s), StreamBuilder{}.pack(s * 1000u, s).pes(0xC0, 4).data);
  write("pes-past-end",
        StreamBuilder{}.pack(25200).start_code(0xE0).u16(65535).fill(100, 0xAA).data);
  write("pes-longer-than-window",
        StreamBuilder{}.pack(25200).pes(0xE0, 700).pack(25200).pes(0xE0, 1500).end().data);
  write("rates-extreme",
        StreamBuilder{}.pack(0).pack((1u << 22) - 1).pack1(0).pack1((1u << 22) - 1).data, 400);
  write("rates-max", every_kind_stream(), 1677721599);
  // bytes from a linear congruential generator, with start codes sprinkled in
  Bytes noise(3000);
  uint32_t x = 12345;
  for (size_t i = 0; i < noise.size(); ++i) {
    x = x * 1103515245 + 12345;
    noise[i] = uint8_t(x >> 16);
    if (i % 97 == 0 && i + 4 < noise.size()) {
      noise[i] = noise[i + 1] = 0;
      noise[i + 2] = 1;
      noise[i + 3] = uint8_t(0xB9 + (x >> 8) % 0x30);
      i += 3;
    }
  }
  write("noise", noise);
}

// Streams for the resynchronising walk: damage of each kind, a search that
// crosses the edges of small windows, and searches that run to the end of the file.
void damage() {
  Bytes clean = dvd();
  write("damage-cut", StreamBuilder{clean}.cut(2048 + 700, 150).data);
  write("damage-length", StreamBuilder{clean}.shift_length(2048 + 14, 3).data);
  write("damage-length-short", StreamBuilder{clean}.shift_length(2048 + 14, -9).data);
  write("damage-garbage", StreamBuilder{clean}.insert(2048, {0x12, 0x00, 0x00, 0x01, 0xB5}).data);
  write("damage-false-pack",
        StreamBuilder{clean}.shift_length(2048 + 14, 1).false_pack(2048 + 400).data);
  StreamBuilder joined{clean};
  joined.data.insert(joined.data.end(), clean.begin(), clean.end());
  joined.end().pack1(3528).end();
  write("damage-joined", joined.data);
  // a pack header whose marker bits are hit one at a time
  const std::pair<size_t, uint8_t> hits[] = {{4, 0x04}, {4, 0x40},  {6, 0x04},  {8, 0x04},
                                             {9, 0x01}, {12, 0x01}, {12, 0x02}, {4, 0x80}};
  for (size_t i = 0; i < std::size(hits); ++i) {
    StreamBuilder b{clean};
    b.data[2048 + hits[i].first] ^= hits[i].second;
    write(numbered("damage-markers", i), b.data);
  }
  StreamBuilder m1;
  m1.pack1(3528).pes(0xE0, 40).pack1(3528).pes(0xC0, 20).pack1(3528).end();
  for (size_t at : {4, 6, 8, 9, 11}) {
    StreamBuilder b{m1};
    b.data[52 + at] ^= uint8_t(at == 4 ? 0x01 : at == 9 ? 0x80 : 0x01);
    write(numbered("damage-markers1", at), b.data);
  }
  // a garbage run whose end lands around the window edges, then a pack and
  // enough after it that the file goes on past the window
  for (size_t window : {size_t(264), size_t(512)})
    for (size_t end : {window - 132, window - 131, window - 30, window - 4, window, window + 3})
      write(numbered("damage-edge" + std::to_string(window) + "-at", end),
            StreamBuilder{}
                .pack(25200)
                .fill(end - 14, 0x5A)
                .pack(25200)
                .pes(0xE0, 20)
                .padding(uint32_t(window))
                .end()
                .data);
  // a search that meets the end of the file with 0 to 5 bytes left
  for (size_t n = 0; n <= 5; ++n) {
    StreamBuilder b;
    b.pack(25200).raw({0x00, 0x00, 0x02, 0xBA}).fill(100, 0x5A);
    const uint8_t tail[] = {0x00, 0x00, 0x01, 0xB9, 0x00};
    b.data.insert(b.data.end(), tail, tail + n);
    write(numbered("damage-tail", n), b.data);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: psrate_make_corpus DIR\n", stderr);
    return 2;
  }
  g_dir = argv[1];
  write("every-kind", every_kind_stream());
  write("dvd", dvd());
  write("mpeg1", mpeg1(), 1411200);
  cuts();
  window_edges();
  system_headers();
  stuffing_and_ends();
  odd_units();
  damage();
  std::printf("%d inputs written to %s\n", g_written, argv[1]);
  return 0;
}
