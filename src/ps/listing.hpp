// SPDX-License-Identifier: MIT
// The listing: one formatter per kind of line, and the walk's consumer that
// writes them.
#pragma once

#include "ps/units.hpp"
#include "ps/walk.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

// Appends the unit's lines; zero stuffing has none.
void list_unit(OutBuffer& out, const Unit& unit);

struct Listing {
  // A system header is listed with its whole stream table.
  static constexpr KindSet kWhole = kind_bit(UnitKind::SystemHeader);
  OutBuffer* out = nullptr;

  Failure take(const Unit& unit) {
    list_unit(*out, unit);
    return out->failed ? Failure::Output : Failure::None;
  }
  Failure settle() { return Failure::None; }
  Failure finish(const WalkEnd&) { return Failure::None; }
};

}  // namespace psrate
