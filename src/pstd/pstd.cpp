// SPDX-License-Identifier: MIT
#include "pstd/pstd.hpp"

#include <algorithm>

#include "es/pes.hpp"

namespace psrate {

std::string_view size_source_name(SizeSource s) {
  switch (s) {
    case SizeSource::Unknown: return "unknown";
    case SizeSource::Pes: return "pes";
    case SizeSource::SystemHeader: return "system_header";
  }
  return "unknown";
}

namespace {

constexpr int64_t kMaxScrStep = 63000;  // 0.7 s of the 90 kHz base

BufferResult& next_result(PstdModel& p, bool& kept) {
  static BufferResult spare;
  kept = p.result_count < kBufferResults;
  if (!kept) {
    ++p.results_dropped;
    return spare;
  }
  BufferResult& r = p.results[p.result_count++];
  r = BufferResult{};
  r.segment = p.segment;
  return r;
}

std::string_view unmodelled_reason(uint8_t id) {
  if (id == 0xBE) return "padding";
  if (id == 0xBC || id == 0xBF) return "no access units (a private or map stream)";
  return "not an audio or video stream";
}

void close_slot(PstdModel& p, BufferSlot& slot) {
  stream_end(slot.model);
  bool kept = false;
  BufferResult& r = next_result(p, kept);
  r.id = slot.id;
  r.sub = slot.sub;
  r.is_sub = slot.is_sub;
  r.kind = slot.model.kind;
  r.modelled = true;
  if (slot.model.kind == BufferKind::Video && slot.model.video.sequence.frame_rate_code == 0) {
    r.modelled = false;
    r.reason = "no sequence_header_code";
  } else if (slot.model.counts.stamped == 0) {
    r.modelled = false;
    r.reason = "not checked: no decoding time";
  }
  r.size = slot.size;
  r.source = slot.source;
  r.figures = slot.model.buffer.figures;
  r.counts = slot.model.counts;
  r.underflows = slot.model.underflows;
  r.resyncs = slot.model.frames.resyncs;
  r.stopped = slot.model.stopped || slot.model.buffer.stalled;
  slot.used = false;
}

// The segment ends: each buffer's figures, the streams not modelled listed.
void end_segment(PstdModel& p) {
  if (!p.segment_open) return;
  size_t first = p.result_count;
  for (BufferSlot& slot : p.slots)
    if (slot.used) close_slot(p, slot);
  for (size_t id = 0; id < 256; ++id) {
    for (bool sub : {false, true}) {
      bool& seen = sub ? p.unmodelled_subs[id] : p.unmodelled_ids[id];
      if (!seen) continue;
      seen = false;
      bool kept = false;
      BufferResult& r = next_result(p, kept);
      r.id = sub ? 0xBD : uint8_t(id);
      r.sub = sub ? uint8_t(id) : 0;
      r.is_sub = sub;
      r.reason = sub ? "a sub-stream of private stream 1 that is not audio or subpictures"
                     : unmodelled_reason(uint8_t(id));
    }
  }
  // by stream id, then sub-stream
  std::sort(p.results.begin() + long(first), p.results.begin() + long(p.result_count),
            [](const BufferResult& a, const BufferResult& b) {
              return a.id != b.id ? a.id < b.id : a.sub < b.sub;
            });
  p.segment_open = false;
  ++p.segment;
}

void begin_segment(PstdModel& p, uint64_t offset) {
  end_segment(p);
  p.segment_open = true;
  if (p.segments < kSegmentStarts) p.segment_starts[p.segments] = offset;
  ++p.segments;
}

void take_pack(PstdModel& p, const Unit& u) {
  uint64_t raw_base = (u.pack.scr / 300) & ((uint64_t(1) << 33) - 1);
  int64_t base = p.have_base ? unwrap33(raw_base, p.base) : int64_t(raw_base);
  bool jump = p.have_base && (base < p.base || base - p.base > kMaxScrStep);
  uint32_t rate = u.pack.program_mux_rate;
  if (!p.segment_open || jump || p.end_code || rate == 0) begin_segment(p, u.offset);
  p.end_code = false;
  p.have_base = true;
  p.base = base;
  p.in_pack = rate != 0;
  if (rate == 0) end_segment(p);  // R = 0: no byte of the pack has an arrival time
  p.clock = {base * 300 + int64_t(u.pack.scr % 300), u.offset + kScrAnchor, rate};
}

void take_system_header(PstdModel& p, const Unit& u) {
  for (uint32_t i = 0; i < u.system.entry_count; ++i) {
    StreamEntry e = stream_entry(u.system, i);
    p.bound[e.stream_id] = e.buffer_size_bound * (e.buffer_bound_scale ? 1024u : 128u);
    p.bound_seen[e.stream_id] = true;
  }
}

BufferSlot* slot_for(PstdModel& p, uint8_t id, bool is_sub, uint8_t sub) {
  BufferSlot* free_slot = nullptr;
  for (BufferSlot& s : p.slots) {
    if (s.used && s.id == id && s.is_sub == is_sub && s.sub == sub) return &s;
    if (!s.used && free_slot == nullptr) free_slot = &s;
  }
  return free_slot;
}

// The system header's bound for a stream: its own entry, else 0xB8 (audio) or 0xB9 (video).
bool system_bound(const PstdModel& p, uint8_t id, uint64_t& bytes) {
  uint8_t any = id >= 0xE0 && id <= 0xEF ? 0xB9 : id >= 0xC0 && id <= 0xDF ? 0xB8 : 0;
  uint8_t which = p.bound_seen[id] ? id : any != 0 && p.bound_seen[any] ? any : 0;
  if (which == 0) return false;
  bytes = p.bound[which];
  return bytes > 0;  // 0 counts as absent
}

// The buffer size in force for a packet, and a size above its stream's bound.
void size_packet(PstdModel& p, BufferSlot& slot, const PesHeader& h, const Unit& u) {
  uint8_t id = slot.is_sub ? 0xBD : slot.id;
  uint64_t pes = h.has_std_buffer ? std_buffer_bytes(h.std_buffer_scale, h.std_buffer_size) : 0;
  if (pes > 0) {
    slot.pes_size = pes;
    if (p.bound_seen[id] && pes > p.bound[id] && !p.above_bound[id]) {
      if (!std::any_of(p.above_bound.begin(), p.above_bound.end(), [](bool b) { return b; }))
        p.above_bound_first = u.offset;
      p.above_bound[id] = true;
    }
  }
  uint64_t bound = 0;
  if (slot.pes_size > 0) {
    slot.size = slot.pes_size;
    slot.source = SizeSource::Pes;
  } else if (system_bound(p, id, bound)) {
    slot.size = bound;
    slot.source = SizeSource::SystemHeader;
  } else {
    slot.size = 0;
    slot.source = SizeSource::Unknown;
  }
}

// The buffer of a PES packet: its kind, and the LPCM frame size.
bool buffer_kind(uint8_t id, const SubStream* sub, BufferKind& kind, uint32_t& frame,
                 uint32_t& rate) {
  if (sub == nullptr) {
    if (id >= 0xE0 && id <= 0xEF)
      kind = BufferKind::Video;
    else if (id >= 0xC0 && id <= 0xDF)
      kind = BufferKind::MpegAudio;
    else
      return false;
    return true;
  }
  switch (sub->kind) {
    case SubStreamKind::Ac3: kind = BufferKind::Ac3; return true;
    case SubStreamKind::Dts: kind = BufferKind::Dts; return true;
    case SubStreamKind::Subpicture: kind = BufferKind::Subpicture; return true;
    case SubStreamKind::Lpcm:
      kind = BufferKind::Lpcm;
      rate = sub->lpcm_rate;
      frame = sub->lpcm_rate / 600 * sub->lpcm_channels * sub->lpcm_bits / 8;
      return frame > 0;
    case SubStreamKind::Other: break;
  }
  return false;
}

void take_packet(PstdModel& p, const Unit& u) {
  uint8_t id = uint8_t(u.start_code);
  if (!id_class(u.start_code).pes_header || u.bytes.size() < u.length) {
    if (id != 0xBD) p.unmodelled_ids[id] = true;
    return;
  }
  PesHeader h = parse_pes_header(u.bytes);
  if (!h.valid) return;
  std::span<const uint8_t> payload = u.bytes.subspan(std::min(h.payload, u.bytes.size()));
  uint64_t offset = u.offset + h.payload;
  SubStream sub;
  bool is_sub = id == 0xBD;
  if (is_sub) {
    if (!parse_sub_stream(payload, sub)) return;
    payload = payload.subspan(sub.header);
    offset += sub.header;
  }
  BufferKind kind;
  uint32_t frame = 0, rate = 0;
  if (!buffer_kind(id, is_sub ? &sub : nullptr, kind, frame, rate)) {
    (is_sub ? p.unmodelled_subs[sub.id] : p.unmodelled_ids[id]) = true;
    return;
  }
  BufferSlot* slot = slot_for(p, id, is_sub, is_sub ? sub.id : 0);
  if (slot == nullptr) return;  // every buffer in use
  if (!slot->used) {
    *slot = BufferSlot{};
    slot->used = true;
    slot->id = id;
    slot->is_sub = is_sub;
    slot->sub = is_sub ? sub.id : 0;
    slot->model = stream_model(kind, frame, rate);
  }
  size_packet(p, *slot, h, u);
  StreamPacket packet;
  packet.offset = offset;
  packet.payload = payload;
  packet.has_pts = h.has_pts;
  packet.has_dts = h.has_dts;
  packet.pts = unwrap33(h.pts, p.base);
  packet.dts = unwrap33(h.dts, p.base);
  packet.dsm_trick_mode = h.dsm_trick_mode;
  packet.size = slot->size;
  packet.clock = p.clock;
  if (kind == BufferKind::Lpcm && sub.frames > 0 && sub.first_access_unit >= 4)
    packet.first_frame = int64_t(sub.first_access_unit) - 4;  // 3 + pointer - 7 header bytes
  if (is_sub && sub.header >= 4) {  // AC-3, DTS, LPCM: the pointer counts from its own low byte
    packet.frames = sub.frames;
    packet.pointer = 3 + int64_t(sub.first_access_unit) - int64_t(sub.header);
  }
  stream_packet(slot->model, packet);
}

}  // namespace

void pstd_take(PstdModel& p, const Unit& u) {
  switch (u.kind) {
    case UnitKind::Pack: take_pack(p, u); return;
    case UnitKind::SystemHeader: take_system_header(p, u); return;
    case UnitKind::EndCode: p.end_code = true; return;
    case UnitKind::Skipped:
      end_segment(p);
      p.in_pack = false;
      return;
    case UnitKind::ZeroStuffing: return;
    case UnitKind::PrivateStream1:
    case UnitKind::Padding:
    case UnitKind::PrivateStream2:
    case UnitKind::Audio:
    case UnitKind::Video:
    case UnitKind::Unknown: break;
  }
  if (!p.segment_open || !p.in_pack || p.end_code) return;
  take_packet(p, u);
}

void pstd_finish(PstdModel& p) { end_segment(p); }

void pstd_reset(PstdModel& p) {
  for (BufferSlot& s : p.slots) s.used = false;
  p.bound.fill(0);
  p.bound_seen.fill(false);
  p.above_bound.fill(false);
  p.above_bound_first = 0;
  p.clock = PackClock{};
  p.in_pack = p.have_base = p.end_code = p.segment_open = false;
  p.base = 0;
  p.segment = p.segments = 0;
  p.result_count = 0;
  p.results_dropped = 0;
  p.unmodelled_ids.fill(false);
  p.unmodelled_subs.fill(false);
}

}  // namespace psrate
