// SPDX-License-Identifier: MIT
#include "io/byte_source.hpp"

#include <algorithm>

namespace psrate {
namespace {

StreamFile& file_of(void* context) { return *static_cast<StreamFile*>(context); }
MemoryBytes& memory_of(void* context) { return *static_cast<MemoryBytes*>(context); }

}  // namespace

ByteSource file_source(StreamFile& file) {
  ByteSource s;
  s.context = &file;
  s.read_at = [](void* c, uint64_t offset, std::span<uint8_t> into, size_t& got) {
    return file_read_at(file_of(c), offset, into.data(), into.size(), got);
  };
  s.write_at = [](void* c, uint64_t offset, std::span<const uint8_t> bytes) {
    return file_write_at(file_of(c), offset, bytes.data(), bytes.size());
  };
  s.size = [](void* c, uint64_t& size) { return file_size(file_of(c), size); };
  s.close = [](void* c) { return file_close(file_of(c)); };
  return s;
}

ByteSource memory_source(MemoryBytes& memory) {
  ByteSource s;
  s.context = &memory;
  s.read_at = [](void* c, uint64_t offset, std::span<uint8_t> into, size_t& got) {
    std::span<uint8_t> bytes = memory_of(c).bytes;
    got = offset < bytes.size() ? std::min<size_t>(into.size(), bytes.size() - offset) : 0;
    std::copy_n(bytes.begin() + ptrdiff_t(offset < bytes.size() ? offset : 0), got, into.begin());
    return Failure::None;
  };
  s.write_at = [](void* c, uint64_t offset, std::span<const uint8_t> bytes) {
    MemoryBytes& m = memory_of(c);
    if (++m.writes == m.fail_write || offset > m.bytes.size() ||
        bytes.size() > m.bytes.size() - offset)
      return Failure::Write;
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin() + ptrdiff_t(offset));
    return Failure::None;
  };
  s.size = [](void* c, uint64_t& size) {
    size = memory_of(c).bytes.size();
    return true;
  };
  s.close = [](void*) { return true; };
  return s;
}

}  // namespace psrate
