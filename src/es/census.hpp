// SPDX-License-Identifier: MIT
// What a program stream holds: each elementary stream (each PES stream id, and
// each sub-stream of private stream 1 apart) with its packets, its payload, its
// codec's parameters from the first whole header, and its timestamps.
// Fixed-size tallies: memory does not grow with the stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "es/codecs.hpp"
#include "es/pes.hpp"
#include "ps/units.hpp"
#include "ps/walk.hpp"

namespace psrate {

enum class Codec : uint8_t {
  Unknown,  // no header found (yet)
  Mpeg1Video,
  Mpeg2Video,
  MpegAudio,
  Ac3,
  Dts,
  Lpcm,
  Subpicture,
};

// The smallest read window that holds every PES packet whole (a length of
// 65535 after its 6 fixed bytes) with the walk's margin: the census of a
// smaller window leaves the codec search of larger packets out.
inline constexpr size_t kWholePacketWindow = 6 + 65535 + kMinWindowSize;

// Bytes kept per stream while its first header is looked for: a sequence
// header with both quantiser matrices and its extension fits.
inline constexpr size_t kHeaderTail = 160;

// A PTS range within one segment, unwrapped modulo 2^33 nearest the segment's first.
struct PtsSpan {
  bool open = false;
  uint64_t first = 0;         // as read
  int64_t low = 0, high = 0;  // relative to `first`
};

struct StreamCount {
  uint64_t packets = 0;
  uint64_t bytes = 0;          // whole units
  uint64_t payload_bytes = 0;  // without PES and sub-stream headers
  Codec codec = Codec::Unknown;
  VideoParams video;
  MpegAudioFrame mpeg_audio;
  Ac3Frame ac3;
  DtsFrame dts;
  SubStream lpcm;  // LPCM's format, from its sub-stream header
  bool has_pts = false;
  uint64_t first_pts = 0, last_pts = 0;  // in walk order, 90 kHz
  PtsSpan span;                          // the current segment's
  uint64_t closed_span = 0;              // largest - smallest PTS, summed over closed segments
  uint64_t spans = 0;                    // segments with a PTS
  // the search for the first header
  std::array<uint8_t, kHeaderTail> tail{};
  size_t tail_size = 0;
};

struct StreamCensus {
  std::array<StreamCount, 256> ids{};   // by stream_id; 0xBD counts every sub-stream
  std::array<StreamCount, 256> subs{};  // private stream 1's sub-streams, by sub_stream_id
  uint64_t bad_pes_headers = 0;
  uint32_t open_spans = 0;  // streams with a PTS in the current segment
  // the sub-stream of the last packet taken, when it was one of private stream 1's
  bool last_sub_known = false;
  uint8_t last_sub = 0;
};

// A PES packet taken whole (or as much of it as the file holds).
void census_take(StreamCensus& census, const Unit& unit);

// A new segment begins: each stream's PTS range is closed.
void census_break(StreamCensus& census);

// The PTS span of a stream over its segments, in 90 kHz ticks (the open segment included).
uint64_t pts_span(const StreamCount& s);

// The census as a consumer of the walk: every PES packet whole, and a new
// segment after each skipped range.
struct CensusWalk {
  static constexpr KindSet kWhole =
      kind_bit(UnitKind::Video) | kind_bit(UnitKind::Audio) | kind_bit(UnitKind::PrivateStream1) |
      kind_bit(UnitKind::Padding) | kind_bit(UnitKind::PrivateStream2) |
      kind_bit(UnitKind::Unknown);
  StreamCensus* census = nullptr;

  Failure take(const Unit& unit) {
    census_take(*census, unit);
    if (unit.kind == UnitKind::Skipped) census_break(*census);
    return Failure::None;
  }
  Failure settle() { return Failure::None; }
  Failure finish(const WalkEnd&) { return Failure::None; }
};

}  // namespace psrate
