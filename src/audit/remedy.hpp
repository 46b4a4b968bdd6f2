// SPDX-License-Identifier: MIT
// What fixes a stream's rate problems: a rewrite of the rate fields in place, a
// new multiplex of the same elementary streams, or a new encoding. The rules
// weigh the rate the SCRs need (N) against the profile's limit (L).
#pragma once

#include <cstdint>
#include <string_view>

#include "audit/profiles.hpp"

namespace psrate {

// Stronger remedies compare greater.
enum class Remedy : uint8_t { None, Rewrite, Remux, Reencode };
std::string_view remedy_name(Remedy r);

enum class Weight : uint8_t { Absent, Note, Problem };

struct RateFacts {
  const ProfileRow* profile = nullptr;  // nullptr: a generic stream, no limit
  bool has_timing = false;              // at least one continuous pair of packs
  uint64_t needed_rate = 0;             // N, bit/s
  uint64_t largest_field = 0;           // the largest program_mux_rate or rate_bound, bit/s
  uint64_t largest_mux_rate = 0;        // bit/s
  uint64_t streams_rate = 0;            // the average rates of every stream but padding, bit/s
};

struct RateRemedies {
  Weight scr_above_profile = Weight::Absent;
  Remedy scr_remedy = Remedy::None;
  bool mux_rate_above_profile = false;
  Remedy field_remedy = Remedy::Rewrite;  // of the field findings, and of mux_rate_above_profile
  // The field findings are judged against min(N, L), not N: N is at most 0.5% above L.
  bool judge_fields_at_limit = false;
};

// N above L by at most 0.5%: a muxer's rounding, which a remux makes exact.
constexpr bool slightly_above(uint64_t needed, uint64_t limit) {
  return needed > limit && needed * 200 <= limit * 201;
}

RateRemedies rate_remedies(const RateFacts& facts);

// The rate a rewrite sets: the profile's standard rate, else max(N, 400), else
// (without timing) the largest declared rate, at least 400.
uint64_t suggested_rate(const RateFacts& facts);

}  // namespace psrate
