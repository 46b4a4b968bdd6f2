// SPDX-License-Identifier: MIT
// libFuzzer target: the input is a bitrate and a stream file (see check.hpp);
// any breach of what the tool promises stops the run with the reason.
#include <cstdio>

#include "check.hpp"

#ifndef PSRATE_FUZZ_WINDOW
#error "PSRATE_FUZZ_WINDOW selects the read window's size"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string breach = psrate::fuzz::check_input(data, size, PSRATE_FUZZ_WINDOW);
  if (!breach.empty()) {
    std::fprintf(stderr, "psrate breach (window %zu): %s\n", size_t(PSRATE_FUZZ_WINDOW),
                 breach.c_str());
    __builtin_trap();
  }
  return 0;
}
