// SPDX-License-Identifier: MIT
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <string>

#include "io/stream_file.hpp"

namespace psrate {
namespace {

// ReadFile and WriteFile count in 32 bits.
constexpr size_t kMaxTransfer = 1u << 30;

HANDLE handle_of(const StreamFile& file) { return static_cast<HANDLE>(file.handle); }

// The offset of a synchronous call on a disk file, given in its OVERLAPPED.
OVERLAPPED at(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = DWORD(offset);
  o.OffsetHigh = DWORD(offset >> 32);
  return o;
}

bool reachable(const StreamFile& file, uint64_t offset) {
  return offset <= uint64_t(INT64_MAX) && (file.positional || offset == file.position);
}

bool fail(StreamFile& file, FileErrorKind kind, DWORD code = 0) {
  file.error = {kind, code};
  return false;
}

// The last call's error; a lock conflict is one of psrate's own causes.
bool fail_with(StreamFile& file, DWORD code) {
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
    return fail(file, FileErrorKind::Locked);
  return fail(file, FileErrorKind::System, code);
}

bool fail_last(StreamFile& file) { return fail_with(file, ::GetLastError()); }

}  // namespace

namespace {

// The causes of psrate's own, whole: kept as C strings, not built piecewise.
const char* own_cause(FileErrorKind kind) {
  switch (kind) {
    case FileErrorKind::None: return "no error";
    case FileErrorKind::Locked: return "locked by another program";
    case FileErrorKind::Directory: return "is a directory";
    case FileErrorKind::NotRegular: return "not a regular file: a rewrite needs one";
    case FileErrorKind::System: break;
  }
  return nullptr;
}

}  // namespace

std::string file_error_text(const FileError& e) {
  if (const char* own = own_cause(e.kind)) return own;
  char text[512];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             DWORD(e.code), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                             sizeof text, nullptr);
  // The text ends with ".\r\n": one line, as the other causes are.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
  if (n == 0) return "system error " + std::to_string(e.code);
  return std::string(text, n);
}

bool file_open(StreamFile& file, const char* path, OpenMode mode) {
  // Only readers are let in beside this handle: listings run side by side, a
  // rewrite cannot open a file that a listing holds, and a listing or a second
  // rewrite cannot open one being rewritten. A directory fails here: opening
  // one needs FILE_FLAG_BACKUP_SEMANTICS.
  DWORD access = mode == OpenMode::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  HANDLE h = ::CreateFileA(path, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    DWORD attributes = ::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return fail(file, FileErrorKind::Directory);
    return fail_with(file, code);
  }
  file.handle = h;
  file.positional = ::GetFileType(h) == FILE_TYPE_DISK;
  file.position = 0;
  return true;
}

bool file_size(StreamFile& file, uint64_t& size) {
  LARGE_INTEGER n;
  if (!::GetFileSizeEx(handle_of(file), &n) || n.QuadPart < 0) return false;
  size = uint64_t(n.QuadPart);
  return true;
}

Failure file_read_at(StreamFile& file, uint64_t offset, void* buffer, size_t size, size_t& got) {
  if (!reachable(file, offset)) {
    fail(file, FileErrorKind::System, ERROR_SEEK);
    return Failure::Seek;
  }
  DWORD n = 0;
  OVERLAPPED o = at(offset);
  DWORD ask = DWORD(size < kMaxTransfer ? size : kMaxTransfer);
  if (!::ReadFile(handle_of(file), buffer, ask, &n, file.positional ? &o : nullptr)) {
    // A read at an offset at or past the end of the file says so with an error.
    if (::GetLastError() != ERROR_HANDLE_EOF) {
      fail_last(file);
      return Failure::Read;
    }
    n = 0;
  }
  got = n;
  file.position = offset + n;
  return Failure::None;
}

Failure file_write_at(StreamFile& file, uint64_t offset, const void* data, size_t size) {
  if (!reachable(file, offset)) {
    fail(file, FileErrorKind::System, ERROR_SEEK);
    return Failure::Seek;
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    OVERLAPPED o = at(offset);
    if (!::WriteFile(handle_of(file), p, DWORD(size < kMaxTransfer ? size : kMaxTransfer), &n,
                     file.positional ? &o : nullptr) ||
        n == 0) {
      fail_last(file);
      return Failure::Write;
    }
    p += n;
    size -= n;
    offset += n;
  }
  file.position = offset;
  return Failure::None;
}

bool file_close(StreamFile& file) {
  if (!file.handle) return true;
  bool ok = ::CloseHandle(handle_of(file)) != 0;
  if (!ok) fail_last(file);
  file.handle = nullptr;
  return ok;
}

}  // namespace psrate
