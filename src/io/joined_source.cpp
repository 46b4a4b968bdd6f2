// SPDX-License-Identifier: MIT
#include "io/joined_source.hpp"

#include <algorithm>

namespace psrate {
namespace {

JoinedFiles& joined_of(void* context) { return *static_cast<JoinedFiles*>(context); }

// Closes the open part, if any; a failed close after writing may have lost a write.
void close_part(JoinedFiles& j) {
  if (j.open_part == SIZE_MAX) return;
  if (!file_close(j.file) && !j.close_failed) {
    j.close_failed = true;
    j.failed_part = j.open_part;
    j.error = j.file.error;
  }
  j.open_part = SIZE_MAX;
}

// Part `i` open, the others closed.
Failure open_part(JoinedFiles& j, size_t i) {
  if (j.open_part == i) return Failure::None;
  close_part(j);
  j.file = StreamFile{};
  if (!file_open(j.file, j.parts[i].path.c_str(), j.mode)) {
    j.failed_part = i;
    j.error = j.file.error;
    return Failure::Open;
  }
  j.open_part = i;
  return Failure::None;
}

Failure note(JoinedFiles& j, Failure f) {
  if (f != Failure::None) {
    j.failed_part = j.open_part;
    j.error = j.file.error;
  }
  return f;
}

Failure read_joined(void* c, uint64_t offset, std::span<uint8_t> into, size_t& got) {
  JoinedFiles& j = joined_of(c);
  got = 0;
  while (got < into.size()) {
    PartOffset at = locate(j, offset + got);
    const JoinedPart& part = j.parts[at.part];
    if (at.offset >= part.size) return Failure::None;  // the end of the joined stream
    if (Failure f = open_part(j, at.part); f != Failure::None) return f;
    size_t want = size_t(std::min<uint64_t>(into.size() - got, part.size - at.offset));
    size_t n = 0;
    if (Failure f = note(j, file_read_at(j.file, at.offset, into.data() + got, want, n));
        f != Failure::None)
      return f;
    got += n;
    if (n < want) return Failure::None;  // the part is shorter than it was: the data ends here
  }
  return Failure::None;
}

Failure write_joined(void* c, uint64_t offset, std::span<const uint8_t> bytes) {
  JoinedFiles& j = joined_of(c);
  size_t done = 0;
  while (done < bytes.size()) {
    PartOffset at = locate(j, offset + done);
    const JoinedPart& part = j.parts[at.part];
    if (at.offset >= part.size) return Failure::Write;  // past the end of the last part
    if (Failure f = open_part(j, at.part); f != Failure::None) return Failure::Write;
    size_t n = size_t(std::min<uint64_t>(bytes.size() - done, part.size - at.offset));
    if (Failure f = note(j, file_write_at(j.file, at.offset, bytes.data() + done, n));
        f != Failure::None)
      return f;
    done += n;
  }
  return Failure::None;
}

}  // namespace

bool join_files(JoinedFiles& j, const std::vector<std::string>& paths, OpenMode mode) {
  j = JoinedFiles{};
  j.mode = mode;
  uint64_t start = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    StreamFile f;
    uint64_t size = 0;
    bool ok = file_open(f, paths[i].c_str(), mode) && file_size(f, size);
    if (!ok) {
      j.failed_part = i;
      j.error = f.error;
      file_close(f);
      return false;
    }
    file_close(f);
    j.parts.push_back({paths[i], start, size});
    start += size;
  }
  return !j.parts.empty();
}

PartOffset locate(const JoinedFiles& j, uint64_t offset) {
  // the last part that starts at or before the offset; empty parts hold nothing
  size_t i = 0;
  for (size_t k = 0; k < j.parts.size(); ++k)
    if (j.parts[k].start <= offset && (j.parts[k].size > 0 || k + 1 == j.parts.size())) i = k;
  return {i, offset - j.parts[i].start};
}

ByteSource joined_source(JoinedFiles& joined) {
  ByteSource s;
  s.context = &joined;
  s.read_at = read_joined;
  s.write_at = write_joined;
  s.size = [](void* c, uint64_t& size) {
    const JoinedFiles& j = joined_of(c);
    size = j.parts.empty() ? 0 : j.parts.back().start + j.parts.back().size;
    return true;
  };
  s.close = [](void* c) {
    JoinedFiles& j = joined_of(c);
    close_part(j);
    return !j.close_failed;
  };
  return s;
}

}  // namespace psrate
