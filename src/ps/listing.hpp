// SPDX-License-Identifier: MIT
// The listing: one formatter per kind of line, and the walk's consumer that
// writes them.
#pragma once

#include "ps/units.hpp"
#include "ps/walk.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

inline constexpr size_t kLineTailRoom = 96;

// A line's text after its offset, with the fields it was formatted from.
struct LineTail {
  uint64_t key = 0, key2 = 0;
  size_t size = 0;  // 0: nothing kept
  char text[kLineTailRoom];
};

// The last pack line and the last packet line, to repeat.
struct ListingCache {
  LineTail pack, packet;
};

// Appends the unit's lines; zero stuffing has none.
void list_unit(OutBuffer& out, const Unit& unit, ListingCache& cache);
void list_unit(OutBuffer& out, const Unit& unit);

struct Listing {
  // A system header is listed with its whole stream table.
  static constexpr KindSet kWhole = kind_bit(UnitKind::SystemHeader);
  OutBuffer* out = nullptr;
  ListingCache cache;

  Failure take(const Unit& unit) {
    list_unit(*out, unit, cache);
    return out->failed ? Failure::Output : Failure::None;
  }
  Failure settle() { return Failure::None; }
  Failure finish(const WalkEnd&) { return Failure::None; }
};

}  // namespace psrate
