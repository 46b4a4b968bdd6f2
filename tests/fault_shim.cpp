// SPDX-License-Identifier: MIT
// LD_PRELOAD shim that fails one call on the stream file, for end-to-end
// failure tests. PSRATE_FAULT="CALL:N[,CALL:N...]" fails the Nth call of CALL
// (open, lseek, read, write, fstat, close; pread counts as read and pwrite as
// write) with EIO; only descriptors above 2 count, so standard output and
// error are never failed.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

enum Call { kOpen, kLseek, kRead, kWrite, kFstat, kClose, kCalls };
const char* const kNames[kCalls] = {"open", "lseek", "read", "write", "fstat", "close"};

long fail_at[kCalls];
long seen[kCalls];
bool parsed;

void parse() {
  parsed = true;
  const char* faults = std::getenv("PSRATE_FAULT");
  while (faults && *faults) {
    for (int c = 0; c < kCalls; ++c) {
      size_t n = std::strlen(kNames[c]);
      if (std::strncmp(faults, kNames[c], n) == 0 && faults[n] == ':')
        fail_at[c] = std::strtol(faults + n + 1, nullptr, 10);
    }
    faults = std::strchr(faults, ',');
    if (faults) ++faults;
  }
}

bool fail(Call c) {
  if (!parsed) parse();
  if (++seen[c] != fail_at[c]) return false;
  errno = EIO;
  return true;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int open_impl(const char* name, const char* path, int flags, mode_t mode) {
  using Fn = int (*)(const char*, int, ...);
  if (fail(kOpen)) return -1;
  return next<Fn>(name)(path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  return open_impl("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
  va_end(ap);
  return open_impl("open64", path, flags, mode);
}

off_t lseek(int fd, off_t offset, int whence) {
  if (fd > 2 && fail(kLseek)) return -1;
  return next<off_t (*)(int, off_t, int)>("lseek")(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
  if (fd > 2 && fail(kLseek)) return -1;
  return next<off64_t (*)(int, off64_t, int)>("lseek64")(fd, offset, whence);
}

ssize_t read(int fd, void* buffer, size_t size) {
  if (fd > 2 && fail(kRead)) return -1;
  return next<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  if (fd > 2 && fail(kRead)) return -1;
  return next<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset) {
  if (fd > 2 && fail(kRead)) return -1;
  return next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(fd, buffer, size, offset);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  if (fd > 2 && fail(kWrite)) return -1;
  return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  if (fd > 2 && fail(kWrite)) return -1;
  return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, data, size, offset);
}

ssize_t write(int fd, const void* data, size_t size) {
  if (fd > 2 && fail(kWrite)) return -1;
  return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

int fstat(int fd, struct stat* st) {
  if (fd > 2 && fail(kFstat)) return -1;
  return next<int (*)(int, struct stat*)>("fstat")(fd, st);
}

int fstat64(int fd, struct stat64* st) {
  if (fd > 2 && fail(kFstat)) return -1;
  return next<int (*)(int, struct stat64*)>("fstat64")(fd, st);
}

int close(int fd) {
  bool failing = fd > 2 && fail(kClose);
  int rc = next<int (*)(int)>("close")(fd);
  if (failing) {
    errno = EIO;  // like a deferred write error: the descriptor is gone all the same
    return -1;
  }
  return rc;
}

}  // extern "C"
