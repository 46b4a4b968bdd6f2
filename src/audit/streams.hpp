// SPDX-License-Identifier: MIT
// The elementary streams as the audit shows them: one line of words each, in
// the manner of a media prober, and the same facts as JSON fields.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "audit/audit.hpp"

namespace psrate {

// A stream of the census: a stream id, or a sub-stream of private stream 1.
struct StreamRef {
  uint8_t id = 0;
  bool is_sub = false;
  uint8_t sub = 0;
  const StreamCount* count = nullptr;
};

// Visits every stream present in stream id order, private stream 1 by its
// sub-streams (and its packets without a readable sub-stream header as itself).
template <typename F>
void for_each_stream(const Measurement& m, F&& visit) {
  const StreamCensus& c = m.census;
  for (size_t id = 0; id < c.ids.size(); ++id) {
    if (c.ids[id].packets == 0) continue;
    if (id != 0xBD) {
      visit(StreamRef{uint8_t(id), false, 0, &c.ids[id]});
      continue;
    }
    uint64_t in_subs = 0;
    for (size_t sub = 0; sub < c.subs.size(); ++sub) {
      if (c.subs[sub].packets == 0) continue;
      in_subs += c.subs[sub].packets;
      visit(StreamRef{0xBD, true, uint8_t(sub), &c.subs[sub]});
    }
    if (in_subs < c.ids[id].packets) visit(StreamRef{0xBD, false, 0, &c.ids[id]});
  }
}

// "e0", or "bd 80" for a sub-stream.
std::string stream_name(const StreamRef& s);

// What the stream is: "MPEG-2 video 720x576 4:3 25 fps, max 9.8 Mbit/s".
std::string stream_description(const StreamRef& s);

// The codec's name in JSON ("mpeg2video", "mp2", "ac3", "dts", "lpcm",
// "subpicture"); empty when unknown.
std::string_view codec_name(const StreamCount& s);

// A rate in words: "9.8 Mbit/s", "224 kbit/s", "191.9 kbit/s".
std::string rate_words(uint64_t bits_per_second);

// The stream's JSON entry: the 1.1 keys (id, packets, bytes), then sub, the
// payload, the codec and its parameters, the PTS range and the average rate.
nlohmann::ordered_json stream_json(const Measurement& m, const StreamRef& s, uint64_t bytes);

}  // namespace psrate
