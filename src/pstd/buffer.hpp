// SPDX-License-Identifier: MIT
// One P-STD buffer over one segment (ISO/IEC 13818-1, 2.5.2): bytes enter at
// their effective arrival times, each access unit leaves whole at its removal
// time, and the occupancy is watched at every arrival: its peak, and the
// episodes above the buffer size.
//
// Arrivals come in file order, as runs of a PES packet's buffered bytes. A
// removal may only be applied once every arrival before it is simulated, and
// an access unit is known complete only a little after its bytes arrive, so
// the caller releases arrivals up to a position once every removal that can
// come before them is known (`buffer_release`).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pstd/clock.hpp"

namespace psrate {

// Buffered bytes [pos, pos + count) of one PES packet, at file offsets
// [offset, offset + count) of a pack with `clock`, the buffer size `size`
// in force for them (0: unknown).
struct ArrivalRun {
  uint64_t pos = 0;
  uint64_t offset = 0;
  uint32_t count = 0;
  PackClock clock;
  uint64_t size = 0;
  Instant floor;  // the latest arrival before the run: no byte of it arrives earlier
};

struct Removal {
  uint64_t end = 0;  // one past the unit's last buffered byte
  Instant at;        // r
};

struct BufferFigures {
  uint64_t peak = 0;  // bytes
  uint64_t peak_offset = 0;
  Instant peak_time;
  uint64_t peak_size = 0;  // the buffer size in force then
  uint64_t overflows = 0;  // episodes
  uint64_t first_overflow_offset = 0;
  Instant first_overflow_time;
  uint64_t max_excess = 0;
};

inline constexpr size_t kHeldRuns = 256;
inline constexpr size_t kHeldRemovals = 1024;

struct BufferModel {
  std::array<ArrivalRun, kHeldRuns> runs{};  // a ring: arrived, not yet all simulated
  size_t first_run = 0, run_count = 0;
  uint64_t simulated = 0;                         // buffered bytes up to here are in the occupancy
  uint64_t released = 0;                          // arrivals before this position may be simulated
  std::array<Removal, kHeldRemovals> removals{};  // a ring: complete units not yet removed
  size_t first_removal = 0, removal_count = 0;
  uint64_t removed_end = 0;  // one past the last removed unit's bytes
  // simulated bytes less removed ones: a unit leaves at an instant when its
  // last bytes may arrive too, so this may dip below 0 until they are entered
  int64_t occupancy = 0;
  bool overflowing = false;
  Instant latest;  // the latest arrival so far (effective arrivals never go back)
  bool started = false;
  bool stalled = false;  // a ring filled: checking stops here
  BufferFigures figures;
};

// The effective arrival of a buffered byte of a run: max(floor, t(i)).
Instant effective_arrival(const ArrivalRun& run, uint64_t pos);

// A run arrives (its floor is set here); false when the ring is full and checking stops.
bool buffer_arrive(BufferModel& b, ArrivalRun run);
// The effective arrival of a buffered byte that arrived and is still held;
// false when it is no longer held.
bool arrival_of(const BufferModel& b, uint64_t pos, Instant& at);
// The file offset of a buffered byte that arrived and is still held.
bool file_offset_of(const BufferModel& b, uint64_t pos, uint64_t& offset);
// A complete unit leaves at `at` (not before the last one); false when the ring is full.
bool buffer_remove(BufferModel& b, uint64_t end, const Instant& at);
// Arrivals before `pos` may be simulated: no removal before them is unknown.
void buffer_release(BufferModel& b, uint64_t pos);
// The segment ends: every arrival is simulated, with every removal known.
void buffer_finish(BufferModel& b);

}  // namespace psrate
