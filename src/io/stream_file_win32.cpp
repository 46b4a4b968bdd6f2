// SPDX-License-Identifier: MIT
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>

#include "io/stream_file.hpp"

namespace psrate {
namespace {

// ReadFile and WriteFile count in 32 bits.
constexpr size_t kMaxTransfer = 1u << 30;

HANDLE handle_of(const StreamFile& file) { return static_cast<HANDLE>(file.handle); }

}  // namespace

bool file_open(StreamFile& file, const char* path, OpenMode mode) {
  // Only readers are let in beside this handle: listings run side by side, a
  // rewrite cannot open a file that a listing holds, and a listing or a second
  // rewrite cannot open one being rewritten. A directory fails here: opening
  // one needs FILE_FLAG_BACKUP_SEMANTICS.
  DWORD access = mode == OpenMode::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  HANDLE h = ::CreateFileA(path, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  file.handle = h;
  return true;
}

bool file_size(StreamFile& file, uint64_t& size) {
  LARGE_INTEGER n;
  if (!::GetFileSizeEx(handle_of(file), &n) || n.QuadPart < 0) return false;
  size = uint64_t(n.QuadPart);
  return true;
}

bool file_seek(StreamFile& file, uint64_t offset) {
  if (offset > uint64_t(INT64_MAX)) return false;
  LARGE_INTEGER to;
  to.QuadPart = LONGLONG(offset);
  return ::SetFilePointerEx(handle_of(file), to, nullptr, FILE_BEGIN) != 0;
}

bool file_read(StreamFile& file, void* buffer, size_t size, size_t& got) {
  DWORD n = 0;
  if (!::ReadFile(handle_of(file), buffer, DWORD(size < kMaxTransfer ? size : kMaxTransfer), &n,
                  nullptr))
    return false;
  got = n;
  return true;
}

bool file_write(StreamFile& file, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    if (!::WriteFile(handle_of(file), p, DWORD(size < kMaxTransfer ? size : kMaxTransfer), &n,
                     nullptr) ||
        n == 0)
      return false;
    p += n;
    size -= n;
  }
  return true;
}

bool file_close(StreamFile& file) {
  if (!file.handle) return true;
  bool ok = ::CloseHandle(handle_of(file)) != 0;
  file.handle = nullptr;
  return ok;
}

}  // namespace psrate
