// SPDX-License-Identifier: MIT
#include "audit/remedy.hpp"

#include <algorithm>

namespace psrate {

std::string_view remedy_name(Remedy r) {
  switch (r) {
    case Remedy::None: return "none";
    case Remedy::Rewrite: return "rewrite";
    case Remedy::Remux: return "remux";
    case Remedy::Reencode: return "reencode";
  }
  return "none";
}

RateRemedies rate_remedies(const RateFacts& f) {
  RateRemedies r;
  if (f.profile == nullptr) return r;
  uint64_t limit = f.profile->rate_limit;
  r.mux_rate_above_profile = f.largest_field > limit;
  if (!f.has_timing || f.needed_rate <= limit) return r;
  if (slightly_above(f.needed_rate, limit)) {
    r.scr_above_profile = Weight::Note;
    r.scr_remedy = Remedy::Remux;
    r.judge_fields_at_limit = true;
    return r;
  }
  // The streams fit when their average rates leave 2% of the limit: a muxer's
  // buffers carry the peaks.
  r.scr_above_profile = Weight::Problem;
  r.scr_remedy = f.streams_rate * 100 <= limit * 98 ? Remedy::Remux : Remedy::Reencode;
  r.field_remedy = r.scr_remedy;
  return r;
}

uint64_t suggested_rate(const RateFacts& f) {
  if (f.profile != nullptr) return f.profile->standard_rate;
  uint64_t rate = f.has_timing ? f.needed_rate : f.largest_mux_rate;
  return std::max<uint64_t>(rate, 400);
}

}  // namespace psrate
