// SPDX-License-Identifier: MIT
#include "pstd/buffer.hpp"

#include <algorithm>

namespace psrate {

Instant effective_arrival(const ArrivalRun& run, uint64_t pos) {
  return later(run.floor, arrival(run.clock, run.offset + (pos - run.pos)));
}

namespace {

ArrivalRun& run_at(BufferModel& b, size_t i) { return b.runs[(b.first_run + i) % kHeldRuns]; }
const ArrivalRun& run_at(const BufferModel& b, size_t i) {
  return b.runs[(b.first_run + i) % kHeldRuns];
}

// The held run that holds buffered byte `pos`, or nullptr. Runs lie in
// buffered order, one after another: a binary search over the ring.
const ArrivalRun* run_holding(const BufferModel& b, uint64_t pos) {
  size_t lo = 0, hi = b.run_count;  // the first run that ends after pos lies in [lo, hi]
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    const ArrivalRun& r = run_at(b, mid);
    if (r.pos + r.count <= pos)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == b.run_count) return nullptr;
  const ArrivalRun& r = run_at(b, lo);
  return pos >= r.pos ? &r : nullptr;
}

// k more bytes of `run` enter the buffer: the peak, and the start of an episode
// above the size, are watched at the last of them and at the first above the size.
void enter(BufferModel& b, const ArrivalRun& run, uint64_t k) {
  if (k == 0) return;
  int64_t before = b.occupancy;
  b.occupancy += int64_t(k);
  uint64_t first = b.simulated;
  b.simulated += k;
  int64_t size = int64_t(run.size);
  if (size > 0 && b.occupancy > size) {
    if (!b.overflowing) {
      uint64_t at = first + uint64_t(std::max<int64_t>(0, size - before));
      if (b.figures.overflows++ == 0) {
        b.figures.first_overflow_offset = run.offset + (at - run.pos);
        b.figures.first_overflow_time = effective_arrival(run, at);
      }
      b.overflowing = true;
    }
    b.figures.max_excess = std::max(b.figures.max_excess, uint64_t(b.occupancy - size));
  }
  if (b.occupancy > int64_t(b.figures.peak)) {
    uint64_t last = b.simulated - 1;
    b.figures.peak = uint64_t(b.occupancy);
    b.figures.peak_offset = run.offset + (last - run.pos);
    b.figures.peak_time = effective_arrival(run, last);
    b.figures.peak_size = run.size;
  }
}

void remove_first(BufferModel& b, uint64_t size) {
  const Removal& r = b.removals[b.first_removal];
  b.occupancy -= int64_t(r.end - b.removed_end);
  b.removed_end = r.end;
  b.first_removal = (b.first_removal + 1) % kHeldRemovals;
  --b.removal_count;
  if (b.overflowing && (size == 0 || b.occupancy <= int64_t(size))) b.overflowing = false;
}

// The bytes of [from, limit) of the run that arrive before `at`.
uint64_t arriving_before(const ArrivalRun& run, uint64_t from, uint64_t limit, const Instant& at) {
  if (!(run.floor < at)) return 0;
  uint64_t base = run.offset - run.pos;
  return bytes_before(run.clock, from + base, limit + base, at);
}

// Arrivals up to the released position, with the removals that come between them.
void simulate(BufferModel& b) {
  while (!b.stalled) {
    const ArrivalRun* run = run_holding(b, b.simulated);
    if (run == nullptr) return;
    uint64_t limit = std::min(run->pos + run->count, b.released);
    if (b.simulated >= limit) return;
    if (b.removal_count > 0) {
      const Removal& next = b.removals[b.first_removal];
      uint64_t k = arriving_before(*run, b.simulated, limit, next.at);
      if (k < limit - b.simulated) {
        enter(b, *run, k);
        remove_first(b, run->size);
        continue;
      }
    }
    enter(b, *run, limit - b.simulated);
  }
}

}  // namespace

bool buffer_arrive(BufferModel& b, ArrivalRun run) {
  if (b.stalled || run.count == 0) return !b.stalled;
  if (b.run_count == kHeldRuns) {
    const ArrivalRun& oldest = run_at(b, 0);
    if (oldest.pos + oldest.count > b.simulated) {
      b.stalled = true;
      return false;
    }
    b.first_run = (b.first_run + 1) % kHeldRuns;
    --b.run_count;
  }
  if (!b.started) b.simulated = b.released = b.removed_end = run.pos;
  run.floor = b.started ? b.latest : arrival(run.clock, run.offset);
  b.started = true;
  b.latest = effective_arrival(run, run.pos + run.count - 1);
  run_at(b, b.run_count++) = run;
  return true;
}

bool arrival_of(const BufferModel& b, uint64_t pos, Instant& at) {
  const ArrivalRun* run = run_holding(b, pos);
  if (run == nullptr) return false;
  at = effective_arrival(*run, pos);
  return true;
}

bool file_offset_of(const BufferModel& b, uint64_t pos, uint64_t& offset) {
  const ArrivalRun* run = run_holding(b, pos);
  if (run == nullptr) return false;
  offset = run->offset + (pos - run->pos);
  return true;
}

bool buffer_remove(BufferModel& b, uint64_t end, const Instant& at) {
  if (b.removal_count == kHeldRemovals) {
    b.stalled = true;
    return false;
  }
  b.removals[(b.first_removal + b.removal_count++) % kHeldRemovals] = {end, at};
  simulate(b);
  return true;
}

void buffer_release(BufferModel& b, uint64_t pos) {
  b.released = std::max(b.released, pos);
  simulate(b);
}

void buffer_finish(BufferModel& b) { buffer_release(b, UINT64_MAX); }

}  // namespace psrate
