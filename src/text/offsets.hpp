// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

namespace psrate {

// An offset for people: "0x" and at least 8 hexadecimal digits, then the
// decimal in parentheses ("0x0001a000 (106496)").
inline std::string hex_offset(uint64_t offset) {
  std::string hex;
  for (uint64_t v = offset; v != 0 || hex.size() < 8; v >>= 4)
    hex.insert(hex.begin(), "0123456789abcdef"[v & 15]);
  return "0x" + hex;
}

inline std::string offset_text(uint64_t offset) {
  return hex_offset(offset) + " (" + std::to_string(offset) + ")";
}

}  // namespace psrate
