// SPDX-License-Identifier: MIT
#include "cli/bitrate.hpp"

#include <array>
#include <cstddef>

namespace psrate {
namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// The length of the unit at s (any case), 0 when there is none. Longer units first.
size_t unit_length(const char* s) {
  static constexpr std::array<std::string_view, 5> kUnits{"bit/s", "bits", "bps", "b/s", "bit"};
  for (std::string_view u : kUnits) {
    size_t i = 0;
    while (i < u.size() && s[i] != '\0' && lower(s[i]) == u[i]) ++i;
    if (i == u.size()) return i;
  }
  return 0;
}

// Digits as a number that saturates at the limit: any count of digits is judged as written.
uint64_t take_digits(const char*& s) {
  uint64_t value = 0;
  for (; is_digit(*s); ++s)
    if (value < kBitrateLimit) value = value * 10 + uint64_t(*s - '0');
  return value;
}

// The fraction's digits times the multiplier (1000 or 1000000), exact: digits
// past the multiplier's places add less than 1 bit/s and are dropped.
uint64_t take_fraction(const char*& s, uint64_t multiplier) {
  uint64_t value = 0;
  for (uint64_t place = multiplier / 10; is_digit(*s); ++s, place /= 10)
    value += uint64_t(*s - '0') * place;
  return value;
}

uint64_t multiplier_at(char c) { return c == 'k' || c == 'K' ? 1000 : c == 'M' ? 1000000 : 0; }

// The number from its first digit on: digits, fraction, multiplier, unit, blanks.
BitrateError parse_number(const char* s, uint64_t& value) {
  value = take_digits(s);
  const char* fraction = nullptr;
  if (*s == '.' && is_digit(s[1])) fraction = ++s;
  while (fraction && is_digit(*s)) ++s;
  uint64_t multiplier = multiplier_at(*s);
  if (fraction && multiplier == 0) return BitrateError::FractionAlone;
  if (multiplier != 0) {
    ++s;
    value = value < kBitrateLimit ? value * multiplier : kBitrateLimit;
    if (fraction) value += take_fraction(fraction, multiplier);
  }
  s += unit_length(s);
  while (is_space(*s)) ++s;
  return *s == '\0' ? BitrateError::None : BitrateError::Trailing;
}

}  // namespace

BitrateError parse_bitrate(const char* s, uint32_t& bits_per_second) {
  while (is_space(*s)) ++s;
  // "-9800000" is a negative number; "--resync" in the bitrate's place is none
  if (*s == '-') return is_digit(s[1]) ? BitrateError::Negative : BitrateError::NoDigits;
  if (*s == '+') ++s;
  if (is_space(*s)) return BitrateError::BlankAfterSign;
  if (!is_digit(*s)) return BitrateError::NoDigits;
  uint64_t value = 0;
  if (BitrateError e = parse_number(s, value); e != BitrateError::None) return e;
  if (value < kMinBitrate) return BitrateError::TooSmall;
  if (value >= kBitrateLimit) return BitrateError::TooLarge;
  bits_per_second = uint32_t(value);
  return BitrateError::None;
}

std::string_view bitrate_error_text(BitrateError error) {
  switch (error) {
    case BitrateError::None: return "";
    case BitrateError::NoDigits: return "it does not begin with a number";
    case BitrateError::Negative: return "a bitrate cannot be negative";
    case BitrateError::BlankAfterSign: return "a blank between the sign and the digits";
    case BitrateError::FractionAlone: return "a fraction needs a multiplier, k or M (9.8M)";
    case BitrateError::Trailing:
      return "after the number only k, K or M and bps, bit/s, b/s, bit or bits may follow";
    case BitrateError::TooSmall: return "below the smallest rate, 400 bit/s";
    case BitrateError::TooLarge: return "above the largest rate, 1677721599 bit/s";
  }
  return "";
}

}  // namespace psrate
