// SPDX-License-Identifier: MIT
// The rate rewriter: sets program_mux_rate and rate_bound in place, three
// bytes per header, and reports progress.
#pragma once

#include <cstdint>

#include "io/console.hpp"
#include "io/scan.hpp"
#include "io/stream_file.hpp"
#include "text/out_buffer.hpp"

namespace psrate {

struct RateRewriter {
  StreamFile* file = nullptr;
  OutBuffer* out = nullptr;
  Encoding encoding = Encoding::ShiftJis;
  uint32_t rate_units = 0;
  uint64_t file_size = 0;    // read once at the start; 0 when it could not be told
  bool interactive = false;  // stdout is a terminal: show progress as the window moves
  uint64_t shown_base = UINT64_MAX;
  // Every header of one window shows the same progress line: kept formatted.
  uint64_t line_done = UINT64_MAX;
  size_t line_length = 0;
  char line[96];
};

// UnitHandler for the pass: context is a RateRewriter.
Failure rewrite_unit(void* context, const Unit& unit, const ReadWindow& window);

// "処理: %d/%dバイト (%d%%)" followed by `end` ('\r' while running, '\n' at the end).
void put_progress(RateRewriter& rewriter, uint64_t done, char end);

// The percentage shown: done / (size / 100), or done * 100 / size for files under 100 bytes.
int64_t progress_percent(int64_t done, int64_t size);

}  // namespace psrate
