// SPDX-License-Identifier: MIT
#include "text/out_buffer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <io.h>
#else
#include <unistd.h>
#endif

namespace psrate {

#ifdef _WIN32
// Straight to the handle: the C runtime's text mode would turn "\n" into "\r\n".
bool write_all(int fd, const void* data, size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    if (!::WriteFile(h, p, DWORD(size < (1u << 30) ? size : 1u << 30), &n, nullptr) || n == 0)
      return false;
    p += n;
    size -= n;
  }
  return true;
}
#else
bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}
#endif

bool flush(OutBuffer& out) {
  if (out.used > 0 && !out.failed) {
    if (out.capture)
      out.capture->append(out.data, out.used);
    else if (!write_all(out.fd, out.data, out.used))
      out.failed = true;
  }
  out.used = 0;
  return !out.failed;
}

void put(OutBuffer& out, std::string_view text) {
  while (!text.empty()) {
    if (out.used == kOutBufferSize) flush(out);
    size_t n = std::min(text.size(), kOutBufferSize - out.used);
    std::memcpy(out.data + out.used, text.data(), n);
    out.used += n;
    text.remove_prefix(n);
  }
}

void put_hex(OutBuffer& out, uint64_t value, int min_digits) {
  char tmp[16];
  int n = 0;
  do {
    tmp[n++] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n < min_digits && n < 16) tmp[n++] = '0';
  make_room(out, size_t(n));
  while (n > 0) out.data[out.used++] = tmp[--n];
}

void put_dec(OutBuffer& out, int64_t value) {
  char tmp[20];
  int n = 0;
  uint64_t v = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
  do {
    tmp[n++] = char('0' + v % 10);
    v /= 10;
  } while (v != 0);
  make_room(out, size_t(n) + 1);
  if (value < 0) out.data[out.used++] = '-';
  while (n > 0) out.data[out.used++] = tmp[--n];
}

}  // namespace psrate
