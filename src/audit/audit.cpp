// SPDX-License-Identifier: MIT
#include "audit/audit.hpp"

#include <algorithm>
#include <bit>
#include <tuple>

namespace psrate {

uint64_t scr_interval(uint64_t earlier, uint64_t later) {
  // An extension above 299 can carry an SCR a little past the modulus.
  earlier %= kScrModulus;
  later %= kScrModulus;
  return later >= earlier ? later - earlier : later + kScrModulus - earlier;
}

namespace {

// Each profile's rate limit in rate units.
constexpr std::array<uint64_t, kProfileCount> limit_units() {
  std::array<uint64_t, kProfileCount> units{};
  for (size_t p = 0; p < kProfileCount; ++p)
    units[p] = kProfileRows[p].rate_limit / kBitsPerRateUnit;
  return units;
}
inline constexpr std::array<uint64_t, kProfileCount> kLimitUnits = limit_units();

// A slot's pack leaves the stretches: it is counted by each rule it failed. A
// stretch is too fast for a profile when both its need and the profile's limit
// exceed its smallest rate.
void retire_slot(Measurement& m, size_t i) {
  OpenStretches& o = m.open;
  if (o.live[i] == 0) return;
  uint64_t peak_bytes = o.peak_d[i] * kTicksPerByteUnit;
  uint64_t peak_ticks = o.peak_dt[i] + kScrRoundingSlack;
  if (o.min_fast[i] != UINT32_MAX) ++m.packs_below_needed;
  for (size_t p = 0; p < kProfileCount; ++p) {
    m.packs_below_limit[p] += o.min_fast[i] < kLimitUnits[p];
    m.packs_above_limit[p] += peak_bytes > kLimitUnits[p] * peak_ticks;
  }
  o.live[i] = 0;
}

// The run of continuous pairs ends: the packs still held are judged.
void end_run(Measurement& m) {
  for (size_t i = 0; i < kStretchPairs; ++i) retire_slot(m, i);
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
  retire_slot(m, slot);  // its 8 pairs are past
  o.d[slot] = o.dt[slot] = o.peak_d[slot] = o.peak_dt[slot] = 0;
  o.live[slot] = ~uint64_t(0);
  o.min_rate[slot] = o.min_fast[slot] = UINT32_MAX;
  o.offset[slot] = offset;
  // need = ceil(bytes / ticks); need > r exactly when bytes > r * ticks
  uint64_t below_max = m.need_max == 0 ? 0 : m.need_max - 1;
  uint32_t reaching = 0;
  for (size_t i = 0; i < kStretchPairs; ++i) {
    o.d[i] += d & o.live[i];
    o.dt[i] += dt & o.live[i];
    uint32_t rate_i = o.min_rate[i] = std::min(o.min_rate[i], rate);
    uint64_t bytes = o.d[i] * kTicksPerByteUnit;
    uint64_t ticks = o.dt[i] + kScrRoundingSlack;
    // the smallest rate only falls as the stretch grows
    o.min_fast[i] = bytes > rate_i * ticks ? rate_i : o.min_fast[i];
    bool peak = o.d[i] * (o.peak_dt[i] + kScrRoundingSlack) > o.peak_d[i] * ticks;
    o.peak_d[i] = peak ? o.d[i] : o.peak_d[i];
    o.peak_dt[i] = peak ? o.dt[i] : o.peak_dt[i];
    reaching |= uint32_t(bytes > below_max * ticks) << i;
  }
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
      ++m.unbroken_pairs;
      m.pack_sizes.add(d);
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
      census_break(m.census);  // a new segment of the elementary streams
    }
  }
  m.have_pack = true;
  m.broken = false;
  m.last_offset = u.offset;
  m.last_scr = scr;
  m.last_mux = rate;
}

// The smallest P-STD_buffer_size_bound met for each stream id; 0xB8 and 0xB9
// stand for every audio and every video stream.
void count_bounds(Measurement& m, const Unit& u) {
  for (uint32_t i = 0; i < u.system.entry_count; ++i) {
    StreamEntry e = stream_entry(u.system, i);
    uint32_t bytes = bound_bytes(e.buffer_bound_scale, uint16_t(e.buffer_size_bound));
    uint32_t first = e.stream_id, last = e.stream_id;
    if (e.stream_id == 0xB8) first = 0xC0, last = 0xDF;
    if (e.stream_id == 0xB9) first = 0xE0, last = 0xEF;
    for (uint32_t id = first; id <= last; ++id) {
      m.bound_min[id] = m.bound_seen[id] ? std::min(m.bound_min[id], bytes) : bytes;
      m.bound_seen[id] = true;
    }
  }
}

void count_system_header(Measurement& m, const Unit& u) {
  ++m.system_headers;
  count_bounds(m, u);
  if (u.length < kSystemRateBoundEnd) return;
  uint32_t r = u.system.rate_bound;
  m.rate_bound_min = m.rate_bounds == 0 ? r : std::min(m.rate_bound_min, r);
  m.rate_bound_max = m.rate_bounds == 0 ? r : std::max(m.rate_bound_max, r);
  ++m.rate_bounds;
}

// A PES packet: the tally of its stream id, and the census of its contents.
void count_packet(Measurement& m, const Unit& u) {
  // A walk that does not resynchronise takes any 32-bit value as a unit.
  if (u.start_code < 0x1BC || u.start_code > 0x1FF) return;
  StreamTally& t = m.streams[u.start_code & 0xFF];
  ++t.packets;
  t.bytes += u.length;
  census_take(m.census, u);
}

}  // namespace

void measure_unit(Measurement& m, const Unit& u) {
  if (m.end_codes > 0 && u.kind != UnitKind::ZeroStuffing) m.data_after_end_code = true;
  uint64_t extent = u.length;
  switch (u.kind) {
    case UnitKind::Pack: count_pack(m, u); break;
    case UnitKind::SystemHeader: count_system_header(m, u); break;
    case UnitKind::EndCode:
      if (m.end_codes++ == 0) m.first_end_code = u.offset;
      m.broken = true;
      census_break(m.census);
      extent = kStartCodeBytes;
      break;
    case UnitKind::ZeroStuffing: ++m.zero_stuffing; break;
    case UnitKind::Skipped:
      if (m.skipped_ranges++ == 0) m.first_skipped = u.offset;
      m.skipped_bytes += u.length;
      m.broken = true;
      census_break(m.census);
      break;
    case UnitKind::PrivateStream1:
    case UnitKind::Padding:
    case UnitKind::PrivateStream2:
    case UnitKind::Audio:
    case UnitKind::Video:
    case UnitKind::Unknown: count_packet(m, u); break;
  }
  m.seen_unit = true;
  m.last_kind = u.kind;
  m.last_stream = uint8_t(u.start_code);
  m.last_unit_end = u.offset + extent;
  m.truncated_at = u.offset;
}

namespace {

// The last packet runs `cut` bytes past the end of the file.
void cut_census(StreamCount& s, uint64_t cut) {
  if (s.packets == 0 || s.bytes < cut) return;
  s.bytes -= cut;
  s.payload_bytes -= std::min(s.payload_bytes, cut);
}

}  // namespace

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
      cut_census(m.census.ids[m.last_stream], cut);
      if (m.last_stream == 0xBD && m.census.last_sub_known)
        cut_census(m.census.subs[m.census.last_sub], cut);
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

namespace {

void play_batch(void* arg) {
  FeedBatch& b = *static_cast<FeedBatch*>(arg);
  for (size_t i = 0; i < b.count; ++i) pstd_take(*b.model, b.units[i]);
}

size_t buffer_index(const PstdFeed& feed, const uint8_t* buffer) {
  for (size_t i = 0; i < kFeedBuffers; ++i)
    if (feed.buffers[i] == buffer) return i;
  return 0;
}

}  // namespace

void post_batch(PstdFeed& feed) {
  Worker& w = feed.worker;
  FeedBatch& b = feed.batch[w.posted % kFeedBatches];
  if (b.count == 0) return;
  post_job(w, WorkerJob{play_batch, &b});
  feed.jobs_through[buffer_index(feed, feed.batch_buffer)] = w.posted;
  // the batch filled next held the job kFeedBatches back: it must be done
  if (w.posted >= kFeedBatches) wait_jobs(w, w.posted - kFeedBatches + 1);
  feed.batch[w.posted % kFeedBatches].count = 0;
}

void feed_unit(PstdFeed& feed, const Unit& unit) {
  const uint8_t* buffer = feed.walker->window.buffer.data();
  if (buffer != feed.batch_buffer) post_batch(feed);
  feed.batch_buffer = buffer;
  FeedBatch& b = feed.batch[feed.worker.posted % kFeedBatches];
  b.units[b.count++] = unit;
  if (b.count == kFeedBatch) post_batch(feed);
}

void before_read(PstdFeed& feed) {
  post_batch(feed);
  size_t next = buffer_index(feed, feed.walker->spare[0].data());
  wait_jobs(feed.worker, feed.jobs_through[next]);
}

Failure measure_stream(ByteSource& source, std::span<uint8_t> window, Measurement& m,
                       PstdModel* pstd, std::array<std::span<uint8_t>, 2> spare) {
  AuditConsumer audit;
  audit.m = &m;
  audit.pstd = pstd;
  audit.size_known = source.size(source.context, audit.size);
  Walker w;
  w.source = source;
  w.options = kAuditWalk;
  bool threaded = pstd != nullptr && spare[0].size() == window.size() &&
                  spare[1].size() == window.size() && !window.empty();
  if (!threaded) return walk(w, window, audit);
  static PstdFeed feed;  // batches of units: too large for the stack
  for (FeedBatch& b : feed.batch) {
    b.model = pstd;
    b.count = 0;
  }
  feed.walker = &w;
  feed.batch_buffer = nullptr;
  feed.buffers = {window.data(), spare[0].data(), spare[1].data()};
  feed.jobs_through = {};
  w.spare = spare;
  start_worker(feed.worker);  // without a thread, each batch is played in this one
  audit.feed = &feed;
  Failure f = walk(w, window, audit);
  stop_worker(feed.worker);  // after a failure too: no batch is left in hand
  return f;
}

// --- derived figures ---

std::string_view profile_name(Profile p) {
  switch (p) {
    case Profile::None: return "none";
    case Profile::Dvd: return "dvd";
    case Profile::Svcd: return "svcd";
    case Profile::Vcd: return "vcd";
    case Profile::Mpeg2: return "mpeg2";
    case Profile::Mpeg1: return "mpeg1";
    case Profile::Mixed: return "mixed";
  }
  return "none";
}

bool stream_rate(const Measurement& m, const StreamCount& s, uint64_t& rate) {
  if (m.continuous == 0 || m.sum_dt == 0) return false;
  rate = uint64_t(Wide(s.payload_bytes) * 8 * kTicksPerSecond / m.sum_dt);
  return true;
}

namespace {

Profile named_profile(const ProfileRow& row) {
  if (row.name == "dvd") return Profile::Dvd;
  if (row.name == "svcd") return Profile::Svcd;
  return Profile::Vcd;
}

void find_profile(const Measurement& m, Verdict& v) {
  if (m.packs == 0) return;
  bool mpeg2 = m.mpeg2_packs == m.packs;
  if (!mpeg2 && m.mpeg1_packs != m.packs) {
    v.profile = Profile::Mixed;
    return;
  }
  if (v.has_pack_size) v.row = profile_row(mpeg2, v.pack_size);
  v.profile = v.row ? named_profile(*v.row) : mpeg2 ? Profile::Mpeg2 : Profile::Mpeg1;
}

// The stream whose PTS span gives the presentation duration: the lowest video
// stream id with a PTS, else the stream with the longest span.
const StreamCount* presentation_stream(const StreamCensus& c, Presentation& p) {
  for (uint32_t id = 0xE0; id <= 0xEF; ++id)
    if (c.ids[id].has_pts) {
      p.id = uint8_t(id);
      return &c.ids[id];
    }
  const StreamCount* best = nullptr;
  auto consider = [&](const StreamCount& s, uint8_t id, bool sub) {
    if (!s.has_pts || (best && pts_span(s) <= pts_span(*best))) return;
    best = &s;
    p.id = sub ? 0xBD : id;
    p.sub = sub ? id : 0;
    p.is_sub = sub;
  };
  for (size_t id = 0; id < c.ids.size(); ++id) consider(c.ids[id], uint8_t(id), false);
  for (size_t id = 0; id < c.subs.size(); ++id) consider(c.subs[id], uint8_t(id), true);
  return best;
}

// The sum over segments of the PTS range, plus one frame period each for a
// video of known frame rate, to the nearest millisecond.
Presentation presentation(const StreamCensus& c) {
  Presentation p;
  const StreamCount* s = presentation_stream(c, p);
  if (s == nullptr) return p;
  p.known = true;
  uint64_t segments = s->spans + (s->span.open ? 1 : 0);
  Rational fps{0, 1};
  if (s->codec == Codec::Mpeg1Video || s->codec == Codec::Mpeg2Video) fps = frame_rate(s->video);
  if (fps.num == 0) fps = {1, 0};  // no frame period
  // ms = (span / 90) + segments * 1000 * den / num, over the common denominator 90 * num
  Wide num = Wide(pts_span(*s)) * fps.num + Wide(segments) * 90000 * fps.den;
  Wide den = Wide(90) * fps.num;
  p.ms = uint64_t((num * 2 + den) / (den * 2));
  return p;
}

uint64_t all_streams_rate(const Measurement& m) {
  uint64_t sum = 0, rate = 0;
  for (size_t id = 0; id < m.census.ids.size(); ++id)
    if (id != 0xBE && m.census.ids[id].packets > 0 && stream_rate(m, m.census.ids[id], rate))
      sum += rate;
  return sum;
}

void derive_figures(const Measurement& m, Verdict& v) {
  v.has_pack_size = m.unbroken_pairs > 0 && m.pack_sizes.dominant(99, 100, v.pack_size);
  find_profile(m, v);
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
  v.presentation = presentation(m.census);
  v.streams_rate = all_streams_rate(m);
  uint32_t largest = m.packs > 0 ? m.mux_max : 0;
  if (m.rate_bounds > 0) largest = std::max(largest, m.rate_bound_max);
  v.largest_field = uint64_t(largest) * kBitsPerRateUnit;
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

size_t row_index(const ProfileRow* row) { return size_t(row - kProfileRows.data()); }

RateFacts rate_facts(const Measurement& m, const Verdict& v) {
  RateFacts f;
  f.profile = v.row;
  f.has_timing = v.has_timing;
  f.needed_rate = v.needed_rate;
  f.largest_field = v.largest_field;
  f.largest_mux_rate = uint64_t(m.mux_max) * kBitsPerRateUnit;
  f.streams_rate = v.streams_rate;
  return f;
}

void set(Verdict& v, Finding f, bool holds, Remedy remedy = Remedy::None) {
  v.found[size_t(f)] = holds;
  v.remedy[size_t(f)] = holds ? remedy : Remedy::None;
}

// The rate fields against the SCRs, and both against the profile's limit.
void find_rates(const Measurement& m, Verdict& v) {
  RateRemedies r = rate_remedies(rate_facts(m, v));
  v.judged_at_limit = r.judge_fields_at_limit;
  v.packs_below = v.judged_at_limit ? m.packs_below_limit[row_index(v.row)] : m.packs_below_needed;
  set(v, Finding::MuxRateZero, m.mux_zero > 0, r.field_remedy);
  set(v, Finding::MuxRateBelowNeeded, v.packs_below > 0, r.field_remedy);
  set(v, Finding::RateBoundBelowMuxRate,
      m.packs > 0 && m.rate_bounds > 0 && m.rate_bound_min < m.mux_max, r.field_remedy);
  set(v, Finding::MuxRateAboveProfile, r.mux_rate_above_profile, r.field_remedy);
  set(v, Finding::ScrAboveProfile, r.scr_above_profile != Weight::Absent, r.scr_remedy);
  if (r.scr_above_profile == Weight::Note)
    v.severity[size_t(Finding::ScrAboveProfile)] = Severity::Note;
}

}  // namespace

bool video_outside(const Measurement& m, const ProfileRow& row, uint8_t& id) {
  for (uint32_t i = 0xE0; i <= 0xEF; ++i) {
    const StreamCount& s = m.census.ids[i];
    if (s.codec != Codec::Mpeg1Video && s.codec != Codec::Mpeg2Video) continue;
    if (video_fits(row, s.video)) continue;
    id = uint8_t(i);
    return true;
  }
  return false;
}

bool bound_below(const Measurement& m, const ProfileRow& row, uint8_t& id) {
  for (size_t i = 0; i < m.streams.size(); ++i) {
    uint32_t size = profile_buffer(row, uint8_t(i));
    if (m.streams[i].packets == 0 || size == 0 || !m.bound_seen[i] || m.bound_min[i] >= size)
      continue;
    id = uint8_t(i);
    return true;
  }
  return false;
}

namespace {

void find(const Measurement& m, Verdict& v) {
  for (const FindingClass& c : kFindingClasses) v.severity[size_t(c.finding)] = c.severity;
  set(v, Finding::NoPackHeader, m.packs == 0);
  find_rates(m, v);
  uint8_t id = 0;
  set(v, Finding::VideoOutsideProfile, v.row && video_outside(m, *v.row, id), Remedy::Reencode);
  set(v, Finding::Damaged, m.skipped_ranges > 0);
  set(v, Finding::DataAfterEndCode, m.data_after_end_code);
  set(v, Finding::Truncated, m.truncated);
  set(v, Finding::ScrDiscontinuity, m.discontinuities > 0);
  set(v, Finding::MuxRateVaries, m.packs > 0 && m.mux_min != m.mux_max);
  set(v, Finding::DurationMismatch, duration_mismatch(m, v));
  set(v, Finding::BufferBoundBelowProfile, v.row && bound_below(m, *v.row, id), Remedy::Remux);
  for (size_t f = 0; f < kFindingCount; ++f) {
    if (!v.found[f] || v.severity[f] != Severity::Problem) continue;
    v.problem = true;
    v.remedy_needed = std::max(v.remedy_needed, v.remedy[f]);
  }
}

void suggest(const Measurement& m, Verdict& v) {
  if (v.remedy_needed != Remedy::Rewrite) return;
  v.has_suggestion = true;
  v.suggested_rate = suggested_rate(rate_facts(m, v));
  v.fix_resync = m.skipped_ranges > 0;
  v.fix_past_end = m.data_after_end_code;
}

}  // namespace

namespace {

// Every buffer of stream id `id` (each sub-stream's for 0xBD, in every
// segment) peaks within `bytes`, and one at least was modelled.
bool peaks_within(const PstdModel& p, size_t id, uint64_t bytes) {
  bool any = false;
  for (size_t i = 0; i < p.result_count; ++i) {
    const BufferResult& r = p.results[i];
    if ((r.is_sub ? 0xBD : r.id) != id || !r.modelled) continue;
    if (r.figures.peak > bytes) return false;
    any = true;
  }
  return any;
}

// 0xB9 and 0xB8 bound every video and every audio stream: set when each of
// those in the stream is.
void repair_any_entries(const Measurement& m, BoundRepair& repair) {
  for (auto [any_id, first, last] : {std::tuple{0xB9, 0xE0, 0xEF}, std::tuple{0xB8, 0xC0, 0xDF}}) {
    bool all = true, some = false;
    size_t like = 0;
    for (int id = first; id <= last; ++id) {
      if (m.streams[size_t(id)].packets == 0) continue;
      some = true;
      all = all && repair.set[size_t(id)];
      like = size_t(id);
    }
    if (!some || !all) continue;
    repair.set[size_t(any_id)] = true;
    repair.scale[size_t(any_id)] = repair.scale[like];
    repair.units[size_t(any_id)] = repair.units[like];
  }
}

// The stream ids whose bound --fix may set to the profile's size: present, and
// every buffer of theirs peaks within that size.
void find_repairs(const PstdModel& p, const Measurement& m, Verdict& v) {
  if (v.row == nullptr) return;
  for (size_t id = 0; id < 256; ++id) {
    const BufferSize* b = profile_bound(*v.row, uint8_t(id));
    if (b == nullptr || m.streams[id].packets == 0 || !peaks_within(p, id, b->bytes)) continue;
    v.repair.set[id] = true;
    v.repair.scale[id] = b->scale;
    v.repair.units[id] = b->units;
  }
  repair_any_entries(m, v.repair);
}

// Every stream id the finding concerns can be repaired.
bool repairable(const Verdict& v, const std::array<bool, 256>& concerned) {
  bool any = false;
  for (size_t id = 0; id < 256; ++id) {
    if (!concerned[id]) continue;
    if (!v.repair.set[id]) return false;
    any = true;
  }
  return any;
}

void bound_remedies(const PstdModel& p, const Measurement& m, Verdict& v) {
  find_repairs(p, m, v);
  std::array<bool, 256> low{};
  if (v.row != nullptr)
    for (size_t id = 0; id < 256; ++id) {
      uint32_t size = profile_buffer(*v.row, uint8_t(id));
      low[id] = m.streams[id].packets > 0 && size > 0 && m.bound_seen[id] && m.bound_min[id] < size;
    }
  const std::array<bool, 256>* low_ids = &low;
  for (auto [f, ids] : {std::pair{Finding::BufferBoundBelowProfile, low_ids},
                        std::pair{Finding::BoundBelowBufferSize, &p.above_bound}}) {
    // a remux or a new encoding writes the stream anew: --fix sets no bound then
    if (!v.found[size_t(f)] || !repairable(v, *ids) || v.remedy_needed > Remedy::Rewrite) continue;
    v.remedy[size_t(f)] = Remedy::Rewrite;
    v.repairs = true;
  }
}

}  // namespace

void judge_buffers(const PstdModel& p, const Measurement& m, Verdict& v) {
  v.buffers = &p;
  uint64_t overflows = 0, underflows = 0, mismatches = 0, ignored = 0, pointers = 0;
  for (size_t i = 0; i < p.result_count; ++i) {
    const BufferResult& r = p.results[i];
    if (!r.modelled) continue;
    overflows += r.figures.overflows;
    underflows += r.underflows.count - r.underflows.permitted;
    mismatches += r.counts.timestamp_mismatches;
    ignored += r.counts.timestamps_ignored;
    pointers += r.counts.pointer_mismatches;
  }
  bool above = std::any_of(p.above_bound.begin(), p.above_bound.end(), [](bool b) { return b; });
  set(v, Finding::BufferOverflow, overflows > 0, Remedy::Remux);
  set(v, Finding::BufferUnderflow, underflows > 0, Remedy::Remux);
  set(v, Finding::BoundBelowBufferSize, above, Remedy::Remux);
  set(v, Finding::TimestampMismatch, mismatches > 0);
  set(v, Finding::TimestampsIgnored, ignored > 0);
  set(v, Finding::PointerMismatch, pointers > 0);
  for (Finding f : {Finding::BufferOverflow, Finding::BufferUnderflow}) {
    if (!v.found[size_t(f)]) continue;
    v.problem = true;
    v.remedy_needed = std::max(v.remedy_needed, Remedy::Remux);
  }
  if (v.remedy_needed != Remedy::Rewrite) {
    v.has_suggestion = false;
    v.suggested_rate = 0;
  }
  bound_remedies(p, m, v);
}

Verdict judge(const Measurement& m) {
  Verdict v;
  derive_figures(m, v);
  find(m, v);
  suggest(m, v);
  return v;
}

}  // namespace psrate
