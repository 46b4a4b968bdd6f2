// SPDX-License-Identifier: MIT
// The one open stream file. Reads and writes name their file offset; every
// call reports success or the kind of failure and nothing else, and the walk
// and the rewriter never see the platform's calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/status.hpp"

namespace psrate {

enum class OpenMode : uint8_t {
  Read,       // listing: read only, shared with other readers
  ReadWrite,  // rewriting: read and write, no other opener may write or rewrite
};

// Why the last call on the file failed.
enum class FileErrorKind : uint8_t {
  None,
  System,      // the system's error number (errno, or GetLastError on Windows)
  Locked,      // another psrate run (or another program) holds the file
  Directory,   // a directory, not a file
  NotRegular,  // a rewrite needs a file with positions: a pipe or a terminal has none
};

struct FileError {
  FileErrorKind kind = FileErrorKind::None;
  unsigned long code = 0;
};

// The cause in English: the system's own text for its error numbers.
std::string file_error_text(const FileError& error);

struct StreamFile {
#ifdef _WIN32
  void* handle = nullptr;
#else
  int fd = -1;
#endif
  // A pipe has no positions: it is read where it stands, and `position`
  // follows it. An offset elsewhere cannot be reached.
  bool positional = true;
  uint64_t position = 0;
  FileError error;  // of the last call that failed
};

// Opens an existing file (never creates one) with a sequential-scan hint.
bool file_open(StreamFile& file, const char* path, OpenMode mode);
// The file's length; false when it cannot be told.
bool file_size(StreamFile& file, uint64_t& size);
// Reads up to size bytes at offset; got is 0 at the end of the file. Failure::Seek
// when the offset cannot be reached, Failure::Read when the read fails.
Failure file_read_at(StreamFile& file, uint64_t offset, void* buffer, size_t size, size_t& got);
// Writes all size bytes at offset: Failure::Write when that fails.
Failure file_write_at(StreamFile& file, uint64_t offset, const void* data, size_t size);
// Closes the file; false when the system reports an error (such as a deferred write error).
bool file_close(StreamFile& file);

}  // namespace psrate
