// SPDX-License-Identifier: MIT
// Where the walk's bytes come from and where the rewriter's go: an open file,
// or bytes in memory (tests, fuzzing). A plain table of calls, filled in by
// each kind of source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "io/status.hpp"
#include "io/stream_file.hpp"

namespace psrate {

struct ByteSource {
  void* context = nullptr;
  // Up to into.size() bytes at offset; got is 0 at the end of the data.
  Failure (*read_at)(void* context, uint64_t offset, std::span<uint8_t> into,
                     size_t& got) = nullptr;
  // All of bytes at offset.
  Failure (*write_at)(void* context, uint64_t offset, std::span<const uint8_t> bytes) = nullptr;
  // The length of the data; false when it cannot be told.
  bool (*size)(void* context, uint64_t& size) = nullptr;
  // Ends the use of the source; false when a write may not have reached it.
  bool (*close)(void* context) = nullptr;
};

ByteSource file_source(StreamFile& file);

// Bytes in memory, written in place. fail_write makes the write of that
// number (1 for the first) fail, as a full disk would.
struct MemoryBytes {
  std::span<uint8_t> bytes;
  uint64_t writes = 0;
  uint64_t fail_write = 0;
};

ByteSource memory_source(MemoryBytes& memory);

}  // namespace psrate
