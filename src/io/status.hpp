// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace psrate {

enum class RunMode : uint8_t { Dump, Rewrite };

// Every way a run can fail; cli turns each into its one message and exit status.
enum class Failure : uint8_t {
  None,
  Arguments,  // wrong argument count, or a refused bitrate
  Open,
  Seek,
  Read,
  Write,        // a write into the stream file, or its close after writing
  Output,       // standard output could not be written
  Interrupted,  // SIGINT or SIGTERM (Ctrl+C, Ctrl+Break) stopped a rewrite between writes
};

}  // namespace psrate
