// SPDX-License-Identifier: MIT
// The rate audit: one walk over the stream measures its pack headers' system
// clock references against their program_mux_rate fields (ISO/IEC 13818-1,
// 2.5.2 and 2.5.3.4), then the figures and findings are derived from the tallies.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "audit/most_common.hpp"
#include "audit/profiles.hpp"
#include "audit/remedy.hpp"
#include "es/census.hpp"
#include "io/byte_source.hpp"
#include "io/status.hpp"
#include "io/worker.hpp"
#include "ps/units.hpp"
#include "ps/walk.hpp"
#include "pstd/pstd.hpp"
#include "rewrite/rewrite.hpp"

namespace psrate {

// --- clock and rate constants ---
inline constexpr uint64_t kScrModulus = 300ull << 33;    // the 33-bit base wraps, 300 ticks each
inline constexpr uint64_t kScrMaxInterval = 18'900'000;  // 0.7 s at 27 MHz
inline constexpr uint64_t kScrRoundingSlack = 300;       // one 90 kHz tick per stretch
inline constexpr uint64_t kTicksPerSecond = 27'000'000;
// bytes * 540000 / ticks = rate units of 50 bytes/s
inline constexpr uint64_t kTicksPerByteUnit = kTicksPerSecond / 50;
inline constexpr uint64_t kRateFieldMax = (1u << 22) - 1;
inline constexpr size_t kStretchPairs = 8;
// Pack-to-pack distances counted apart before the rest count together.
inline constexpr size_t kPackSizeSlots = 64;
inline constexpr size_t kProfileCount = kProfileRows.size();

// (later - earlier) modulo 300 * 2^33: the ticks from one SCR to the next.
uint64_t scr_interval(uint64_t earlier, uint64_t later);

__extension__ typedef unsigned __int128 Wide;

struct StreamTally {
  uint64_t packets = 0;
  uint64_t bytes = 0;
};

// The stretches still growing in the current run of continuous pairs: one slot
// per pack that begins one of the last 8 pairs, each with the sums from that
// pack to the last pair. Every slot takes each new pair alike, branch-free.
// When its 8 pairs are past, a slot's pack is judged on what its stretches
// left: the smallest rate among those delivered too fast, and the one of
// largest need (against each profile's limit).
struct OpenStretches {
  std::array<uint64_t, kStretchPairs> d{}, dt{};
  std::array<uint64_t, kStretchPairs> live{};  // all ones for a slot in use, else 0
  std::array<uint32_t, kStretchPairs> min_rate{};
  std::array<uint32_t, kStretchPairs> min_fast{};  // UINT32_MAX: no stretch too fast
  std::array<uint64_t, kStretchPairs> peak_d{}, peak_dt{};
  std::array<uint64_t, kStretchPairs> offset{};  // the pack that begins the stretches
  size_t next = 0;                               // the slot the next pair's pack takes
};

// Everything the walk tallies: fixed-size, no allocation, whatever the file's size.
struct Measurement {
  uint64_t file_size = 0;

  uint64_t packs = 0, mpeg1_packs = 0, mpeg2_packs = 0;
  uint64_t system_headers = 0;
  std::array<StreamTally, 256> streams{};  // by stream_id, for codes 0x1BC..0x1FF
  uint64_t end_codes = 0, first_end_code = 0;
  bool data_after_end_code = false;
  uint64_t skipped_ranges = 0, skipped_bytes = 0, first_skipped = 0;
  uint64_t zero_stuffing = 0;
  bool truncated = false;
  uint64_t truncated_at = 0;

  uint32_t mux_min = 0, mux_max = 0, first_mux = 0;
  uint64_t mux_zero = 0;
  uint64_t rate_bounds = 0;  // system headers long enough to hold rate_bound
  uint32_t rate_bound_min = 0, rate_bound_max = 0;

  // pairs of packs
  uint64_t pairs = 0, continuous = 0, discontinuities = 0;
  uint64_t unbroken_pairs = 0;
  MostCommon<kPackSizeSlots> pack_sizes;  // the distances of unbroken pairs
  Wide sum_d = 0, sum_dt = 0;             // over continuous pairs
  uint64_t need_max = 0, needed_at = 0;   // rate units; 0 without a continuous pair
  uint64_t packs_below_needed = 0;
  std::array<uint64_t, kProfileCount> packs_below_limit{};  // by kProfileRows
  std::array<uint64_t, kProfileCount> packs_above_limit{};  // begin a stretch that needs more

  // the smallest P-STD_buffer_size_bound of each stream id over the system headers, in bytes
  std::array<uint32_t, 256> bound_min{};
  std::array<bool, 256> bound_seen{};

  StreamCensus census;  // the elementary streams

  // --- walk state ---
  bool have_pack = false;
  bool broken = false;  // a skipped range or an end code since the last pack
  uint64_t last_offset = 0, last_scr = 0;
  uint32_t last_mux = 0;
  OpenStretches open;
  UnitKind last_kind = UnitKind::EndCode;
  uint8_t last_stream = 0;
  uint64_t last_unit_end = 0;
  bool seen_unit = false;
};

// Tallies one unit of the walk.
void measure_unit(Measurement& m, const Unit& unit);

// Closes the walk: the last run of pairs, the cut tail of the file and its size.
void finish_measurement(Measurement& m, const WalkEnd& end, bool size_known, uint64_t file_size);

// The decoder buffers played on a second thread while the walk goes on. The
// walk moves round three buffers; the units go to the thread in batches, each
// of one buffer, and before the walk reads into a buffer again the batches of
// its units are done.
inline constexpr size_t kFeedBatch = 2048;
inline constexpr size_t kFeedBatches = 4;
inline constexpr size_t kFeedBuffers = 3;

struct FeedBatch {
  PstdModel* model = nullptr;
  std::array<Unit, kFeedBatch> units{};
  size_t count = 0;
};

struct PstdFeed {
  Worker worker;
  const Walker* walker = nullptr;
  std::array<FeedBatch, kFeedBatches> batch{};  // a ring: batch[posted % kFeedBatches] fills
  const uint8_t* batch_buffer = nullptr;        // the buffer of the units in the one filling
  std::array<const uint8_t*, kFeedBuffers> buffers{};
  std::array<uint64_t, kFeedBuffers> jobs_through{};  // the jobs that must be done to reuse each
};

// The batch being filled goes to the thread; the next one waits for room.
void post_batch(PstdFeed& feed);
// A unit to the batch being filled.
void feed_unit(PstdFeed& feed, const Unit& unit);
// The walk is about to read: the buffer it may read into next is free.
void before_read(PstdFeed& feed);

// The audit as a consumer of the walk. It reads the stream tables and the PES
// headers and payloads, so it sees system headers and PES packets whole.
struct AuditConsumer {
  static constexpr KindSet kWhole = kind_bit(UnitKind::SystemHeader) | CensusWalk::kWhole;
  Measurement* m = nullptr;
  PstdModel* pstd = nullptr;  // the decoder buffers, when they are checked
  PstdFeed* feed = nullptr;   // ... on a second thread
  bool size_known = false;
  uint64_t size = 0;

  Failure take(const Unit& unit) {
    measure_unit(*m, unit);
    if (feed) {
      feed_unit(*feed, unit);
    } else if (pstd) {
      pstd_take(*pstd, unit);
    }
    return Failure::None;
  }
  Failure settle() {
    if (feed) before_read(*feed);
    return Failure::None;
  }
  Failure finish(const WalkEnd& end) {
    finish_measurement(*m, end, size_known, size);
    if (feed) {
      post_batch(*feed);
      wait_jobs(feed->worker, feed->worker.posted);
    }
    if (pstd) pstd_finish(*pstd);
    return Failure::None;
  }
};

// The audit's walk over a source (read only): --resync --past-end.
inline constexpr WalkOptions kAuditWalk{true, true};
// With `pstd`, the decoder buffers are checked in the same walk; with two
// `spare` buffers of the window's size too, they are played on a second thread
// (the same figures, in less time).
Failure measure_stream(ByteSource& source, std::span<uint8_t> window, Measurement& m,
                       PstdModel* pstd = nullptr, std::array<std::span<uint8_t>, 2> spare = {});

// --- derived figures and findings ---
enum class Profile : uint8_t { None, Dvd, Svcd, Vcd, Mpeg2, Mpeg1, Mixed };
std::string_view profile_name(Profile p);

enum class Severity : uint8_t { Problem, Note };

enum class Finding : uint8_t {
  NoPackHeader,
  MuxRateZero,
  MuxRateBelowNeeded,
  RateBoundBelowMuxRate,
  MuxRateAboveProfile,
  ScrAboveProfile,
  VideoOutsideProfile,
  BufferOverflow,
  BufferUnderflow,
  Damaged,
  DataAfterEndCode,
  Truncated,
  ScrDiscontinuity,
  MuxRateVaries,
  DurationMismatch,
  BufferBoundBelowProfile,
  BoundBelowBufferSize,
  TimestampMismatch,
  TimestampsIgnored,
  PointerMismatch,
};
inline constexpr size_t kFindingCount = 20;

struct FindingClass {
  Finding finding;
  std::string_view code;
  Severity severity;  // scr_above_profile is a note when the SCRs are barely above the limit
};

// In report order: problems first.
inline constexpr std::array<FindingClass, kFindingCount> kFindingClasses{{
    {Finding::NoPackHeader, "no_pack_header", Severity::Problem},
    {Finding::MuxRateZero, "mux_rate_zero", Severity::Problem},
    {Finding::MuxRateBelowNeeded, "mux_rate_below_needed", Severity::Problem},
    {Finding::RateBoundBelowMuxRate, "rate_bound_below_mux_rate", Severity::Problem},
    {Finding::MuxRateAboveProfile, "mux_rate_above_profile", Severity::Problem},
    {Finding::ScrAboveProfile, "scr_above_profile", Severity::Problem},
    {Finding::VideoOutsideProfile, "video_outside_profile", Severity::Problem},
    {Finding::BufferOverflow, "buffer_overflow", Severity::Problem},
    {Finding::BufferUnderflow, "buffer_underflow", Severity::Problem},
    {Finding::Damaged, "damaged", Severity::Problem},
    {Finding::DataAfterEndCode, "data_after_end_code", Severity::Note},
    {Finding::Truncated, "truncated", Severity::Note},
    {Finding::ScrDiscontinuity, "scr_discontinuity", Severity::Note},
    {Finding::MuxRateVaries, "mux_rate_varies", Severity::Note},
    {Finding::DurationMismatch, "duration_mismatch", Severity::Note},
    {Finding::BufferBoundBelowProfile, "buffer_bound_below_profile", Severity::Note},
    {Finding::BoundBelowBufferSize, "bound_below_buffer_size", Severity::Note},
    {Finding::TimestampMismatch, "timestamp_mismatch", Severity::Note},
    {Finding::TimestampsIgnored, "timestamps_ignored", Severity::Note},
    {Finding::PointerMismatch, "pointer_mismatch", Severity::Note},
}};

constexpr bool finding_classes_in_order() {
  bool notes = false;
  for (size_t i = 0; i < kFindingClasses.size(); ++i) {
    if (size_t(kFindingClasses[i].finding) != i) return false;
    if (notes && kFindingClasses[i].severity == Severity::Problem) return false;
    notes = kFindingClasses[i].severity == Severity::Note;
  }
  return true;
}
static_assert(finding_classes_in_order(), "findings by enum value, problems before notes");

// The stream whose PTS gives the presentation duration, and that duration.
struct Presentation {
  bool known = false;
  uint8_t id = 0, sub = 0;
  bool is_sub = false;
  uint64_t ms = 0;  // rounded to the millisecond
};

struct Verdict {
  Profile profile = Profile::None;
  const ProfileRow* row = nullptr;  // nullptr for a generic profile
  bool has_pack_size = false;
  uint64_t pack_size = 0;     // the most common distance, when it covers 99% of the pairs
  bool has_timing = false;    // at least one continuous pair
  uint64_t duration_ms = 0;   // rounded to the millisecond
  uint64_t average_rate = 0;  // bit/s
  uint64_t needed_rate = 0;   // bit/s
  bool has_player_duration = false;
  uint64_t player_duration_ms = 0;  // file size / first program_mux_rate
  Presentation presentation;
  const PstdModel* buffers = nullptr;  // the decoder buffers, when they were checked
  // the bounds --fix sets: each stream id whose every buffer peaks within the profile's size
  BoundRepair repair;
  bool repairs = false;       // a finding whose remedy is to set bounds
  uint64_t streams_rate = 0;  // the average rates of every stream but padding, bit/s
  // The field findings are judged against the profile's limit, not the SCRs'
  // need: the need is at most 0.5% above the limit.
  bool judged_at_limit = false;
  uint64_t packs_below = 0;    // packs_below_needed by the rule that applies
  uint64_t largest_field = 0;  // the largest program_mux_rate or rate_bound, bit/s
  std::array<bool, kFindingCount> found{};
  std::array<Severity, kFindingCount> severity{};
  std::array<Remedy, kFindingCount> remedy{};
  Remedy remedy_needed = Remedy::None;  // the strongest among the problems
  bool has_suggestion = false;          // the verdict is a rewrite
  uint64_t suggested_rate = 0;          // bit/s
  bool fix_resync = false, fix_past_end = false;
  bool problem = false;  // at least one finding of severity Problem
};

// The average rate of a stream's payload over the SCR duration, bit/s; false without timing.
bool stream_rate(const Measurement& m, const StreamCount& s, uint64_t& rate);

Verdict judge(const Measurement& m);

// The decoder buffers' findings added to a verdict (and the verdict's remedy).
void judge_buffers(const PstdModel& pstd, const Measurement& m, Verdict& v);

// The first video stream whose sequence header lies outside the profile's row.
bool video_outside(const Measurement& m, const ProfileRow& row, uint8_t& id);
// The first stream id present whose smallest system header bound is below the profile's size.
bool bound_below(const Measurement& m, const ProfileRow& row, uint8_t& id);

}  // namespace psrate
