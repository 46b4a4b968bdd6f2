// SPDX-License-Identifier: MIT
// The one open stream file. Every operation reports success or failure and
// nothing else; the scan and the rewriter never see the platform's calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace psrate {

enum class OpenMode : uint8_t {
  Read,       // listing: read only, shared with other readers
  ReadWrite,  // rewriting: read and write, no other opener may write or rewrite
};

struct StreamFile {
#ifdef _WIN32
  void* handle = nullptr;
#else
  int fd = -1;
  // Reads and writes go to this offset with pread/pwrite: setting the position
  // costs no call. A pipe cannot be positioned and is read where it stands.
  uint64_t position = 0;
  bool positional = true;
#endif
};

// Opens an existing file (never creates one) with a sequential-scan hint.
bool file_open(StreamFile& file, const char* path, OpenMode mode);
// The file's length; false when it cannot be told.
bool file_size(StreamFile& file, uint64_t& size);
// Sets the position to an absolute offset from the start of the file.
bool file_seek(StreamFile& file, uint64_t offset);
// Reads up to size bytes at the position; got is 0 at the end of the file.
bool file_read(StreamFile& file, void* buffer, size_t size, size_t& got);
// Writes all size bytes at the position.
bool file_write(StreamFile& file, const void* data, size_t size);
// Closes the file; false when the system reports an error (such as a deferred write error).
bool file_close(StreamFile& file);

}  // namespace psrate
