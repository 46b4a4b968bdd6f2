// SPDX-License-Identifier: MIT
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/stream_file.hpp"

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace psrate {

bool file_open(StreamFile& file, const char* path, OpenMode mode) {
  int flags = (mode == OpenMode::Read ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOCTTY;
  int fd;
  do fd = ::open(path, flags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // Started with standard output (or input, or error) closed, the file would
  // get that descriptor and the listing or the progress text written into it.
  if (fd <= STDERR_FILENO) {
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    if (high < 0) return false;
    fd = high;
  }
  struct stat st;
  bool usable = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  // Rewriting in place needs a file with positions: a regular file or a block device.
  if (usable && mode == OpenMode::ReadWrite) usable = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
  // Readers share the file; a rewriter holds it alone. A file system without
  // advisory locks does not stop the run.
  if (usable && ::flock(fd, (mode == OpenMode::Read ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0)
    usable = errno != EWOULDBLOCK && errno != EINTR;
  if (!usable) {
    ::close(fd);
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  file.fd = fd;
  file.position = 0;
  file.positional = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
  return true;
}

bool file_size(StreamFile& file, uint64_t& size) {
  struct stat st;
  if (::fstat(file.fd, &st) != 0) return false;
  if (S_ISREG(st.st_mode)) {
    size = uint64_t(st.st_size);
    return true;
  }
  off_t end = ::lseek(file.fd, 0, SEEK_END);
  if (end < 0 || ::lseek(file.fd, 0, SEEK_SET) != 0) return false;
  size = uint64_t(end);
  return true;
}

namespace {

// An offset that off_t holds and, in a pipe, where the pipe stands.
bool reachable(const StreamFile& file, uint64_t offset) {
  return offset <= uint64_t(INT64_MAX) && (file.positional || offset == file.position);
}

}  // namespace

Failure file_read_at(StreamFile& file, uint64_t offset, void* buffer, size_t size, size_t& got) {
  if (!reachable(file, offset)) return Failure::Seek;
  ssize_t n;
  do
    n = file.positional ? ::pread(file.fd, buffer, size, off_t(offset))
                        : ::read(file.fd, buffer, size);
  while (n < 0 && errno == EINTR);
  if (n < 0) return Failure::Read;
  got = size_t(n);
  file.position = offset + got;
  return Failure::None;
}

Failure file_write_at(StreamFile& file, uint64_t offset, const void* data, size_t size) {
  if (!reachable(file, offset)) return Failure::Seek;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(file.fd, p, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Failure::Write;
    p += n;
    size -= size_t(n);
    offset += uint64_t(n);
  }
  file.position = offset;
  return Failure::None;
}

bool file_close(StreamFile& file) {
  if (file.fd < 0) return true;
  int rc = ::close(file.fd);
  file.fd = -1;
  // EINTR from close(2) on Linux still releases the descriptor.
  return rc == 0 || errno == EINTR;
}

}  // namespace psrate
