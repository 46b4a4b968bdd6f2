// SPDX-License-Identifier: MIT
// The rate rewriter: a consumer of the walk that sets program_mux_rate and
// rate_bound in place, three bytes per header, and reports progress.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <span>

#include "io/byte_source.hpp"
#include "io/console.hpp"
#include "ps/walk.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

// Changed fields with at most this many bytes between them go out in one write.
inline constexpr uint64_t kSpanGap = 4096;

// The progress line "処理: %d/%dバイト (%d%%)", kept formatted: every header of
// one window shows the same line.
struct ProgressLine {
  OutBuffer* out = nullptr;
  Encoding encoding = Encoding::ShiftJis;
  uint64_t file_size = 0;    // read once at the start; 0 when it could not be told
  bool interactive = false;  // stdout is a terminal: show progress as the window moves
  bool quiet = false;        // --quiet: no progress line at all
  bool shown = false;        // a progress line has been printed
  uint64_t shown_base = UINT64_MAX;
  uint64_t line_done = UINT64_MAX;
  size_t line_length = 0;
  char line[96];
};

// The line for `done` followed by `end` ('\r' while running, '\n' at the end).
void put_progress(ProgressLine& progress, uint64_t done, char end);

// The percentage shown: done / (size / 100), or done * 100 / size for files under 100 bytes.
int64_t progress_percent(int64_t done, int64_t size);

// The changed fields of one window gathered into one write: the window's bytes
// as read, from the first changed field to the last, each changed field set in
// the window itself. Its progress lines wait for the write.
struct RateSpan {
  uint64_t header = 0;       // file offset of the header of its first field
  uint64_t offset = 0;       // file offset of the first byte
  size_t size = 0;           // 0: no span is open
  uint8_t* first = nullptr;  // the first byte, in the window
  uint64_t lines = 0;        // progress lines held back until the write
  uint64_t done = 0;         // their window base
};

struct RateRewriter {
  static constexpr KindSet kWhole = 0;
  ByteSource* target = nullptr;
  ProgressLine progress;
  uint32_t rate_units = 0;
  RateSpan span;
  // The walk's read window. A field is set in the window's copy of its header,
  // which the walk has taken and never reads again, and goes out from there.
  std::span<uint8_t> window;
  uint64_t final_base = 0;  // the window base at the end of the walk
  // Raised by an interrupt: the rewriter writes nothing more, and the pass ends
  // with Failure::Interrupted at the first header not rewritten.
  const volatile std::sig_atomic_t* stop = nullptr;
  uint64_t next_unit = 0;       // where the walk stands: the end of the last unit taken
  uint64_t interrupted_at = 0;  // the first header not rewritten, or where the walk stood
  uint64_t packs = 0, system_headers = 0;  // headers whose field now holds the rate

  Failure take(const Unit& unit);
  Failure settle();
  Failure finish(const WalkEnd& end);
};

// Sets the bytes of one field of a unit taken from the window: it joins the
// open span, or the span goes out and a new one starts; a field that already
// holds them is left alone.
Failure set_field(RateRewriter& r, const Unit& unit, uint32_t at, std::span<const uint8_t> bytes);
// Before a unit: an interrupt stops the pass, a skipped range ends the span;
// false when the unit is done with (f says how).
bool begin_unit(RateRewriter& r, const Unit& unit, Failure& f);
// After a header: its progress line, held back while its span is open.
void end_header(RateRewriter& r, const Unit& unit);

// The P-STD buffer bounds --fix sets in the system headers: per stream id,
// the profile's P-STD_buffer_bound_scale and P-STD_buffer_size_bound, where
// the bound is below them (a bound is never lowered).
struct BoundRepair {
  std::array<bool, 256> set{};
  std::array<uint8_t, 256> scale{};
  std::array<uint16_t, 256> units{};
};

// --fix's rewrite: the rate fields (when its verdict asks for them) and the
// bounds of its system headers' stream tables, two bytes an entry. It sees
// system headers whole.
struct FixRewriter {
  static constexpr KindSet kWhole = kind_bit(UnitKind::SystemHeader);
  RateRewriter r;
  bool rates = true;
  const BoundRepair* bounds = nullptr;
  uint64_t entries = 0;  // stream-table entries set

  Failure take(const Unit& unit);
  Failure settle() { return r.settle(); }
  Failure finish(const WalkEnd& end) { return r.finish(end); }
};

}  // namespace psrate
