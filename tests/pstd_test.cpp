// SPDX-License-Identifier: MIT
// The decoder buffers of a whole stream: segments at end codes, skipped
// ranges, clocks that jump or step back, R = 0 and the 33-bit wrap; the
// buffer size from a PES header, a system header entry, its 0xB9 entry, or
// none; a PES size above the bound; the streams listed as not modelled.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "audit/audit.hpp"
#include "dvd_recipe.hpp"
#include "stream_builder.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

// 25 fps MPEG-1 video: a sequence header, then pictures of `bytes` each.
Bytes sequence_header() {
  return {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x83, 0x00, 0x2C, 0xE3, 0x80};
}
Bytes picture(size_t bytes) {
  Bytes p = {0x00, 0x00, 0x01, 0x00, 0x00, 0x08, 0xFF, 0xF8};
  p.resize(bytes, 0x55);
  return p;
}

struct Stream {
  StreamBuilder b;
  int64_t frame = 0;
  // One pack at `scr` ticks (R = 10.08 Mbit/s unless given) with one picture
  // stamped with its frame's PTS, 0.1 s ahead.
  void pack(uint64_t scr, uint32_t mux = 25200, uint16_t pstd = 0) {
    b.pack_scr(scr, mux);
    Bytes payload = frame == 0 ? sequence_header() : Bytes{};
    Bytes pic = picture(1500);
    payload.insert(payload.end(), pic.begin(), pic.end());
    b.pes2(0xE0, payload, int64_t(scr / 300) + 9000, 1, pstd);
    ++frame;
  }
};

PstdModel& buffers_of(const Bytes& bytes) {
  static PstdModel model;
  static Measurement m;
  pstd_reset(model);
  m = Measurement{};
  std::vector<uint8_t> window(kWindowSize);
  Bytes copy = bytes;
  MemoryBytes memory{copy};
  ByteSource source = memory_source(memory);
  EXPECT_EQ(measure_stream(source, window, m, &model), Failure::None);
  return model;
}

std::vector<uint64_t> starts(const PstdModel& p) {
  return {p.segment_starts.begin(),
          p.segment_starts.begin() + long(std::min<uint64_t>(p.segments, kSegmentStarts))};
}

TEST(Pstd, SegmentsBeginWhereTheDefinitionSays) {
  Stream s;
  for (int k = 0; k < 5; ++k) s.pack(uint64_t(k) * 1080000);
  size_t end_code = s.b.size();
  s.b.end();
  size_t after_end = s.b.size();
  for (int k = 5; k < 8; ++k) s.pack(uint64_t(k) * 1080000);
  size_t jump = s.b.size();
  for (int k = 0; k < 3; ++k) s.pack(uint64_t(30 + k) * 1080000);  // 0.7 s and more later
  size_t back = s.b.size();
  for (int k = 0; k < 3; ++k) s.pack(uint64_t(k) * 1080000);  // the clock runs back
  size_t zero = s.b.size();
  s.pack(4 * 1080000, 0);  // R = 0: no arrival times
  size_t after_zero = s.b.size();
  s.pack(5 * 1080000);
  PstdModel& p = buffers_of(s.b.end().data);
  (void)end_code;
  EXPECT_EQ(starts(p), (std::vector<uint64_t>{0, after_end, jump, back, zero, after_zero}));
  // a buffer for each segment that had video in it (the R = 0 pack's has none)
  size_t video = 0;
  for (size_t i = 0; i < p.result_count; ++i) video += p.results[i].id == 0xE0;
  EXPECT_EQ(video, 5u);
}

TEST(Pstd, TheWrapOfTheClockIsNoSegment) {
  Stream s;
  uint64_t wrap = (uint64_t(1) << 33) * 300;
  for (int k = 0; k < 6; ++k) s.pack((wrap - 2 * 1080000 + uint64_t(k) * 1080000) % wrap);
  PstdModel& p = buffers_of(s.b.end().data);
  EXPECT_EQ(p.segments, 1u);
  ASSERT_GE(p.result_count, 1u);
  EXPECT_EQ(p.results[0].underflows.count, 0u);
  EXPECT_EQ(p.results[0].counts.timestamp_mismatches, 0u);  // PTS unwrapped near their SCR
}

struct SizeCase {
  const char* name;
  std::vector<StreamEntrySpec> entries;
  uint16_t pstd;  // P-STD_buffer_size in the PES headers, 1024-byte units
  uint64_t size;
  SizeSource source;
  bool above_bound;
};

class Sizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(Sizes, FromPesHeaderSystemHeaderOrNone) {
  const SizeCase& c = GetParam();
  Stream s;
  s.b.pack_scr(0, 25200);
  if (!c.entries.empty()) {
    s.b.start_code(0xBB).u16(uint32_t(6 + 3 * c.entries.size()));
    const uint32_t mux = 25200;
    s.b.raw(
        {uint8_t(mux >> 15 | 0x80), uint8_t(mux >> 7), uint8_t(mux << 1 | 1), 0x04, 0xE1, 0xFF});
    for (const StreamEntrySpec& e : c.entries)
      s.b.raw({e.stream_id, uint8_t(0xC0 | e.scale << 5 | e.buffer_bound >> 8),
               uint8_t(e.buffer_bound)});
  }
  for (int k = 0; k < 4; ++k) s.pack(uint64_t(k + 1) * 1080000, 25200, c.pstd);
  PstdModel& p = buffers_of(s.b.end().data);
  ASSERT_GE(p.result_count, 1u);
  EXPECT_EQ(p.results[0].size, c.size);
  EXPECT_EQ(p.results[0].source, c.source);
  EXPECT_EQ(p.above_bound[0xE0], c.above_bound);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Sizes,
    ::testing::Values(
        SizeCase{"pes_first", {{0xE0, 1, 46}}, 232, 232 * 1024, SizeSource::Pes, true},
        SizeCase{"pes_within_the_bound", {{0xE0, 1, 232}}, 46, 46 * 1024, SizeSource::Pes, false},
        SizeCase{
            "system_header_entry", {{0xE0, 1, 46}}, 0, 46 * 1024, SizeSource::SystemHeader, false},
        SizeCase{
            "all_video_entry", {{0xB9, 1, 230}}, 0, 230 * 1024, SizeSource::SystemHeader, false},
        SizeCase{"own_entry_before_b9",
                 {{0xB9, 1, 230}, {0xE0, 1, 40}},
                 0,
                 40 * 1024,
                 SizeSource::SystemHeader,
                 false},
        SizeCase{"bound_zero_is_absent", {{0xE0, 1, 0}}, 0, 0, SizeSource::Unknown, false},
        SizeCase{"pes_above_a_zero_bound", {{0xE0, 1, 0}}, 58, 58 * 1024, SizeSource::Pes, true},
        SizeCase{"none", {}, 0, 0, SizeSource::Unknown, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pstd, StreamsNotModelledAreListed) {
  Stream s;
  s.pack(0);
  s.b.padding(100).pes(0xBF, 50);
  s.b.pes2(0xBD, {0x40, 1, 2, 3});  // a sub-stream that is neither audio nor subpictures
  s.pack(1080000);
  PstdModel& p = buffers_of(s.b.end().data);
  std::vector<std::string> listed;
  for (size_t i = 0; i < p.result_count; ++i) {
    const BufferResult& r = p.results[i];
    if (r.modelled) continue;
    char name[16];
    std::snprintf(name, sizeof name, r.is_sub ? "%02x %02x" : "%02x", r.id, r.sub);
    listed.push_back(name);
    EXPECT_FALSE(r.reason.empty());
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"bd 40", "be", "bf"}));
}

// A range the walk skips ends the segment: the buffers begin anew after it.
TEST(Pstd, ASkippedRangeBeginsASegment) {
  Stream s;
  for (int k = 0; k < 3; ++k) s.pack(uint64_t(k) * 1080000);
  s.b.fill(100, 0xFF);  // no unit: skipped
  size_t after = s.b.size();
  for (int k = 3; k < 6; ++k) s.pack(uint64_t(k) * 1080000);
  PstdModel& p = buffers_of(s.b.end().data);
  EXPECT_EQ(starts(p), (std::vector<uint64_t>{0, after}));
  ASSERT_EQ(p.result_count, 2u);
  EXPECT_EQ(p.results[1].segment, 1u);
}

// AC-3 in private stream 1: the sub-stream header (id, frame count, pointer)
// is not buffered, and a PTS on a packet where no frame begins times nothing.
TEST(Pstd, SubStreamHeaderNotBufferedAndATimestampOfNoUnit) {
  Bytes frame = {0x0B, 0x77, 0x00, 0x00, 0x14, 0x40, 0x43, 0x00};  // 48 kHz, 192 kbit/s
  frame.resize(768, 0x11);
  StreamBuilder b;
  b.pack_scr(0, 25200);
  auto packet = [&](Bytes sub, size_t from, size_t to, int64_t pts) {
    sub.insert(sub.end(), frame.begin() + long(from), frame.begin() + long(to));
    b.pes2(0xBD, sub, pts);
  };
  packet({0x80, 1, 0, 1}, 0, 500, 90000);           // frame 1 begins, 1 s ahead
  packet({0x80, 0, 0, 0}, 500, 768, 90000 + 1440);  // its rest: no frame begins
  packet({0x80, 1, 0, 1}, 0, 768, 90000 + 2880);    // frame 2, 32 ms later
  PstdModel& p = buffers_of(b.end().data);
  ASSERT_EQ(p.result_count, 1u);
  const BufferResult& r = p.results[0];
  EXPECT_EQ(r.kind, BufferKind::Ac3);
  EXPECT_EQ(r.figures.peak, 2u * 768);  // both frames, none of the 12 header bytes
  EXPECT_EQ(r.counts.stamped, 2u);
  EXPECT_EQ(r.counts.timestamps_ignored, 1u);
  EXPECT_EQ(r.counts.timestamp_mismatches, 0u);
  EXPECT_EQ(r.counts.pointer_mismatches, 0u);
}

// The buffers played on the second thread, with the window moving between two
// buffers and batches handed over mid-window, come out as they do in the walk's
// own thread: every figure of every buffer and segment.
std::string figures(const PstdModel& p) {
  std::string out;
  for (uint64_t i = 0; i < std::min<uint64_t>(p.segments, kSegmentStarts); ++i)
    out += "segment " + std::to_string(p.segment_starts[i]) + "\n";
  for (size_t i = 0; i < p.result_count; ++i) {
    const BufferResult& r = p.results[i];
    const BufferFigures& f = r.figures;
    for (uint64_t v :
         {r.segment, uint64_t(r.id), uint64_t(r.sub), uint64_t(r.modelled), r.size, f.peak,
          f.peak_offset, uint64_t(floor_ticks(f.peak_time)), f.overflows, f.first_overflow_offset,
          f.max_excess, r.underflows.count, r.underflows.first_offset,
          uint64_t(floor_ticks(r.underflows.max_lateness)), r.counts.stamped, r.counts.extrapolated,
          r.counts.skipped, r.counts.timestamps_ignored, r.counts.pointer_mismatches})
      out += std::to_string(v) + " ";
    out += "\n";
  }
  return out;
}

std::string played(const Bytes& bytes, size_t window_size, bool threaded) {
  static PstdModel model;
  static Measurement m;
  pstd_reset(model);
  m = Measurement{};
  std::vector<uint8_t> window(window_size), spare0(threaded ? window_size : 0),
      spare1(spare0.size());
  Bytes copy = bytes;
  MemoryBytes memory{copy};
  ByteSource source = memory_source(memory);
  EXPECT_EQ(measure_stream(source, window, m, &model,
                           {std::span<uint8_t>(spare0), std::span<uint8_t>(spare1)}),
            Failure::None);
  return figures(model);
}

TEST(Pstd, ASecondThreadPlaysTheSameBuffers) {
  Playable dvd;
  dvd.packs = 400;
  dvd.lead = 2000;      // late pictures: underflows too
  StreamBuilder small;  // 64-byte packs: batches fill inside a window
  for (uint32_t k = 0; k < 6000; ++k) {
    small.pack_scr(uint64_t(k) * 30000, 25200);
    small.pes2(0xC0, Bytes(64 - 14 - 9 - 5, 0x11), k % 8 == 0 ? int64_t(k) * 100 + 9000 : -1);
  }
  for (const Bytes& stream : {playable(dvd), small.end().data}) {
    for (size_t window : {size_t(80) << 10, kWindowSize}) {
      std::string inline_figures = played(stream, window, false);
      EXPECT_EQ(played(stream, window, true), inline_figures) << window;
      EXPECT_NE(inline_figures.find("segment 0"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace psrate::test
