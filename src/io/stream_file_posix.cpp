// SPDX-License-Identifier: MIT
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/stream_file.hpp"

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace psrate {

namespace {

// The causes of psrate's own, whole: kept as C strings, not built piecewise.
const char* own_cause(FileErrorKind kind) {
  switch (kind) {
    case FileErrorKind::None: return "no error";
    case FileErrorKind::Locked: return "locked by another program";
    case FileErrorKind::Directory: return std::strerror(EISDIR);
    case FileErrorKind::NotRegular: return "not a regular file: a rewrite needs one";
    case FileErrorKind::System: break;
  }
  return nullptr;
}

}  // namespace

std::string file_error_text(const FileError& e) {
  const char* own = own_cause(e.kind);
  return own ? own : std::strerror(int(e.code));
}

namespace {

bool fail(StreamFile& file, FileErrorKind kind, int code = 0) {
  file.error = {kind, static_cast<unsigned long>(code)};
  return false;
}

// A descriptor above standard error: started with standard output (or input,
// or error) closed, the file would get that descriptor and the listing or the
// progress text written into it.
int above_standard_streams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  int high = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return high;
}

// The kind of file the mode can use, and the lock: readers share the file, a
// rewriter holds it alone. A file system without advisory locks does not stop the run.
bool usable(StreamFile& file, int fd, OpenMode mode, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return fail(file, FileErrorKind::Directory);
  // Rewriting in place needs a file with positions: a regular file or a block device.
  if (mode == OpenMode::ReadWrite && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return fail(file, FileErrorKind::NotRegular);
  if (::flock(fd, (mode == OpenMode::Read ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0 &&
      (errno == EWOULDBLOCK || errno == EINTR))
    return fail(file, FileErrorKind::Locked);
  return true;
}

}  // namespace

bool file_open(StreamFile& file, const char* path, OpenMode mode) {
  int flags = (mode == OpenMode::Read ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOCTTY;
  int fd;
  do fd = ::open(path, flags);
  while (fd < 0 && errno == EINTR);
  if (fd >= 0) fd = above_standard_streams(fd);
  if (fd < 0) return fail(file, FileErrorKind::System, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    fail(file, FileErrorKind::System, errno);
    ::close(fd);
    return false;
  }
  if (!usable(file, fd, mode, st)) {
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
  if (!reachable(file, offset)) {
    fail(file, FileErrorKind::System, ESPIPE);
    return Failure::Seek;
  }
  ssize_t n;
  do
    n = file.positional ? ::pread(file.fd, buffer, size, off_t(offset))
                        : ::read(file.fd, buffer, size);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    fail(file, FileErrorKind::System, errno);
    return Failure::Read;
  }
  got = size_t(n);
  file.position = offset + got;
  return Failure::None;
}

Failure file_write_at(StreamFile& file, uint64_t offset, const void* data, size_t size) {
  if (!reachable(file, offset)) {
    fail(file, FileErrorKind::System, ESPIPE);
    return Failure::Seek;
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(file.fd, p, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fail(file, FileErrorKind::System, n < 0 ? errno : ENOSPC);
      return Failure::Write;
    }
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
  if (rc == 0 || errno == EINTR) return true;
  return fail(file, FileErrorKind::System, errno);
}

}  // namespace psrate
