// SPDX-License-Identifier: MIT
// The stream-id table: one row per kind of start code from 00 00 01 B9 to
// 00 00 01 FF (ISO/IEC 13818-1, table 2-18), read by the walk, the listing and
// the audit alike.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace psrate {

enum class UnitKind : uint8_t {
  EndCode,
  Pack,
  SystemHeader,
  PrivateStream1,
  Padding,
  PrivateStream2,
  Audio,
  Video,
  Unknown,
  ZeroStuffing,  // a 00 byte in front of 00 00 xx: stepped over alone, no line
  Skipped,       // bytes a resynchronising walk stepped over to find the stream again
};

// What a packet line shows after its label: nothing, "(%x)" of the start code,
// or "_%d" of the start code's distance from its row's first.
enum class LineTag : uint8_t { None, Code, Number };

struct StreamIdClass {
  uint8_t first, last;  // stream_id range: the start code's last byte
  UnitKind kind;
  std::string_view label;  // the listing's word
  LineTag tag;
  std::string_view name;  // the audit's word
  bool pes_header;        // a PES packet whose length is followed by the PES header
  bool buffered;          // its bytes enter a P-STD buffer of their own (0xBD: per sub-stream)
};

inline constexpr std::array<StreamIdClass, 16> kStreamIdClasses{{
    {0xB9, 0xB9, UnitKind::EndCode, "SYSTEM_END_CODE", LineTag::None, "end code", false, false},
    {0xBA, 0xBA, UnitKind::Pack, "PACK_START_CODE", LineTag::None, "pack header", false, false},
    {0xBB, 0xBB, UnitKind::SystemHeader, "SYSTEM_START_CODE", LineTag::None, "system header", false,
     false},
    {0xBC, 0xBC, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "program stream map", false, false},
    {0xBD, 0xBD, UnitKind::PrivateStream1, "PRIVATE_STREAM_1", LineTag::Code, "private stream 1",
     true, true},
    {0xBE, 0xBE, UnitKind::Padding, "PADDING_STREAM", LineTag::None, "padding", false, false},
    {0xBF, 0xBF, UnitKind::PrivateStream2, "PRIVATE_STREAM_2", LineTag::None, "private stream 2",
     false, false},
    {0xC0, 0xC7, UnitKind::Audio, "AUDIO_ELEMENTARY_STREAM", LineTag::Number, "audio", true, true},
    {0xC8, 0xDF, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "audio", true, true},
    {0xE0, 0xE0, UnitKind::Video, "VIDEO_ELEMENTARY_STREAM", LineTag::Code, "video", true, true},
    {0xE1, 0xEF, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "video", true, true},
    // ECM, EMM, DSM-CC: no PES header
    {0xF0, 0xF2, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "other", false, false},
    {0xF3, 0xF7, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "other", true, false},
    // ITU-T H.222.1 type E: no PES header
    {0xF8, 0xF8, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "other", false, false},
    {0xF9, 0xFE, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "other", true, false},
    // program_stream_directory
    {0xFF, 0xFF, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "other", false, false},
}};

// Any other 32-bit value that is not zero stuffing: bytes that are no start code of a
// program stream unit (00 00 01 00..B8 are video-layer codes, found only in a payload).
inline constexpr StreamIdClass kOtherCode{
    0, 0, UnitKind::Unknown, "UNKNOWN", LineTag::Code, "other", false, false};
// The range a resynchronising walk stepped over.
inline constexpr StreamIdClass kSkippedRange{
    0, 0, UnitKind::Skipped, "SKIPPED", LineTag::None, "skipped", false, false};

inline constexpr uint8_t kFirstStreamId = 0xB9;

constexpr bool stream_id_classes_cover_b9_to_ff() {
  unsigned next = kFirstStreamId;
  for (const StreamIdClass& c : kStreamIdClasses) {
    if (c.first != next || c.last < c.first) return false;
    next = c.last + 1u;
  }
  return next == 0x100;
}
static_assert(stream_id_classes_cover_b9_to_ff(), "one row for each id from B9 to FF, in order");

// The row of each id from B9 on, for a lookup without a search.
inline constexpr std::array<uint8_t, 256 - kFirstStreamId> kStreamIdRow = [] {
  std::array<uint8_t, 256 - kFirstStreamId> rows{};
  for (size_t r = 0; r < kStreamIdClasses.size(); ++r)
    for (unsigned id = kStreamIdClasses[r].first; id <= kStreamIdClasses[r].last; ++id)
      rows[id - kFirstStreamId] = uint8_t(r);
  return rows;
}();

// 00 00 01 B9..FF: the start code of a program stream unit.
constexpr bool is_stream_code(uint32_t start_code) {
  return (start_code >> 8) == 1 && (start_code & 0xFF) >= kFirstStreamId;
}

constexpr const StreamIdClass& id_class(uint32_t start_code) {
  if (!is_stream_code(start_code)) return kOtherCode;
  return kStreamIdClasses[kStreamIdRow[(start_code & 0xFF) - kFirstStreamId]];
}

constexpr UnitKind classify(uint32_t start_code) {
  return start_code <= 0xFF ? UnitKind::ZeroStuffing : id_class(start_code).kind;
}

}  // namespace psrate
