// SPDX-License-Identifier: MIT
// The listing: one formatter per kind of line.
#pragma once

#include "ps/units.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

// Appends the unit's lines; zero stuffing has none.
void list_unit(OutBuffer& out, const Unit& unit);

}  // namespace psrate
