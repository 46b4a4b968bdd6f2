// SPDX-License-Identifier: MIT
// A large output buffer with hand-written appenders: one write(2) per buffer,
// no formatting library and no allocation on the listing's hot path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace psrate {

inline constexpr size_t kOutBufferSize = 1 << 18;

struct OutBuffer {
  int fd = 1;
  std::string* capture = nullptr;  // when set, flushed bytes go here instead of fd
  bool failed = false;             // a write to fd failed; later output is dropped
  size_t used = 0;
  char data[kOutBufferSize];
};

// Writes out the buffered bytes; false once any write has failed.
bool flush(OutBuffer& out);

inline void make_room(OutBuffer& out, size_t n) {
  if (out.used + n > kOutBufferSize) flush(out);
}

void put(OutBuffer& out, std::string_view text);

inline void put_char(OutBuffer& out, char c) {
  make_room(out, 1);
  out.data[out.used++] = c;
}

// Lowercase hexadecimal, zero-padded to at least min_digits (printf "%0*llx").
void put_hex(OutBuffer& out, uint64_t value, int min_digits = 1);
// Signed decimal (printf "%lld").
void put_dec(OutBuffer& out, int64_t value);

// Writes all of data to fd, going on after short writes and EINTR.
bool write_all(int fd, const void* data, size_t size);

}  // namespace psrate
