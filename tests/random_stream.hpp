// SPDX-License-Identifier: MIT
// Random but well-formed program streams, with the offset of every unit
// recorded as it is built, so a pass can be checked against the truth.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "stream_builder.hpp"

namespace psrate::test {

struct BuiltUnit {
  uint64_t offset;
  uint8_t id;        // last byte of the start code; 0 for zero stuffing
  uint32_t rate_at;  // distance of the rate field, 0 when the unit has none
};

struct RandomStream {
  StreamBuilder builder;
  std::vector<BuiltUnit> units;  // every unit that is listed, in order
};

// max_system_entries bounds system headers, so that their carrying stays
// inside small windows.
inline RandomStream random_stream(uint32_t seed, size_t units, uint32_t max_payload = 3000,
                                  uint32_t max_system_entries = 20, bool with_end = true) {
  std::mt19937 rng(seed);
  auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
  RandomStream s;
  StreamBuilder& b = s.builder;
  static const uint8_t kIds[] = {0xE0, 0xC0, 0xC7, 0xBD, 0xBE, 0xBF, 0xBC, 0xC8, 0xE1, 0xFF};
  for (size_t i = 0; i < units; ++i) {
    uint64_t at = b.size();
    switch (pick(8)) {
      case 0:
        b.pack(pick(1u << 22), uint8_t(pick(8)));
        s.units.push_back({at, 0xBA, 10});
        break;
      case 1:
        b.pack1(pick(1u << 22));
        s.units.push_back({at, 0xBA, 9});
        break;
      case 2: {
        uint32_t n = pick(max_system_entries + 1);
        b.system_header(pick(1u << 22), {});
        b.data[at + 5] = uint8_t(6 + 3 * n);
        for (uint32_t e = 0; e < n; ++e)
          b.raw({kIds[pick(10)], uint8_t(0xC0 | pick(64)), uint8_t(pick(256))});
        s.units.push_back({at, 0xBB, 6});
        break;
      }
      case 3:
        b.fill(1 + pick(24), 0x00);  // zero stuffing before the next start code
        break;
      default: {
        uint8_t id = kIds[pick(10)];
        b.pes(id, pick(8) == 0 ? pick(max_payload * 20 + 1) : pick(max_payload + 1));
        s.units.push_back({at, id, 0});
      }
    }
  }
  if (with_end) {
    s.units.push_back({b.size(), 0xB9, 0});
    b.end();
  }
  return s;
}

}  // namespace psrate::test
