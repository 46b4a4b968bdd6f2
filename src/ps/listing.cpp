// SPDX-License-Identifier: MIT
#include "ps/listing.hpp"

#include <array>
#include <cstring>

namespace psrate {
namespace {

constexpr std::array<char, 512> kHexPairs = [] {
  std::array<char, 512> t{};
  for (size_t i = 0; i < 256; ++i) {
    t[2 * i] = "0123456789abcdef"[i >> 4];
    t[2 * i + 1] = "0123456789abcdef"[i & 15];
  }
  return t;
}();

// "%08x" of the unit's offset, widened to the full 64-bit offset when it needs more.
void put_offset(OutBuffer& out, const Unit& u) {
  if (u.offset > UINT32_MAX) return put_hex(out, u.offset, 8);
  make_room(out, 8);
  char* p = out.data + out.used;
  for (int shift = 24, i = 0; shift >= 0; shift -= 8, i += 2)
    std::memcpy(p + i, &kHexPairs[2 * ((u.offset >> shift) & 0xFF)], 2);
  out.used += 8;
}

// The unit's line: its offset, then the rest, which repeats from one line to the
// next in most streams (the same packet lengths, the same rates): formatted once
// for its key, then copied.
template <typename Format>
void put_line(OutBuffer& out, const Unit& u, LineTail& tail, uint64_t key, uint64_t key2,
              Format format) {
  make_room(out, 16 + kLineTailRoom);  // no flush inside the line
  put_offset(out, u);
  if (tail.key == key && tail.key2 == key2 && tail.size != 0) {
    std::memcpy(out.data + out.used, tail.text, kLineTailRoom);  // the room is there
    out.used += tail.size;
    return;
  }
  size_t start = out.used;
  format();
  size_t size = out.used - start;
  tail.size = size <= kLineTailRoom ? size : 0;
  std::memcpy(tail.text, out.data + start, tail.size);
  tail.key = key;
  tail.key2 = key2;
}

// ", length = %d(0x%02x)\n"
void put_length_tail(OutBuffer& out, const Unit& u) {
  put(out, ", length = ");
  put_dec(out, int64_t(u.length));
  put(out, "(0x");
  put_hex(out, u.length, 2);
  put(out, ")\n");
}

// "%08x: PACK_START_CODE len=%d(0x%02x)/MUX rate=%dbps/stuff len=%d\n", after the offset
void put_pack_tail(OutBuffer& out, const Unit& u) {
  put(out, ": PACK_START_CODE len=");
  put_dec(out, u.length);
  put(out, "(0x");
  put_hex(out, u.length, 2);
  put(out, ")/MUX rate=");
  put_dec(out, int64_t(u.pack.program_mux_rate) * kBitsPerRateUnit);
  put(out, "bps/stuff len=");
  put_dec(out, u.pack.pack_stuffing_length);
  put_char(out, '\n');
}

// "%08x:   SYSTEM_START_CODE len=%02x\n"
// "             bitrate=%dbps\n"
// "             audio %dch/video %dch/fixed %d/CSPS %d/AudLock %d/VidLock %d/marker %d\n"
// then per entry "              STREAM ID = %x(%s), buffer = %d(0x%x), scale = %d\n"
void list_system_header(OutBuffer& out, const Unit& u) {
  const SystemHeader& s = u.system;
  put_offset(out, u);
  put(out, ":   SYSTEM_START_CODE len=");
  put_hex(out, u.length, 2);
  put(out, "\n             bitrate=");
  put_dec(out, int64_t(s.rate_bound) * kBitsPerRateUnit);
  put(out, "bps\n             audio ");
  put_dec(out, s.audio_bound);
  put(out, "ch/video ");
  put_dec(out, s.video_bound);
  put(out, "ch/fixed ");
  put_dec(out, s.fixed_flag);
  put(out, "/CSPS ");
  put_dec(out, s.CSPS_flag);
  put(out, "/AudLock ");
  put_dec(out, s.system_audio_lock_flag);
  put(out, "/VidLock ");
  put_dec(out, s.system_video_lock_flag);
  put(out, "/marker ");
  put_dec(out, s.marker_bit);
  put_char(out, '\n');
  for (uint32_t i = 0; i < s.entry_count; ++i) {
    StreamEntry e = stream_entry(s, i);
    put(out, "              STREAM ID = ");
    put_hex(out, e.stream_id);
    put(out, e.stream_id == 0xC0 ? "(audio)" : e.stream_id == 0xE0 ? "(video)" : "(unknown)");
    put(out, ", buffer = ");
    put_dec(out, e.buffer_size_bound);
    put(out, "(0x");
    put_hex(out, e.buffer_size_bound);
    put(out, "), scale = ");
    put_dec(out, e.buffer_bound_scale);
    put_char(out, '\n');
  }
}

// "%08x:   LABEL[(%x)|_%d], length = %d(0x%02x)\n": PES packets, unknown codes and
// skipped ranges. PRIVATE_STREAM_1 shows its code with "%02x", the same digits.
void put_packet_tail(OutBuffer& out, const Unit& u, const StreamIdClass& c) {
  put(out, ":   ");
  put(out, c.label);
  if (c.tag == LineTag::Code) {
    put_char(out, '(');
    put_hex(out, u.start_code);
    put_char(out, ')');
  } else if (c.tag == LineTag::Number) {
    put_char(out, '_');
    put_dec(out, int64_t(u.start_code & 0xFF) - c.first);
  }
  put_length_tail(out, u);
}

}  // namespace

void list_unit(OutBuffer& out, const Unit& u, ListingCache& cache) {
  switch (u.kind) {
    case UnitKind::ZeroStuffing: return;
    case UnitKind::EndCode:  // "%08x: SYSTEM_END_CODE\n"
      put_offset(out, u);
      put(out, ": SYSTEM_END_CODE\n");
      return;
    case UnitKind::Pack: {
      const PackHeader& p = u.pack;
      uint64_t key = uint64_t(p.program_mux_rate) << 16 | p.pack_stuffing_length << 8 | u.length;
      return put_line(out, u, cache.pack, key, 0, [&] { put_pack_tail(out, u); });
    }
    case UnitKind::SystemHeader: return list_system_header(out, u);
    default: {
      const StreamIdClass& c = u.kind == UnitKind::Skipped ? kSkippedRange : id_class(u.start_code);
      uint64_t key = uint64_t(u.kind) << 32 | u.start_code;
      return put_line(out, u, cache.packet, key, u.length, [&] { put_packet_tail(out, u, c); });
    }
  }
}

void list_unit(OutBuffer& out, const Unit& u) {
  ListingCache cache;
  list_unit(out, u, cache);
}

}  // namespace psrate
