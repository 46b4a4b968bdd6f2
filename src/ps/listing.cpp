// SPDX-License-Identifier: MIT
#include "ps/listing.hpp"

namespace psrate {
namespace {

// "%08x" of the unit's offset, widened to the full 64-bit offset when it needs more.
void put_offset(OutBuffer& out, const Unit& u) { put_hex(out, u.offset, 8); }

// ", length = %d(0x%02x)\n"
void put_length_tail(OutBuffer& out, const Unit& u) {
  put(out, ", length = ");
  put_dec(out, int64_t(u.length));
  put(out, "(0x");
  put_hex(out, u.length, 2);
  put(out, ")\n");
}

// "%08x: PACK_START_CODE len=%d(0x%02x)/MUX rate=%dbps/stuff len=%d\n"
void list_pack(OutBuffer& out, const Unit& u) {
  put_offset(out, u);
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
void list_packet(OutBuffer& out, const Unit& u, const StreamIdClass& c) {
  put_offset(out, u);
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

void list_unit(OutBuffer& out, const Unit& u) {
  switch (u.kind) {
    case UnitKind::ZeroStuffing: return;
    case UnitKind::EndCode:  // "%08x: SYSTEM_END_CODE\n"
      put_offset(out, u);
      put(out, ": SYSTEM_END_CODE\n");
      return;
    case UnitKind::Pack: return list_pack(out, u);
    case UnitKind::SystemHeader: return list_system_header(out, u);
    case UnitKind::Skipped: return list_packet(out, u, kSkippedRange);
    default: return list_packet(out, u, id_class(u.start_code));
  }
}

}  // namespace psrate
