// SPDX-License-Identifier: MIT
// The most common value of a run, counted exactly in fixed memory: the first
// kSlots distinct values each get a count, later new values count together as
// others. A value that covers a large share of the run is one of the first met
// unless kSlots others came before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace psrate {

template <size_t kSlots>
struct MostCommon {
  std::array<uint64_t, kSlots> value{};
  std::array<uint64_t, kSlots> count{};
  size_t used = 0;
  uint64_t total = 0;

  void add(uint64_t v) {
    ++total;
    for (size_t i = 0; i < used; ++i)
      if (value[i] == v) {
        ++count[i];
        return;
      }
    if (used == kSlots) return;  // counted among the others
    value[used] = v;
    count[used++] = 1;
  }

  // The value that covers at least num/den of the run, if one does.
  bool dominant(uint64_t num, uint64_t den, uint64_t& v) const {
    for (size_t i = 0; i < used; ++i)
      if (count[i] * den >= total * num && total > 0) {
        v = value[i];
        return true;
      }
    return false;
  }
};

}  // namespace psrate
