// SPDX-License-Identifier: MIT
#include "audit/audit.hpp"

#include <algorithm>
#include <bit>

namespace psrate {

uint64_t scr_interval(uint64_t earlier, uint64_t later) {
  // An extension above 299 can carry an SCR a little past the modulus.
  earlier %= kScrModulus;
  later %= kScrModulus;
  return later >= earlier ? later - earlier : later + kScrModulus - earlier;
}

namespace {

// The run of continuous pairs ends: the packs still held are judged.
void end_run(Measurement& m) {
  m.packs_below_needed += uint64_t(std::popcount(m.open.too_fast));
  m.open = OpenStretches{};
}

// Every stretch that ends at the new pair: the last 1..8 pairs of the run.
// A continuous pair moves at most 4194303 rate units in at most 0.7 s, so no
// stretch holds more than 2^31 bytes or 2^28 ticks: each product below stays
// under 2^51 and 64 bits hold it exactly.
void add_continuous_pair(Measurement& m, uint64_t d, uint64_t dt, uint32_t rate, uint64_t offset) {
  OpenStretches& o = m.open;
  size_t slot = o.next;
  o.next = (slot + 1) % kStretchPairs;
  uint32_t bit = 1u << slot;
  if (o.too_fast & bit) ++m.packs_below_needed;  // its 8 pairs are past
  o.too_fast &= ~bit;
  o.d[slot] = o.dt[slot] = 0;
  o.live[slot] = ~uint64_t(0);
  o.min_rate[slot] = UINT32_MAX;
  o.offset[slot] = offset;
  // need = ceil(bytes / ticks); need > r exactly when bytes > r * ticks
  uint64_t below_max = m.need_max == 0 ? 0 : m.need_max - 1;
  uint32_t fast = 0, reaching = 0;
  for (size_t i = 0; i < kStretchPairs; ++i) {
    o.d[i] += d & o.live[i];
    o.dt[i] += dt & o.live[i];
    o.min_rate[i] = std::min(o.min_rate[i], rate);
    uint64_t bytes = o.d[i] * kTicksPerByteUnit;
    uint64_t ticks = o.dt[i] + kScrRoundingSlack;
    fast |= uint32_t(bytes > o.min_rate[i] * ticks) << i;
    reaching |= uint32_t(bytes > below_max * ticks) << i;
  }
  o.too_fast |= fast;
  for (size_t i = 0; reaching != 0; ++i, reaching >>= 1) {
    if ((reaching & 1) == 0) continue;
    uint64_t bytes = o.d[i] * kTicksPerByteUnit;
    uint64_t ticks = o.dt[i] + kScrRoundingSlack;
    // judged against the largest need so far, which an earlier slot may have raised
    if (m.need_max != 0 && bytes <= (m.need_max - 1) * ticks) continue;
    if (m.need_max != 0 && bytes <= m.need_max * ticks) {
      m.needed_at = std::min(m.needed_at, o.offset[i]);  // as large as the largest
      continue;
    }
    uint64_t need = (bytes + ticks - 1) / ticks;
    if (need > m.need_max || (need == m.need_max && o.offset[i] < m.needed_at)) {
      m.need_max = need;
      m.needed_at = o.offset[i];
    }
  }
}

void count_pack(Measurement& m, const Unit& u) {
  uint32_t rate = u.pack.program_mux_rate;
  uint64_t scr = u.pack.scr;
  if (m.packs == 0) {
    m.mux_min = m.mux_max = m.first_mux = rate;
  } else {
    m.mux_min = std::min(m.mux_min, rate);
    m.mux_max = std::max(m.mux_max, rate);
  }
  ++m.packs;
  ++(u.pack.mpeg1 ? m.mpeg1_packs : m.mpeg2_packs);
  if (rate == 0) ++m.mux_zero;
  if (m.have_pack) {
    ++m.pairs;
    uint64_t d = u.offset - m.last_offset;
    bool continuous = false;
    if (!m.broken) {
      if (m.unbroken_pairs++ == 0)
        m.pack_size = d;
      else if (d != m.pack_size)
        m.pack_size_varies = true;
      uint64_t dt = scr_interval(m.last_scr, scr);
      // more than the 22-bit field can hold: a clock that barely moved
      bool overflows = Wide(d) * kTicksPerByteUnit > Wide(kRateFieldMax) * dt;
      continuous = dt > 0 && dt <= kScrMaxInterval && !overflows;
      if (continuous) {
        ++m.continuous;
        m.sum_d += d;
        m.sum_dt += dt;
        add_continuous_pair(m, d, dt, m.last_mux, m.last_offset);
      }
    }
    if (!continuous) {
      ++m.discontinuities;
      end_run(m);
    }
  }
  m.have_pack = true;
  m.broken = false;
  m.last_offset = u.offset;
  m.last_scr = scr;
  m.last_mux = rate;
}

}  // namespace

void measure_unit(Measurement& m, const Unit& u) {
  if (m.end_codes > 0 && u.kind != UnitKind::ZeroStuffing) m.data_after_end_code = true;
  uint64_t extent = u.length;
  switch (u.kind) {
    case UnitKind::Pack: count_pack(m, u); break;
    case UnitKind::SystemHeader:
      ++m.system_headers;
      if (u.length >= kSystemRateBoundEnd) {
        uint32_t r = u.system.rate_bound;
        m.rate_bound_min = m.rate_bounds == 0 ? r : std::min(m.rate_bound_min, r);
        m.rate_bound_max = m.rate_bounds == 0 ? r : std::max(m.rate_bound_max, r);
        ++m.rate_bounds;
      }
      break;
    case UnitKind::EndCode:
      if (m.end_codes++ == 0) m.first_end_code = u.offset;
      m.broken = true;
      extent = kStartCodeBytes;
      break;
    case UnitKind::ZeroStuffing: ++m.zero_stuffing; break;
    case UnitKind::Skipped:
      if (m.skipped_ranges++ == 0) m.first_skipped = u.offset;
      m.skipped_bytes += u.length;
      m.broken = true;
      break;
    case UnitKind::PrivateStream1:
    case UnitKind::Padding:
    case UnitKind::PrivateStream2:
    case UnitKind::Audio:
    case UnitKind::Video:
    case UnitKind::Unknown:
      // A walk that does not resynchronise takes any 32-bit value as a unit.
      if (u.start_code >= 0x1BC && u.start_code <= 0x1FF) {
        StreamTally& t = m.streams[u.start_code & 0xFF];
        ++t.packets;
        t.bytes += u.length;
      }
      break;
  }
  m.seen_unit = true;
  m.last_kind = u.kind;
  m.last_stream = uint8_t(u.start_code);
  m.last_unit_end = u.offset + extent;
  m.truncated_at = u.offset;
}

void finish_measurement(Measurement& m, const WalkEnd& end, bool size_known, uint64_t file_size) {
  end_run(m);
  m.file_size = size_known && file_size >= end.data_end ? file_size : end.data_end;
  uint64_t last_offset = m.truncated_at;
  m.truncated_at = 0;
  if (m.seen_unit && m.last_unit_end > m.file_size) {
    // The last unit's length runs past the end of the file.
    m.truncated = true;
    m.truncated_at = last_offset;
    if (m.last_kind != UnitKind::Pack && m.last_kind != UnitKind::SystemHeader &&
        m.last_kind != UnitKind::Skipped && m.last_kind != UnitKind::EndCode &&
        m.last_kind != UnitKind::ZeroStuffing) {
      uint64_t cut = m.last_unit_end - m.file_size;
      StreamTally& t = m.streams[m.last_stream];
      if (t.packets > 0 && t.bytes >= cut) t.bytes -= cut;
    }
    return;
  }
  if (end.tail_offset >= m.file_size) return;
  // 1 to 3 zero bytes at the end are zero stuffing too short to frame; any
  // other tail is a unit cut before its fixed bytes, a start code included.
  bool zeros = end.tail_offset + end.tail.size() == m.file_size &&
               std::all_of(end.tail.begin(), end.tail.end(), [](uint8_t b) { return b == 0; });
  if (zeros && end.tail.size() < kStartCodeBytes) {
    m.zero_stuffing += end.tail.size();
    return;
  }
  m.truncated = true;
  m.truncated_at = end.tail_offset;
}

Failure measure_stream(ByteSource& source, std::span<uint8_t> window, Measurement& m) {
  AuditConsumer audit;
  audit.m = &m;
  audit.size_known = source.size(source.context, audit.size);
  return walk(source, kAuditWalk, window, audit);
}

// --- derived figures ---

std::string_view profile_name(Profile p) {
  switch (p) {
    case Profile::None: return "none";
    case Profile::Dvd: return "dvd";
    case Profile::Vcd: return "vcd";
    case Profile::Mpeg2: return "mpeg2";
    case Profile::Mpeg1: return "mpeg1";
    case Profile::Mixed: return "mixed";
  }
  return "none";
}

namespace {

Profile profile_of(const Measurement& m, bool has_pack_size) {
  if (m.packs == 0) return Profile::None;
  if (m.mpeg2_packs == m.packs)
    return has_pack_size && m.pack_size == kDvdPackSize ? Profile::Dvd : Profile::Mpeg2;
  if (m.mpeg1_packs == m.packs)
    return has_pack_size && m.pack_size == kVcdPackSize ? Profile::Vcd : Profile::Mpeg1;
  return Profile::Mixed;
}

void derive_figures(const Measurement& m, Verdict& v) {
  v.has_pack_size = m.unbroken_pairs > 0 && !m.pack_size_varies;
  v.profile = profile_of(m, v.has_pack_size);
  v.has_timing = m.continuous > 0;
  if (v.has_timing) {
    v.duration_ms = uint64_t((m.sum_dt + kTicksPerSecond / 2000) / (kTicksPerSecond / 1000));
    v.average_rate = uint64_t(m.sum_d * 8 * kTicksPerSecond / m.sum_dt);
    v.needed_rate = m.need_max * kBitsPerRateUnit;
  }
  v.has_player_duration = m.packs > 0 && m.first_mux > 0;
  if (v.has_player_duration)  // size / (rate * 50) seconds, to the nearest millisecond
    v.player_duration_ms =
        uint64_t((Wide(m.file_size) * 40 + m.first_mux) / (Wide(2) * m.first_mux));
}

// The player's duration (size / first program_mux_rate) more than 5% off the SCRs'.
bool duration_mismatch(const Measurement& m, const Verdict& v) {
  if (!v.has_timing || !v.has_player_duration) return false;
  // |size * 540000 / m - sum dt| > sum dt / 20, in ticks, without division
  Wide by_rate = Wide(m.file_size) * kTicksPerByteUnit;
  Wide by_scr = m.sum_dt * m.first_mux;
  Wide gap = by_rate > by_scr ? by_rate - by_scr : by_scr - by_rate;
  return gap * 20 > by_scr;
}

void find(const Measurement& m, Verdict& v) {
  auto set = [&v](Finding f, bool holds) { v.found[size_t(f)] = holds; };
  uint64_t mux_max_rate = uint64_t(m.mux_max) * kBitsPerRateUnit;
  set(Finding::NoPackHeader, m.packs == 0);
  set(Finding::MuxRateZero, m.mux_zero > 0);
  set(Finding::MuxRateBelowNeeded, m.packs_below_needed > 0);
  set(Finding::RateBoundBelowMuxRate,
      m.packs > 0 && m.rate_bounds > 0 && m.rate_bound_min < m.mux_max);
  set(Finding::DvdRateLimit,
      v.profile == Profile::Dvd &&
          (mux_max_rate > kDvdRateLimit || (v.has_timing && v.needed_rate > kDvdRateLimit)));
  set(Finding::Damaged, m.skipped_ranges > 0);
  set(Finding::DataAfterEndCode, m.data_after_end_code);
  set(Finding::Truncated, m.truncated);
  set(Finding::ScrDiscontinuity, m.discontinuities > 0);
  set(Finding::MuxRateVaries, m.packs > 0 && m.mux_min != m.mux_max);
  set(Finding::DurationMismatch, duration_mismatch(m, v));
  for (const FindingClass& c : kFindingClasses)
    if (v.found[size_t(c.finding)] && c.severity == Severity::Problem) v.problem = true;
}

void suggest(const Measurement& m, Verdict& v) {
  if (!v.found[size_t(Finding::MuxRateBelowNeeded)] &&
      !v.found[size_t(Finding::RateBoundBelowMuxRate)] && !v.found[size_t(Finding::MuxRateZero)])
    return;
  v.has_suggestion = true;
  // Without SCR timing nothing says the declared rates are too high: keep the largest.
  uint64_t rate = v.has_timing ? v.needed_rate : uint64_t(m.mux_max) * kBitsPerRateUnit;
  v.suggested_rate = std::max<uint64_t>(rate, kBitsPerRateUnit);
  v.fix_resync = m.skipped_ranges > 0;
  v.fix_past_end = m.data_after_end_code;
}

}  // namespace

Verdict judge(const Measurement& m) {
  Verdict v;
  derive_figures(m, v);
  find(m, v);
  suggest(m, v);
  return v;
}

}  // namespace psrate
