// SPDX-License-Identifier: MIT
// The fuzz oracle: runs the real pass over one input in both modes and tells
// whether anything the tool promises was broken. Shared by the libFuzzer
// targets and the corpus replay test.
//
// An input is 4 bytes that choose the bitrate (big-endian, mapped onto
// [400, 1677721599]) followed by the stream file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace psrate::fuzz {

inline constexpr size_t kBitrateBytes = 4;

// The bitrate that an input's first bytes choose (missing bytes count as 0).
uint32_t input_bitrate(const uint8_t* data, size_t size);

// Runs Dump and Rewrite (twice) through a window of window_size bytes;
// returns "" or a description of the first breach found.
std::string check_input(const uint8_t* data, size_t size, size_t window_size);

}  // namespace psrate::fuzz
