// The listing: one formatter per kind of line.
#pragma once

#include "io/out_buffer.hpp"
#include "ps/units.hpp"

namespace psrate {

// Appends the unit's lines; zero stuffing has none.
void list_unit(OutBuffer& out, const Unit& unit);

}  // namespace psrate
