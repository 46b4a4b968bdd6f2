// SPDX-License-Identifier: MIT
// The P-STD of a whole program stream: one buffer for each stream id
// 0xC0-0xEF and each sub-stream of private stream 1, over each segment of the
// stream; the buffer size from the PES headers or the system headers; the
// figures of each buffer and segment, kept in fixed memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ps/units.hpp"
#include "ps/walk.hpp"
#include "pstd/stream_model.hpp"

namespace psrate {

enum class SizeSource : uint8_t { Unknown, Pes, SystemHeader };
std::string_view size_source_name(SizeSource s);

// The buffers open at once; a stream beyond them is listed as not modelled.
inline constexpr size_t kBufferSlots = 24;
// The figures kept: buffers x segments, and segment starts.
inline constexpr size_t kBufferResults = 512;
inline constexpr size_t kSegmentStarts = 512;

struct BufferSlot {
  bool used = false;
  uint8_t id = 0, sub = 0;
  bool is_sub = false;
  uint64_t pes_size = 0;  // the latest P-STD_buffer_size of the segment, bytes
  uint64_t size = 0;      // the size in force for its latest packet
  SizeSource source = SizeSource::Unknown;
  StreamModel model;
};

struct BufferResult {
  uint64_t segment = 0;
  uint8_t id = 0, sub = 0;
  bool is_sub = false;
  bool modelled = false;
  std::string_view reason;  // why not, when not modelled
  BufferKind kind = BufferKind::Video;
  uint64_t size = 0;
  SizeSource source = SizeSource::Unknown;
  BufferFigures figures;
  AccessUnitCounts counts;
  Underflows underflows;
  uint64_t resyncs = 0;
  bool stopped = false;  // checking stopped in the segment
};

struct PstdModel {
  std::array<BufferSlot, kBufferSlots> slots{};
  // the latest system header's P-STD_buffer_size_bound by stream id, bytes (0xB8, 0xB9 included)
  std::array<uint32_t, 256> bound{};
  std::array<bool, 256> bound_seen{};
  // a PES packet's P-STD_buffer_size above its stream's bound
  std::array<bool, 256> above_bound{};
  uint64_t above_bound_first = 0;
  // the pack of the units that follow
  PackClock clock;
  bool in_pack = false;  // a pack with R > 0 holds the units that follow
  bool have_base = false;
  int64_t base = 0;       // the unwrapped SCR base of the latest pack
  bool end_code = false;  // an end code: more data after it begins a segment
  uint64_t segment = 0;
  bool segment_open = false;
  std::array<uint64_t, kSegmentStarts> segment_starts{};
  uint64_t segments = 0;
  std::array<BufferResult, kBufferResults> results{};
  size_t result_count = 0;
  uint64_t results_dropped = 0;
  // stream ids and sub-streams met in the segment that are not modelled
  std::array<bool, 256> unmodelled_ids{}, unmodelled_subs{};
};

// One unit of the walk (a pack, a system header, a PES packet taken whole,
// an end code, a skipped range).
void pstd_take(PstdModel& p, const Unit& unit);
// The walk has ended: the last segment's figures.
void pstd_finish(PstdModel& p);
// Empty again, in place (the model is too large for a temporary on the stack).
void pstd_reset(PstdModel& p);

}  // namespace psrate
