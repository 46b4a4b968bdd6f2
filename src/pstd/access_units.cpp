// SPDX-License-Identifier: MIT
#include "pstd/access_units.hpp"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace psrate {
namespace {

AuMark commence(uint64_t pos, uint64_t end = 0, uint64_t start = UINT64_MAX) {
  AuMark m;
  m.pos = pos;
  m.end = end;
  m.start = start == UINT64_MAX ? pos : start;
  return m;
}

AuMark ending(uint64_t end, const Picture& picture = {}) {
  AuMark m;
  m.kind = AuMark::End;
  m.end = end;
  m.picture = picture;
  return m;
}

// The bit at `at` (0 = the most significant of byte 0) of the gathered header.
uint32_t bit_of(const std::array<uint8_t, 8>& h, size_t at) {
  return (h[at / 8] >> (7 - at % 8)) & 1;
}

uint32_t bits_of(const std::array<uint8_t, 8>& h, size_t at, size_t count) {
  uint32_t v = 0;
  for (size_t i = 0; i < count; ++i) v = v << 1 | bit_of(h, at + i);
  return v;
}

// The header bytes each start code needs: picture_coding_type lies in the
// second byte after a picture_start_code, frame_rate_code in the fourth after
// a sequence_header_code; a sequence_extension takes six, a
// picture_coding_extension five.
uint8_t header_need(uint8_t code) {
  switch (code) {
    case 0x00: return 2;
    case 0xB3: return 4;
    case 0xB5: return 6;
    default: return 0;
  }
}

void take_header(VideoScanner& s) {
  const std::array<uint8_t, 8>& h = s.header;
  if (s.code == 0x00) {
    static constexpr PictureType kTypes[8] = {
        PictureType::None, PictureType::I,    PictureType::P,    PictureType::B,
        PictureType::D,    PictureType::None, PictureType::None, PictureType::None};
    if (s.open) s.picture.type = kTypes[(h[1] >> 3) & 7];
  } else if (s.code == 0xB3) {
    s.sequence = Sequence{};
    s.sequence.frame_rate_code = h[3] & 0x0F;
  } else if (s.code == 0xB5 && (h[0] >> 4) == 1) {  // sequence_extension
    s.sequence.mpeg2 = true;
    s.sequence.progressive_sequence = bit_of(h, 12);
    s.sequence.low_delay = bit_of(h, 40);
    s.sequence.frame_rate_extension_n = uint8_t(bits_of(h, 41, 2));
    s.sequence.frame_rate_extension_d = uint8_t(bits_of(h, 43, 5));
  } else if (s.code == 0xB5 && (h[0] >> 4) == 8 && s.open) {  // picture_coding_extension
    s.picture.structure = uint8_t(bits_of(h, 22, 2));
    s.picture.top_field_first = bit_of(h, 24);
    s.picture.repeat_first_field = bit_of(h, 30);
    s.picture.progressive_frame = bit_of(h, 32);
  }
}

// A start code whose first byte is at `at`.
void take_code(VideoScanner& s, uint8_t code, uint64_t at, AuMarks& marks) {
  s.code = code;
  s.have = 0;
  s.need = header_need(code);
  if (code == 0x00) {
    uint64_t start = s.candidate >= 0 ? uint64_t(s.candidate) : at;
    if (s.open) marks.add(ending(start, s.picture));
    marks.add(commence(at, 0, start));
    s.open = true;
    s.picture = Picture{};
    s.candidate = -1;
  } else if (code == 0xB3 || code == 0xB8) {
    if (s.candidate < 0) s.candidate = int64_t(at);
  } else if (code == 0xB7) {  // sequence_end_code: the unit ends with it
    if (s.open) marks.add(ending(at + 4, s.picture));
    s.open = false;
    s.candidate = -1;
  }
}

}  // namespace

// Steps over bytes that cannot end a start code prefix (00 00 01): looking at
// every third byte, a byte above 1 rules out the three prefixes it could end.
// The first bytes of a call go the slow way, with what the last call left.
// The first k >= from with bytes k-2, k-1, k = 00 00 01 (from >= 2), else n.
size_t next_prefix_end(const uint8_t* b, size_t from, size_t n) {
  size_t k = from;
#if defined(__SSE2__)
  // 32 positions at a time: most hold no 01 byte, so none ends a prefix; where
  // one does, the three bytes ending at each position are compared at once
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  auto at = [b](size_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)); };
  for (; k + 32 <= n; k += 32) {
    __m128i d0 = at(k), d1 = at(k + 16);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(d0, one), _mm_cmpeq_epi8(d1, one))) == 0)
      continue;
    for (size_t q = k; q < k + 32; q += 16) {
      __m128i hit = _mm_and_si128(
          _mm_and_si128(_mm_cmpeq_epi8(at(q - 2), zero), _mm_cmpeq_epi8(at(q - 1), zero)),
          _mm_cmpeq_epi8(at(q), one));
      int mask = _mm_movemask_epi8(hit);
      if (mask != 0) return q + size_t(__builtin_ctz(unsigned(mask)));
    }
  }
#endif
  for (; k < n; ++k)
    if (b[k] == 1 && b[k - 1] == 0 && b[k - 2] == 0) return k;
  return n;
}

size_t skip_to_prefix_end(VideoScanner& s, std::span<const uint8_t> bytes, size_t i) {
  size_t n = bytes.size();
  if (s.need > 0 || s.last == 0x000001 || i < 3) return i;
  size_t j = next_prefix_end(bytes.data(), i, n);
  if (j == i) return i;
  s.last = uint32_t(bytes[j - 3]) << 16 | uint32_t(bytes[j - 2]) << 8 | bytes[j - 1];
  s.pos += j - i;
  return j;
}

size_t scan_video(VideoScanner& s, std::span<const uint8_t> bytes, AuMarks& marks) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (marks.count + 2 > kMaxMarks) return i;
    i = skip_to_prefix_end(s, bytes, i);
    if (i == bytes.size()) return i;
    uint8_t b = bytes[i];
    if (s.need > 0) {
      s.header[s.have++] = b;
      if (s.have == s.need) {
        take_header(s);
        s.need = 0;
      }
    }
    if (s.last == 0x000001) take_code(s, b, s.pos - 3, marks);
    s.last = (s.last << 8 | b) & 0xFFFFFF;
    ++s.pos;
  }
  return bytes.size();
}

void end_video(VideoScanner& s, AuMarks& marks) {
  if (s.open && !marks.full()) marks.add(ending(s.pos, s.picture));
  s.open = false;
}

// --- framed audio ---

namespace {

size_t header_bytes(FrameCodec c) {
  switch (c) {
    case FrameCodec::MpegAudio: return kMpegAudioHeaderBytes;
    case FrameCodec::Ac3: return kAc3HeaderBytes;
    case FrameCodec::Dts: return kDtsHeaderBytes;
  }
  return kDtsHeaderBytes;
}

struct FrameHeader {
  uint32_t length = 0;  // 0: free format
  uint32_t samples = 0, sample_rate = 0;
};

bool parse_frame(FrameCodec c, std::span<const uint8_t> b, FrameHeader& f) {
  switch (c) {
    case FrameCodec::MpegAudio: {
      MpegAudioFrame m;
      if (!parse_mpeg_audio_header(b, m)) return false;
      f = {m.length, m.samples, m.sample_rate};
      return true;
    }
    case FrameCodec::Ac3: {
      Ac3Frame a;
      if (!parse_ac3_header(b, a)) return false;
      f = {a.length, 1536, a.sample_rate};
      return true;
    }
    case FrameCodec::Dts: {
      DtsFrame d;
      if (!parse_dts_header(b, d)) return false;
      f = {d.length, d.samples, d.sample_rate};
      return true;
    }
  }
  return false;
}

// The held bytes begin a frame, or do not: the frame is marked, or the search
// moves on by one byte.
void test_header(FrameScanner& s, AuMarks& marks) {
  FrameHeader f;
  if (!parse_frame(s.codec, {s.held.data(), s.held_size}, f) ||
      (f.length != 0 && f.length < s.held_size)) {
    if (s.synced) ++s.resyncs;  // the header was due here
    s.synced = false;
    std::memmove(s.held.data(), s.held.data() + 1, s.held_size - 1);
    --s.held_size;
    ++s.held_pos;
    return;
  }
  if (s.free_open) marks.add(ending(s.held_pos));
  AuMark m = commence(s.held_pos, f.length ? s.held_pos + f.length : 0);
  m.samples = f.samples;
  m.sample_rate = f.sample_rate;
  marks.add(m);
  s.free_open = f.length == 0;
  s.synced = f.length != 0;
  s.next = s.held_pos + f.length;
  s.held_size = 0;
}

}  // namespace

size_t scan_frames(FrameScanner& s, std::span<const uint8_t> bytes, AuMarks& marks) {
  size_t need = header_bytes(s.codec), i = 0;
  while (i < bytes.size()) {
    if (marks.count + 2 > kMaxMarks) return i;
    if (s.held_size == need) {
      test_header(s, marks);
      continue;
    }
    if (s.synced && s.held_size == 0 && s.pos < s.next) {  // inside a frame: step over it
      size_t skip = size_t(std::min<uint64_t>(s.next - s.pos, bytes.size() - i));
      s.pos += skip;
      i += skip;
      continue;
    }
    if (s.held_size == 0) s.held_pos = s.pos;
    s.held[s.held_size++] = bytes[i++];
    ++s.pos;
  }
  if (s.held_size == need && marks.count + 2 <= kMaxMarks) test_header(s, marks);
  return i;
}

// --- LPCM and subpictures ---

size_t scan_lpcm(LpcmScanner& s, std::span<const uint8_t> bytes, int64_t first, AuMarks& marks) {
  uint64_t end = s.pos + bytes.size();
  if (!s.started && first >= 0 && uint64_t(first) >= s.pos && uint64_t(first) < end) {
    s.started = true;
    s.next = uint64_t(first);
  }
  while (s.started && s.frame_bytes > 0 && s.next < end) {
    if (marks.full()) return size_t(s.next - s.pos);
    AuMark m = commence(s.next, s.next + s.frame_bytes);
    m.samples = s.sample_rate / 600;
    m.sample_rate = s.sample_rate;
    marks.add(m);
    s.next += s.frame_bytes;
  }
  s.pos = end;
  return bytes.size();
}

size_t scan_spu(SpuScanner& s, std::span<const uint8_t> bytes, bool has_pts, AuMarks& marks) {
  if (marks.count + 2 > kMaxMarks) return 0;
  if (!s.open && has_pts && !bytes.empty()) {
    s = {s.pos, 0, true, 0, s.pos, 0};
    marks.add(commence(s.pos));
  }
  for (size_t i = 0; i < bytes.size(); ++i, ++s.pos) {
    if (!s.open) continue;
    if (s.size_have < 2) {
      s.size = s.size << 8 | bytes[i];
      if (++s.size_have == 2) s.end = s.start + std::max<uint32_t>(s.size, 2);
    }
    if (s.size_have == 2 && s.pos + 1 == s.end) {
      if (marks.full()) return i;
      marks.add(ending(s.end));
      s.open = false;
    }
  }
  return bytes.size();
}

}  // namespace psrate
