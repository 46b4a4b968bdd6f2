// SPDX-License-Identifier: MIT
// The P-STD of one elementary stream over one segment: its PES packets'
// buffered bytes go to an access-unit scanner and into its buffer; each access
// unit gets a decoding time (from its packet's timestamp, or extrapolated from
// the one before), leaves at r(j) = max(td(j), c(j), r(j-1)), and is late when
// its last byte arrives after td(j) (ISO/IEC 13818-1, 2.5.2).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "pstd/access_units.hpp"
#include "pstd/buffer.hpp"
#include "pstd/clock.hpp"
#include "pstd/decoding.hpp"

namespace psrate {

enum class BufferKind : uint8_t { Video, MpegAudio, Ac3, Dts, Lpcm, Subpicture };

// One PES packet of the stream as the walk gives it.
struct StreamPacket {
  uint64_t offset = 0;               // file offset of its first buffered byte
  std::span<const uint8_t> payload;  // the buffered bytes
  bool has_pts = false, has_dts = false;
  int64_t pts = 0, dts = 0;  // unwrapped, 90 kHz
  bool dsm_trick_mode = false;
  uint64_t size = 0;  // the buffer size in force, bytes (0: unknown)
  PackClock clock;    // of the pack that holds it
  // LPCM: where its first frame begins in the payload (from first_access_unit_pointer), or -1
  int64_t first_frame = -1;
  // DVD audio: number_of_frame_headers, and where first_access_unit_pointer puts
  // the first unit that commences in the payload; -1 without a sub-stream header
  int frames = -1;
  int64_t pointer = -1;
};

struct AccessUnitCounts {
  uint64_t stamped = 0, extrapolated = 0, untimed = 0, skipped = 0;
  uint64_t timestamps_ignored = 0;    // a timestamp on a packet where no unit commences
  uint64_t timestamp_mismatches = 0;  // 300 ticks or more from the extrapolation
  uint64_t pointer_mismatches =
      0;  // DVD audio packets whose pointer or count is not what commences
};

struct Underflows {
  uint64_t count = 0, permitted = 0;
  uint64_t first_offset = 0;  // of the late unit's first byte... its commencing byte
  Instant first_td;
  Instant max_lateness;
};

// A unit that commenced and has not left the scan yet.
struct OpenUnit {
  uint64_t commence = 0;  // buffered position of its picture_start_code or sync word
  uint64_t end = 0;       // one past its last byte; 0 while unknown
  uint64_t offset = 0;    // file offset of its commencing byte
  bool timed = false;
  Instant td;
  bool permitted = false;  // low_delay, or DSM trick mode on its timestamp's packet
};

inline constexpr size_t kOpenUnits = 64;

struct StreamModel {
  BufferKind kind = BufferKind::Video;
  VideoScanner video;
  FrameScanner frames;
  LpcmScanner lpcm;  // frame_bytes and sample_rate set by the caller
  SpuScanner spu;
  VideoClock clock;
  BufferModel buffer;
  bool started = false;         // the segment's first timed unit has commenced
  uint64_t start = 0;           // its first buffered byte: bytes before it are not buffered
  bool has_prediction = false;  // the decoding time of the next unit, extrapolated
  Instant prediction;
  std::array<OpenUnit, kOpenUnits> open{};  // a ring, in commencing order
  size_t first_open = 0, open_count = 0;
  uint64_t removed_end = 0;  // the end of the last unit handed to the buffer
  bool has_removal = false;
  Instant last_removal;
  AccessUnitCounts counts;
  Underflows underflows;
  bool stopped = false;  // a ring filled: checking stopped
  // the last packet's timestamp, when no unit began in it as far as it was scanned
  bool pending = false;
  Instant pending_td;
  bool pending_trick = false;
  // The last packet's number_of_frame_headers and first_access_unit_pointer,
  // judged when the next packet is scanned: a sync word may begin in its last
  // bytes and be found only then.
  struct PointerCheck {
    bool open = false;
    int frames = 0;
    int64_t pointer = 0;
    uint64_t from = 0;  // the buffered position of its first payload byte
    int64_t count = 0, first = -1;
  } pointer;
};

// The model of a stream of this kind, empty. LPCM frames are of
// `lpcm_frame_bytes` at `lpcm_rate`.
StreamModel stream_model(BufferKind kind, uint32_t lpcm_frame_bytes = 0, uint32_t lpcm_rate = 0);

// One PES packet's buffered bytes.
void stream_packet(StreamModel& s, const StreamPacket& packet);

// The segment ends: every arrival is simulated; an incomplete last unit is dropped.
void stream_end(StreamModel& s);

}  // namespace psrate
