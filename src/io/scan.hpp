// SPDX-License-Identifier: MIT
// The read window and the one forward pass over the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "io/status.hpp"
#include "io/stream_file.hpp"
#include "ps/units.hpp"

namespace psrate {

inline constexpr size_t kWindowSize = 1 << 20;
// While the file still delivers data, a unit is decoded only with this many
// bytes of it in the window; nearer the window's end it is carried over.
inline constexpr size_t kDecodeMargin = 132;
// The smallest window the pass accepts: room for a carried tail and a refill.
inline constexpr size_t kMinWindowSize = 2 * kDecodeMargin;

struct ReadWindow {
  std::span<uint8_t> buffer;
  uint64_t base = 0;     // file offset of buffer[0]
  size_t filled = 0;     // valid bytes in the buffer
  size_t pos = 0;        // parse position; may pass `filled` after a unit that runs past the data
  size_t carried = 0;    // unparsed bytes moved to the front at the last rebase
  size_t last_read = 0;  // 0 once the end of the file has been met
  bool skipped = false;  // the last rebase skipped bytes of the file: the next read must seek
};

// Called for every unit the pass meets, the end code included; a failure ends the pass.
using UnitHandler = Failure (*)(void* context, const Unit& unit, const ReadWindow& window);

struct ScanConfig {
  RunMode mode = RunMode::Dump;
  // Take only units that look like one, and search byte by byte for the next
  // pack header past any that does not (one UnitKind::Skipped for the range).
  bool resync = false;
  // Step over end codes as 4-byte units and go on to the end of the file.
  bool past_end = false;
  UnitHandler on_unit = nullptr;
  void* context = nullptr;
};

// Walks the file from offset 0 to the end code or the end of the file.
// The buffer must hold at least kMinWindowSize bytes.
Failure scan_stream(StreamFile& file, ReadWindow& window, const ScanConfig& config);

}  // namespace psrate
