// SPDX-License-Identifier: MIT
// Several files read as one stream, in the order given, as if concatenated
// (a DVD title set: VTS_01_1.VOB, VTS_01_2.VOB, ...). Nothing is copied: an
// offset of the joined stream names a file and an offset within it, one file
// is open at a time, and a read or a write that crosses a boundary goes to
// both files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/byte_source.hpp"
#include "io/stream_file.hpp"

namespace psrate {

struct JoinedPart {
  std::string path;
  uint64_t start = 0;  // offset of its first byte in the joined stream
  uint64_t size = 0;
};

struct JoinedFiles {
  std::vector<JoinedPart> parts;
  OpenMode mode = OpenMode::Read;
  StreamFile file;  // the part open now
  size_t open_part = SIZE_MAX;
  bool close_failed = false;  // a part closed with an error: a write may be lost
  size_t failed_part = 0;     // the part of the last failure, and its cause
  FileError error;
};

// Opens each part once to learn its size (each is closed again): false with
// failed_part and error set when one cannot be opened.
bool join_files(JoinedFiles& joined, const std::vector<std::string>& paths, OpenMode mode);

// The joined stream as a byte source: its size is the sum of the parts'.
ByteSource joined_source(JoinedFiles& joined);

// The part that holds an offset of the joined stream (the last part for an
// offset past the end), and the offset within it.
struct PartOffset {
  size_t part = 0;
  uint64_t offset = 0;
};
PartOffset locate(const JoinedFiles& joined, uint64_t offset);

}  // namespace psrate
