// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>

#include "random_stream.hpp"
#include "support.hpp"

namespace psrate::test {
namespace {

// Offsets of the listing's unit lines (indented table and flag lines skipped).
std::vector<uint64_t> listed_offsets(const std::string& listing) {
  std::vector<uint64_t> offsets;
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != ' ') offsets.push_back(std::stoull(line, nullptr, 16));
  return offsets;
}

// The listing must not depend on where the windows fall: units carried within
// the decode margin, units running past a window and skipped in the file, and
// system headers carried whole all list the same lines as in one big window.
TEST(Scan, ListingIndependentOfWindowSize) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    RandomStream s = random_stream(seed, 300, 400, 20, seed % 3 != 0);
    PassResult whole = dump(s.builder.data);
    ASSERT_EQ(whole.failure, Failure::None);
    std::vector<uint64_t> expected;
    for (const BuiltUnit& u : s.units) expected.push_back(u.offset);
    ASSERT_EQ(listed_offsets(whole.out), expected) << "seed " << seed;
    for (size_t window : {kMinWindowSize, size_t(300), size_t(1000), size_t(4093)}) {
      PassResult r = dump(s.builder.data, window);
      ASSERT_EQ(r.failure, Failure::None);
      ASSERT_EQ(r.out, whole.out) << "seed " << seed << " window " << window;
      ASSERT_EQ(r.final_base, whole.final_base) << "seed " << seed << " window " << window;
    }
  }
}

TEST(Scan, LongSystemHeaderNearWindowEndIsListedWhole) {
  // 60 entries (a 192-byte unit) starting 150 bytes before the first window's end
  const size_t window = 1024;
  StreamBuilder b;
  b.pes(0xE0, window - 150 - 6);
  b.system_header(1, {});
  b.data[window - 150 + 5] = 6 + 3 * 60;
  for (int i = 0; i < 60; ++i) b.raw({0xE0, 0xE0, uint8_t(i)});
  b.end();
  std::string out = dump(b.data, window).out;
  EXPECT_NE(out.find("buffer = 59(0x3b)"), std::string::npos);
  EXPECT_EQ(out, dump(b.data).out);
}

// A file that ends inside a unit's fixed fields ends the pass there, with no line.
struct CutCase {
  const char* name;
  std::vector<uint8_t> tail;
  const char* last_line;  // the tail's line, when it is decoded
  friend void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }
};

class EndOfFile : public ::testing::TestWithParam<CutCase> {};

TEST_P(EndOfFile, CutUnitsAreNotListed) {
  StreamBuilder b;
  b.pes(0xE0, 300);
  b.data.insert(b.data.end(), GetParam().tail.begin(), GetParam().tail.end());
  PassResult r = dump(b.data);
  EXPECT_EQ(r.out, std::string("00000000:   VIDEO_ELEMENTARY_STREAM(1e0), length = 306(0x132)\n") +
                       GetParam().last_line);
  // the pass stops at the cut unit, or past the last unit decoded
  if (*GetParam().last_line == '\0') {
    EXPECT_EQ(r.final_base, 306u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tails, EndOfFile,
    ::testing::Values(
        CutCase{"three_bytes", {0, 0, 1}, ""}, CutCase{"start_code_only", {0, 0, 1, 0xE0}, ""},
        CutCase{"pes_five", {0, 0, 1, 0xE0, 0}, ""},
        CutCase{"pes_six",
                {0, 0, 1, 0xE0, 0, 9},
                "00000132:   VIDEO_ELEMENTARY_STREAM(1e0), length = 15(0x0f)\n"},
        CutCase{"pack_version_missing", {0, 0, 1, 0xBA}, ""},
        CutCase{"pack2_thirteen", {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0, 0x62, 0x43}, ""},
        CutCase{"pack1_twelve",
                {0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0x1B, 0x91},
                "00000132: PACK_START_CODE len=12(0x0c)/MUX rate=1411200bps/stuff len=0\n"},
        CutCase{"system_eleven", {0, 0, 1, 0xBB, 0, 9, 0x80, 0, 1, 4, 0xE1}, ""},
        CutCase{"system_table_cut",
                {0, 0, 1, 0xBB, 0, 12, 0x80, 0, 1, 4, 0xE1, 0xFF, 0xE0, 0xE0, 2, 0xC0},
                "00000132:   SYSTEM_START_CODE len=12\n"
                "             bitrate=0bps\n"
                "             audio 1ch/video 1ch/fixed 0/CSPS 0/AudLock 1/VidLock 1/marker 1\n"
                "              STREAM ID = e0(video), buffer = 2(0x2), scale = 1\n"},
        CutCase{"zeros", {0, 0, 0}, ""},
        CutCase{"end_code", {0, 0, 1, 0xB9}, "00000132: SYSTEM_END_CODE\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace psrate::test

namespace psrate::test {
namespace {

// A consumer that records what the walk hands it and checks the contract:
// units in stream order, whole when of a kind it asked for, and between two
// settle() calls all in one buffer at their distances in the source.
template <KindSet kWholeKinds>
struct Recorder {
  static constexpr KindSet kWhole = kWholeKinds;
  size_t window = 0;
  std::vector<uint64_t> offsets;
  uint64_t next = 0;  // where the next unit must begin
  Unit anchor{};      // the first unit since the last settle
  bool anchored = false;
  int finishes = 0;
  WalkEnd end;
  Bytes tail;  // end.tail lies in the window, gone with the walk
  std::string breach;

  Failure take(const Unit& u) {
    if (u.kind != UnitKind::Skipped && u.offset != next && breach.empty())
      breach = "unit at " + std::to_string(u.offset) + ", expected " + std::to_string(next);
    next = u.offset + (u.kind == UnitKind::EndCode ? kStartCodeBytes : u.length);
    offsets.push_back(u.offset);
    bool whole = u.bytes.size() == u.length;
    if ((kWhole & kind_bit(u.kind)) != 0 && u.length < window && !whole && breach.empty())
      breach = "unit at " + std::to_string(u.offset) + " not whole";
    if (u.kind != UnitKind::Skipped && u.kind != UnitKind::EndCode) {
      if (!anchored) {
        anchor = u;
        anchored = true;
      } else if (u.bytes.data() - anchor.bytes.data() != ptrdiff_t(u.offset - anchor.offset) &&
                 breach.empty()) {
        breach = "unit at " + std::to_string(u.offset) + " not beside the one before the settle";
      }
    }
    return Failure::None;
  }
  Failure settle() {
    anchored = false;
    return Failure::None;
  }
  Failure finish(const WalkEnd& e) {
    ++finishes;
    end = e;
    tail.assign(e.tail.begin(), e.tail.end());
    return Failure::None;
  }
};

template <typename C>
C walk_memory(const Bytes& bytes, size_t window_size, WalkOptions options = {}) {
  std::vector<uint8_t> window(window_size);
  Bytes copy = bytes;
  MemoryBytes memory{copy};
  C consumer;
  consumer.window = window_size;
  EXPECT_EQ(walk(memory_source(memory), options, window, consumer), Failure::None);
  return consumer;
}

// PES packets asked for whole arrive whole at every window edge, the walk
// hands every consumer the same units, and the bytes handed between two
// settles lie side by side.
TEST(WalkContract, WholeUnitsAtWindowEdges) {
  constexpr KindSet kPes = kind_bit(UnitKind::Video) | kind_bit(UnitKind::Audio) |
                           kind_bit(UnitKind::PrivateStream1) | kind_bit(UnitKind::Padding);
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    RandomStream s = random_stream(seed, 200, 400, 20, true);
    auto plain = walk_memory<Recorder<0>>(s.builder.data, kWindowSize);
    ASSERT_EQ(plain.breach, "");
    for (size_t window : {kMinWindowSize, size_t(1000), size_t(4093)}) {
      auto whole = walk_memory<Recorder<kPes>>(s.builder.data, window);
      EXPECT_EQ(whole.breach, "") << "seed " << seed << " window " << window;
      EXPECT_EQ(whole.offsets, plain.offsets) << "seed " << seed << " window " << window;
      EXPECT_EQ(whole.finishes, 1);
      auto parts = walk_memory<Recorder<0>>(s.builder.data, window);
      EXPECT_EQ(parts.breach, "") << "seed " << seed << " window " << window;
    }
  }
}

// The walk's end: an end code, or the end of the data with the bytes that
// frame no unit.
TEST(WalkContract, EndIsReported) {
  StreamBuilder b;
  b.pack(25200).pes(0xE0, 300).end();
  auto at_end_code = walk_memory<Recorder<0>>(b.data, kWindowSize);
  EXPECT_EQ(at_end_code.end.how, WalkStop::EndCode);
  EXPECT_EQ(at_end_code.end.data_end, b.data.size());
  b.raw({0x00, 0x00, 0x01, 0xE0, 0x00});  // a packet cut before its length is whole
  auto cut = walk_memory<Recorder<0>>(b.data, kWindowSize, {false, true});
  EXPECT_EQ(cut.end.how, WalkStop::EndOfData);
  EXPECT_EQ(cut.end.tail_offset, b.data.size() - 5);
  EXPECT_EQ(cut.tail, Bytes({0x00, 0x00, 0x01, 0xE0, 0x00}));
  EXPECT_EQ(cut.end.base, b.data.size() - 5);
  // A packet whose length runs past the end of the data: the rest of it is
  // skipped in the source, not read, and the read past the end meets nothing,
  // which ends no data: the data read ends with the first window.
  StreamBuilder longer;
  longer.pes(0xE0, 2000).data.resize(1000);
  auto past = walk_memory<Recorder<0>>(longer.data, kMinWindowSize);
  EXPECT_EQ(past.end.how, WalkStop::EndOfData);
  EXPECT_EQ(past.end.base, 2006u);
  EXPECT_EQ(past.end.data_end, kMinWindowSize);
}

}  // namespace
}  // namespace psrate::test

namespace psrate::test {
namespace {

// On any stream, whole or damaged, the default walk is damaged exactly where
// --resync first skips, whatever the window; and a walk that stops at an end
// code says whether a pack header follows it.
TEST(WalkFacts, DamageIsWhereResyncFirstSkips) {
  std::mt19937 rng(99);
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    RandomStream s = random_stream(seed, 60, 300, 8, seed % 2 == 0);
    Bytes bytes = s.builder.data;
    for (uint32_t k = rng() % 4; k > 0 && !bytes.empty(); --k) {
      size_t at = rng() % bytes.size();
      if (rng() % 2)
        bytes.erase(bytes.begin() + long(at),
                    bytes.begin() + long(std::min(bytes.size(), at + rng() % 40)));
      else
        bytes[at] = uint8_t(rng());
    }
    for (bool past_end : {false, true}) {
      std::string resync = dump(bytes, kWindowSize, {true, past_end}).out;
      size_t skipped = resync.find("SKIPPED");
      uint64_t at = 0;
      if (skipped != std::string::npos) {
        size_t line = resync.rfind('\n', skipped);
        at = std::stoull(resync.substr(line == std::string::npos ? 0 : line + 1, 8), nullptr, 16);
      }
      for (size_t window : {kWindowSize, kMinWindowSize, size_t(1000)}) {
        PassResult r = dump(bytes, window, {false, past_end});
        ASSERT_EQ(r.facts.damaged, skipped != std::string::npos)
            << "seed " << seed << " window " << window;
        if (r.facts.damaged) {
          ASSERT_EQ(r.facts.damaged_at, at) << "seed " << seed;
        }
      }
    }
  }
}

TEST(WalkFacts, JoinedAtAnEndCode) {
  Bytes part = StreamBuilder{}.pack(25200).pes(0xE0, 200).end().data;
  struct Case {
    const char* name;
    Bytes after;
    bool joined;
  };
  for (const Case& c :
       {Case{"pack", part, true}, Case{"nothing", {}, false}, Case{"zeros", Bytes(300, 0), false},
        Case{"padding", StreamBuilder{}.padding(300).data, false},
        Case{"junk", Bytes(300, 0x5A), false}, Case{"pack_start_code_alone", {0, 0, 1, 0xBA}, true},
        Case{"three_bytes", {0, 0, 1}, false}}) {
    Bytes bytes = part;
    bytes.insert(bytes.end(), c.after.begin(), c.after.end());
    for (size_t window : {kWindowSize, kMinWindowSize}) {
      PassResult r = dump(bytes, window);
      EXPECT_EQ(r.facts.joined, c.joined) << c.name << " window " << window;
      if (c.joined) {
        EXPECT_EQ(r.facts.end_code_at, part.size() - 4) << c.name;
      }
      EXPECT_FALSE(dump(bytes, window, {false, true}).facts.joined) << c.name;
    }
  }
}

}  // namespace
}  // namespace psrate::test

namespace psrate::test {
namespace {

// A file cut inside its last unit: a start code that is none is damage, a
// packet cut before its length is not; the packet before garbage fails rule c.
TEST(WalkFacts, CutUnitAtTheEnd) {
  struct Case {
    Bytes tail;
    bool damaged;
    uint64_t at;
  };
  for (const Case& c :
       {Case{{0x00, 0x00, 0x01, 0x87}, true, 320}, Case{{0x00, 0x00, 0x01, 0x00, 0xB3}, true, 320},
        Case{{0x01, 0x87, 0xB1, 0x9C}, true, 14}, Case{{0x47, 0x40, 0x00}, true, 14},
        Case{{0x00, 0x00, 0x01, 0xE0, 0x00}, false, 0},
        Case{{0x00, 0x00, 0x01, 0xBA, 0x44}, false, 0}, Case{{0x00, 0x00}, false, 0}}) {
    Bytes bytes = StreamBuilder{}.pack(25200).pes(0xE0, 300).data;
    bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
    for (size_t window : {kWindowSize, kMinWindowSize}) {
      PassResult r = dump(bytes, window);
      EXPECT_EQ(r.facts.damaged, c.damaged) << c.tail.size() << " window " << window;
      if (c.damaged) {
        EXPECT_EQ(r.facts.damaged_at, c.at) << c.tail.size();
      }
    }
  }
}

}  // namespace
}  // namespace psrate::test
