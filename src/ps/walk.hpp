// SPDX-License-Identifier: MIT
// The one forward walk over a stream: a read window moves through the byte
// source, units are framed in it and handed, decoded, to a consumer (the
// listing, the rewriter, the audit).
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "io/byte_source.hpp"
#include "io/status.hpp"
#include "ps/units.hpp"

namespace psrate {

inline constexpr size_t kWindowSize = 1 << 20;
// While the source still delivers data, a unit is decoded only with this many
// bytes of it in the window; nearer the window's end it is carried over.
inline constexpr size_t kDecodeMargin = 132;
// The smallest window the walk accepts: room for a carried tail and a refill.
inline constexpr size_t kMinWindowSize = 2 * kDecodeMargin;

struct ReadWindow {
  std::span<uint8_t> buffer;
  uint64_t base = 0;     // source offset of buffer[0]
  size_t filled = 0;     // valid bytes in the buffer
  size_t pos = 0;        // parse position; may pass `filled` after a unit that runs past the data
  size_t carried = 0;    // unparsed bytes moved to the front at the last rebase
  size_t last_read = 0;  // 0 once the end of the data has been met
};

struct WalkOptions {
  // Take only units that look like one, and search byte by byte for the next
  // pack header past any that does not (one UnitKind::Skipped for the range).
  bool resync = false;
  // Step over end codes as 4-byte units and go on to the end of the data.
  bool past_end = false;
};

enum class WalkStop : uint8_t { EndCode, EndOfData };

// How the walk ended.
struct WalkEnd {
  WalkStop how = WalkStop::EndOfData;
  uint64_t base = 0;      // the window base then: the end code's window, or where parsing stopped
  uint64_t data_end = 0;  // the end of the data read
  // At the end of the data: the bytes after the last unit taken that frame no
  // unit (fewer than a start code, or a unit cut before its fixed fields).
  uint64_t tail_offset = 0;
  std::span<const uint8_t> tail;
};

// The unit kinds a consumer must see whole: a unit of such a kind that runs past
// the window while the source still delivers data is carried and taken after the refill.
using KindSet = uint32_t;
constexpr KindSet kind_bit(UnitKind k) { return KindSet(1) << unsigned(k); }

// A consumer of the walk.
//   take(unit): each unit in stream order (the end code and skipped ranges
//     included). Between two calls of settle(), the bytes of the units taken lie
//     in one buffer, each at its distance in the source from the others. The
//     walk never reads the bytes of a unit again once it is taken: the one who
//     gave the walk its buffer may change them (the rewriter sets its fields there).
//   settle(): the walk is about to read the source, move the window, or stop:
//     bring any pending write to the source now.
//   finish(end): the walk has ended.
// A failure from any of them ends the walk with that failure.
template <typename C>
concept WalkConsumer = requires(C& c, const Unit& u, const WalkEnd& e) {
  { C::kWhole } -> std::convertible_to<KindSet>;
  { c.take(u) } -> std::same_as<Failure>;
  { c.settle() } -> std::same_as<Failure>;
  { c.finish(e) } -> std::same_as<Failure>;
};

// What the walk met, for the notes at the end of a pass.
struct WalkFacts {
  uint64_t packs = 0;  // pack headers taken
  uint64_t skipped_ranges = 0, skipped_bytes = 0;
  // The default walk judges each unit as --resync would, without acting on
  // it: the first unit that fails is where the stream is damaged.
  bool damaged = false;
  uint64_t damaged_at = 0;
  // The walk stopped at an end code that a pack start code follows.
  bool joined = false;
  uint64_t end_code_at = 0;
};

struct Walker {
  ByteSource source;
  ReadWindow window;
  // Buffers of the window's size to move into, or none: when given, each move
  // of the window carries its tail into spare[0] and reads there, and the
  // buffers go round (window, spare[0], spare[1]), so the bytes of the units
  // taken stay as they were until the walk comes back to their buffer.
  std::array<std::span<uint8_t>, 2> spare{};
  WalkOptions options;
  KindSet whole = 0;
  Unit unit{};             // the unit the last step found
  bool searching = false;  // a resynchronising search is under way since skip_from
  uint64_t skip_from = 0;
  bool peeked_take = false;  // the unit's next bytes were read from the source: take it
  bool stopping = false;     // an end code that ends the walk was taken
  uint64_t data_end = 0;
  // The default walk's unit whose next three bytes lie beyond the window: they
  // are judged at the front of the next one.
  bool next_unjudged = false;
  uint64_t next_unjudged_unit = 0;
  WalkFacts facts;
};

enum class Step : uint8_t {
  Unit,       // hand walker.unit to the consumer
  Peek,       // the bytes after walker.unit lie beyond the window: read them
  WindowEnd,  // nothing more to frame in this window
  Stop,       // an end code ended the walk
};

// --- the walk's steps (walk.cpp); walk() below strings them together ---
void start_walk(Walker& w, std::span<uint8_t> buffer, KindSet whole);
Failure refill(Walker& w);
Step next_step(Walker& w);
void step_over(Walker& w);
Failure peek_next(Walker& w);
Failure move_window(Walker& w, bool& ended);
WalkEnd walk_end(const Walker& w, WalkStop how);

// The walk on a walker whose source and options are set.
template <WalkConsumer C>
Failure walk(Walker& w, std::span<uint8_t> buffer, C& consumer) {
  start_walk(w, buffer, C::kWhole);
  if (Failure f = refill(w); f != Failure::None) return f;
  for (;;) {
    Step step = next_step(w);
    if (step == Step::Unit) {
      if (Failure f = consumer.take(w.unit); f != Failure::None) return f;
      step_over(w);
      continue;
    }
    if (Failure f = consumer.settle(); f != Failure::None) return f;
    if (step == Step::Stop) return consumer.finish(walk_end(w, WalkStop::EndCode));
    if (step == Step::Peek) {
      if (Failure f = peek_next(w); f != Failure::None) return f;
      continue;
    }
    bool ended = false;
    if (Failure f = move_window(w, ended); f != Failure::None) return f;
    if (ended) return consumer.finish(walk_end(w, WalkStop::EndOfData));
  }
}

// Walks the source from offset 0 to the end code or the end of the data; what
// the walk met goes to `facts` when given. The buffer must hold at least
// kMinWindowSize bytes.
template <WalkConsumer C>
Failure walk(const ByteSource& source, const WalkOptions& options, std::span<uint8_t> buffer,
             C& consumer, WalkFacts* facts = nullptr) {
  Walker w;
  w.source = source;
  w.options = options;
  Failure f = walk(w, buffer, consumer);
  if (facts) *facts = w.facts;
  return f;
}

}  // namespace psrate
