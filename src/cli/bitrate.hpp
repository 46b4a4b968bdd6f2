// SPDX-License-Identifier: MIT
// The BITRATE operand: a whole number of bit/s as people write it
// (10080000, 10080000bps, 10080k, 10.08M, 1411.2 kbit/s without the blank).
#pragma once

#include <cstdint>
#include <string_view>

namespace psrate {

inline constexpr uint32_t kMinBitrate = 400;                 // 1 rate unit
inline constexpr uint32_t kBitrateLimit = (1u << 22) * 400;  // rate fields hold 22 bits

enum class BitrateError : uint8_t {
  None,
  NoDigits,        // no digit where the number begins
  Negative,        // a '-' sign
  BlankAfterSign,  // white space between the sign and the digits
  FractionAlone,   // digits after '.' without k or M
  Trailing,        // anything after the number, its multiplier and its unit
  TooSmall,        // below 400 bit/s
  TooLarge,        // 1677721600 bit/s or more: the fields hold 22 bits
};

// [blanks] [+] digits [. digits] [k|K|M] [bps|bit/s|b/s|bit|bits, any case] [blanks];
// a fraction needs a multiplier. The value is exact, a fraction's remainder
// below 1 bit/s dropped, and must lie in [400, 2^22 * 400).
BitrateError parse_bitrate(const char* text, uint32_t& bits_per_second);

// Why a bitrate was refused, in English, for the line after the usage message.
std::string_view bitrate_error_text(BitrateError error);

}  // namespace psrate
