// SPDX-License-Identifier: MIT
// Access units of an elementary stream, found in its buffered bytes as they
// arrive, packet after packet (ISO/IEC 13818-1, 2.1.1; 13818-2, 6.2; 11172-3;
// ATSC A/52; the DTS core frame). Positions count the stream's buffered bytes
// from the start of its segment. A scanner keeps a few bytes of state across
// packets and never looks back at bytes it was given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "es/codecs.hpp"

namespace psrate {

// --- MPEG-1/2 video ---

enum class PictureType : uint8_t { None, I, P, B, D };

// What the decoding time of a picture needs: its coding type and, in MPEG-2,
// its picture_coding_extension.
struct Picture {
  PictureType type = PictureType::None;
  uint8_t structure = 3;  // picture_structure: 1 top field, 2 bottom field, 3 frame
  bool top_field_first = false;
  bool repeat_first_field = false;
  bool progressive_frame = true;
};

// The sequence the pictures belong to: frame rate and the flags of its extension.
struct Sequence {
  uint8_t frame_rate_code = 0;
  bool mpeg2 = false;
  bool progressive_sequence = false;
  bool low_delay = false;
  uint8_t frame_rate_extension_n = 0, frame_rate_extension_d = 0;
};

// One step of a scan: an access unit that commences (its picture_start_code,
// sync word or first byte), or one that ends (its last byte is at end - 1).
struct AuMark {
  enum Kind : uint8_t { Commence, End } kind = Commence;
  uint64_t pos = 0;    // Commence: the first byte of the start code or sync word
  uint64_t end = 0;    // End: one past the unit's last byte; audio Commence: its end, 0 unknown
  uint64_t start = 0;  // Commence: the unit's first byte (a video unit's sequence or GOP header)
  Picture picture;     // video End: the picture that ends
  uint32_t samples = 0, sample_rate = 0;  // audio Commence
};

// At most this many marks come from one call: a packet of 65535 bytes holds
// fewer start codes than that only in practice, so a scanner stops and
// resumes (the caller feeds the rest) when its array is full.
inline constexpr size_t kMaxMarks = 64;

struct AuMarks {
  std::array<AuMark, kMaxMarks> mark{};
  size_t count = 0;
  bool full() const { return count == kMaxMarks; }
  void add(const AuMark& m) { mark[count++] = m; }
};

// A video access unit starts at the first sequence_header_code (B3) or
// group_start_code (B8) after the previous picture_start_code, or else at its
// own picture_start_code, and ends where the next one starts or after a
// sequence_end_code (B7). Each field picture is an access unit.
struct VideoScanner {
  uint64_t pos = 0;          // buffered bytes seen
  uint32_t last = 0xFFFFFF;  // the last three bytes, for start codes across packets
  int64_t candidate = -1;    // the first B3 or B8 since the last picture_start_code
  bool open = false;         // a picture has commenced and not ended
  Picture picture;           // the open one
  Sequence sequence;
  // the header after a start code, gathered across packets
  uint8_t code = 0;
  std::array<uint8_t, 8> header{};
  uint8_t have = 0, need = 0;
};

// Scans `bytes` (the next buffered bytes of the stream) and appends its marks;
// returns the bytes taken (all of them unless the marks filled up).
size_t scan_video(VideoScanner& s, std::span<const uint8_t> bytes, AuMarks& marks);
// The segment ends: the open picture, if any, ends with its last byte.
void end_video(VideoScanner& s, AuMarks& marks);

// --- framed audio: MPEG audio, AC-3, DTS ---

enum class FrameCodec : uint8_t { MpegAudio, Ac3, Dts };

// Frames follow each other; a header that does not follow directly is found
// by searching forward, and counted as a resync. A free-format MPEG audio
// frame ends before the next header.
struct FrameScanner {
  FrameCodec codec = FrameCodec::MpegAudio;
  uint64_t pos = 0;        // buffered bytes seen
  uint64_t next = 0;       // where the next header is due
  bool synced = false;     // a header was found, `next` is meaningful
  bool free_open = false;  // a free-format frame whose end is the next header
  uint64_t resyncs = 0;
  std::array<uint8_t, 16> held{};  // the bytes of a header begun in an earlier packet
  size_t held_size = 0;
  uint64_t held_pos = 0;
};

size_t scan_frames(FrameScanner& s, std::span<const uint8_t> bytes, AuMarks& marks);

// --- LPCM and subpictures (DVD) ---

// LPCM frames of 1/600 s, contiguous from the first frame's position.
struct LpcmScanner {
  uint64_t pos = 0;
  uint64_t next = 0;
  bool started = false;
  uint32_t frame_bytes = 0;  // fs / 600 * channels * bits / 8
  uint32_t sample_rate = 0;
};

// `first`: the buffered position of the packet's first frame, from its
// first_access_unit_pointer, when the scan has not started.
size_t scan_lpcm(LpcmScanner& s, std::span<const uint8_t> bytes, int64_t first, AuMarks& marks);

// A subpicture unit begins at the first data byte of a packet with a PTS when
// none is open; its first two bytes give its size.
struct SpuScanner {
  uint64_t pos = 0;
  uint64_t end = 0;  // of the open unit; 0 when none is open
  bool open = false;
  uint8_t size_have = 0;
  uint64_t start = 0;
  uint32_t size = 0;
};

size_t scan_spu(SpuScanner& s, std::span<const uint8_t> bytes, bool has_pts, AuMarks& marks);

}  // namespace psrate
