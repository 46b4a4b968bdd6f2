// SPDX-License-Identifier: MIT
#include "pstd/stream_model.hpp"

#include <algorithm>

namespace psrate {
namespace {

// The marks of one packet: a few per packet in practice; a packet with more
// than this stops the check of its stream.
inline constexpr size_t kPacketMarks = 1024;

struct PacketMarks {
  std::array<AuMark, kPacketMarks> mark{};
  size_t count = 0;
};

uint64_t scanned(const StreamModel& s) {
  switch (s.kind) {
    case BufferKind::Video: return s.video.pos;
    case BufferKind::Lpcm: return s.lpcm.pos;
    case BufferKind::Subpicture: return s.spu.pos;
    case BufferKind::MpegAudio:
    case BufferKind::Ac3:
    case BufferKind::Dts: break;
  }
  return s.frames.pos;
}

// `first`: the bytes begin the packet (a later call takes what a full array of marks left).
size_t scan_some(StreamModel& s, std::span<const uint8_t> bytes, const StreamPacket& p, bool first,
                 AuMarks& marks) {
  switch (s.kind) {
    case BufferKind::Video: return scan_video(s.video, bytes, marks);
    case BufferKind::Lpcm:
      return scan_lpcm(s.lpcm, bytes,
                       first && p.first_frame >= 0 ? int64_t(s.lpcm.pos) + p.first_frame : -1,
                       marks);
    case BufferKind::Subpicture: return scan_spu(s.spu, bytes, first && p.has_pts, marks);
    case BufferKind::MpegAudio:
    case BufferKind::Ac3:
    case BufferKind::Dts: break;
  }
  return scan_frames(s.frames, bytes, marks);
}

FrameCodec frame_codec(BufferKind k) {
  return k == BufferKind::Ac3   ? FrameCodec::Ac3
         : k == BufferKind::Dts ? FrameCodec::Dts
                                : FrameCodec::MpegAudio;
}

// Scans the packet's bytes; false when they hold more marks than kept.
bool scan(StreamModel& s, const StreamPacket& p, PacketMarks& all) {
  std::span<const uint8_t> bytes = p.payload;
  static AuMarks marks;  // reused: its array is not cleared for each packet
  for (bool first = true;; first = false) {
    marks.count = 0;
    size_t taken = scan_some(s, bytes, p, first, marks);
    if (all.count + marks.count > kPacketMarks) return false;
    std::copy_n(marks.mark.begin(), marks.count, all.mark.begin() + long(all.count));
    all.count += marks.count;
    bytes = bytes.subspan(taken);
    if (bytes.empty()) return true;
  }
}

OpenUnit& open_at(StreamModel& s, size_t i) { return s.open[(s.first_open + i) % kOpenUnits]; }

// The first unit of the packet that commences in its own bytes takes its timestamp.
size_t stamped_mark(const PacketMarks& marks, uint64_t from, bool has_pts) {
  if (!has_pts) return SIZE_MAX;
  for (size_t i = 0; i < marks.count; ++i)
    if (marks.mark[i].kind == AuMark::Commence && marks.mark[i].pos >= from) return i;
  return SIZE_MAX;
}

Instant stamp(const StreamPacket& p) { return ticks(300 * (p.has_dts ? p.dts : p.pts)); }

// A unit commences: its decoding time, stamped or extrapolated.
// A timestamp and its packet's DSM_trick_mode_flag.
struct Stamp {
  Instant td;
  bool trick = false;
};

void commence_unit(StreamModel& s, const StreamPacket& p, const AuMark& m, const Stamp* stamp_of,
                   uint64_t from) {
  if (!s.started && stamp_of == nullptr) {  // before the segment's first timed unit: not buffered
    ++s.counts.skipped;
    return;
  }
  if (s.open_count == kOpenUnits) {
    s.stopped = true;
    return;
  }
  OpenUnit u;
  u.commence = m.pos;
  u.end = m.end;
  u.offset = p.offset + (m.pos >= from ? m.pos - from : 0);
  if (m.pos < from) file_offset_of(s.buffer, m.pos, u.offset);  // it began in the last packet
  u.permitted = s.video.sequence.low_delay && s.kind == BufferKind::Video;
  if (stamp_of != nullptr) {
    u.td = stamp_of->td;
    u.timed = true;
    u.permitted = u.permitted || stamp_of->trick;
    ++s.counts.stamped;
    // muxers round to 90 kHz: a difference of a whole tick or more is the stream's own
    if (s.has_prediction) {
      Instant diff = plus(u.td, -s.prediction.num, s.prediction.den);
      if (!(diff < ticks(300)) || !(ticks(-300) < diff)) ++s.counts.timestamp_mismatches;
    }
  } else if (s.has_prediction) {
    u.td = s.prediction;
    u.timed = true;
    ++s.counts.extrapolated;
  } else {
    ++s.counts.untimed;
  }
  s.started = true;
  s.has_prediction = false;
  if (u.timed && s.kind != BufferKind::Video && m.sample_rate != 0) {
    Instant period = audio_period(m.samples, m.sample_rate);
    s.prediction = plus(u.td, period.num, period.den);
    s.has_prediction = true;
  }
  open_at(s, s.open_count++) = u;
}

// A video unit ends: its end, and the decoding time of the next.
void end_unit(StreamModel& s, const AuMark& m) {
  for (size_t i = 0; i < s.open_count; ++i) {
    OpenUnit& u = open_at(s, i);
    if (u.end != 0) continue;
    u.end = m.end;
    if (s.kind == BufferKind::Video && u.timed) {
      Instant period = video_period(s.clock, s.video.sequence, m.picture);
      if (period.num > 0) {
        s.prediction = plus(u.td, period.num, period.den);
        s.has_prediction = true;
      }
    }
    return;
  }
}

// Units whose bytes have all arrived leave the scan for the buffer.
void complete_units(StreamModel& s, uint64_t arrived) {
  while (s.open_count > 0) {
    OpenUnit& u = open_at(s, 0);
    if (u.end == 0 || u.end > arrived) return;
    Instant c;
    if (!arrival_of(s.buffer, u.end - 1, c)) c = s.buffer.latest;
    Instant r = u.timed ? later(u.td, c) : c;  // an untimed unit leaves when it is whole
    if (s.has_removal) r = later(r, s.last_removal);
    if (u.timed && u.td < c) {
      Underflows& f = s.underflows;
      Instant late = plus(c, -u.td.num, u.td.den);
      if (f.count++ == 0) {
        f.first_offset = u.offset;
        f.first_td = u.td;
      }
      if (u.permitted) ++f.permitted;
      f.max_lateness = later(f.max_lateness, late);
    }
    if (!buffer_remove(s.buffer, u.end, r)) s.stopped = true;
    s.has_removal = true;
    s.last_removal = r;
    s.first_open = (s.first_open + 1) % kOpenUnits;
    --s.open_count;
  }
}

// Arrivals may be simulated up to where no unknown removal can come before them:
// a video unit ends where the next one starts, which a start code's first bytes
// or a sequence header already scanned may be.
uint64_t releasable(const StreamModel& s) {
  if (s.kind != BufferKind::Video) return scanned(s);
  uint64_t at = s.video.pos >= 3 ? s.video.pos - 3 : 0;
  if (s.video.candidate >= 0) at = std::min(at, uint64_t(s.video.candidate));
  return at;
}

// In a packet whose sub-stream header counts frames, the count and the first
// unit's place must be what commences in its payload. A unit whose sync word
// begins in the last packet's final bytes is found in this scan, before `from`.
void tally(StreamModel::PointerCheck& c, uint64_t pos) {
  if (pos < c.from) return;
  if (c.count++ == 0) c.first = int64_t(pos - c.from);
}

void judge_pointer(StreamModel& s) {
  StreamModel::PointerCheck& c = s.pointer;
  if (c.open && (c.count != c.frames || c.first != c.pointer)) ++s.counts.pointer_mismatches;
  c.open = false;
}

void check_pointer(StreamModel& s, const StreamPacket& p, const PacketMarks& marks, uint64_t from) {
  StreamModel::PointerCheck now;
  now.open = p.frames > 0;
  now.frames = p.frames;
  now.pointer = p.pointer;
  now.from = from;
  for (size_t i = 0; i < marks.count; ++i)
    if (marks.mark[i].kind == AuMark::Commence)
      tally(marks.mark[i].pos < from ? s.pointer : now, marks.mark[i].pos);
  judge_pointer(s);
  s.pointer = now;
}

}  // namespace

StreamModel stream_model(BufferKind kind, uint32_t lpcm_frame_bytes, uint32_t lpcm_rate) {
  StreamModel s;
  s.kind = kind;
  s.frames.codec = frame_codec(kind);
  s.lpcm.frame_bytes = lpcm_frame_bytes;
  s.lpcm.sample_rate = lpcm_rate;
  return s;
}

namespace {

// A start code or sync word whose first byte ended the last packet is found
// in this one: that unit commenced there, and takes the last packet's
// timestamp. Its mark, or SIZE_MAX.
size_t carried_mark(const StreamModel& s, const PacketMarks& marks, uint64_t from) {
  for (size_t i = 0; s.pending && i < marks.count; ++i)
    if (marks.mark[i].kind == AuMark::Commence && marks.mark[i].pos < from) return i;
  return SIZE_MAX;
}

// The packet's buffered bytes from `first` on enter the buffer.
void arrive(StreamModel& s, const StreamPacket& p, uint64_t from, uint64_t first) {
  if (first >= from + p.payload.size()) return;
  ArrivalRun run;
  run.pos = first;
  run.offset = p.offset + (first - from);
  run.count = uint32_t(from + p.payload.size() - first);
  run.clock = p.clock;
  run.size = p.size;
  if (!buffer_arrive(s.buffer, run)) s.stopped = true;
}

// The units that commence and end in the packet, the carried one and the
// stamped one with their timestamps.
void take_marks(StreamModel& s, const StreamPacket& p, const PacketMarks& marks, uint64_t from,
                size_t carried, const Stamp& last, size_t stamped, const Stamp& now) {
  for (size_t i = 0; i < marks.count && !s.stopped; ++i) {
    const AuMark& m = marks.mark[i];
    if (m.kind != AuMark::Commence) {
      end_unit(s, m);
      continue;
    }
    const Stamp* stamp = i == carried ? &last : i == stamped ? &now : nullptr;
    commence_unit(s, p, m, stamp, from);
  }
}

}  // namespace

void stream_packet(StreamModel& s, const StreamPacket& p) {
  static PacketMarks marks;
  if (s.stopped || p.payload.empty()) return;
  uint64_t from = scanned(s);
  marks.count = 0;
  if (!scan(s, p, marks)) {
    s.stopped = true;
    return;
  }
  size_t stamped = stamped_mark(marks, from, p.has_pts);
  check_pointer(s, p, marks, from);
  size_t carried = carried_mark(s, marks, from);
  if (s.pending && carried == SIZE_MAX) ++s.counts.timestamps_ignored;
  Stamp last_stamp{s.pending_td, s.pending_trick};
  s.pending = false;
  Stamp this_stamp{stamp(p), p.dsm_trick_mode};
  if (p.has_pts && stamped == SIZE_MAX) {  // decided when the next packet is scanned
    s.pending = true;
    s.pending_td = this_stamp.td;
    s.pending_trick = this_stamp.trick;
  }
  if (!s.started && stamped == SIZE_MAX && carried != SIZE_MAX) stamped = carried;
  // the first timed unit of the segment: bytes before its start are not buffered
  if (!s.started && stamped != SIZE_MAX) s.start = std::max(from, marks.mark[stamped].start);
  if (s.started || stamped != SIZE_MAX) arrive(s, p, from, s.started ? from : s.start);
  take_marks(s, p, marks, from, carried, last_stamp, stamped, this_stamp);
  complete_units(s, from + p.payload.size());
  buffer_release(s.buffer, releasable(s));
}

void stream_end(StreamModel& s) {
  if (s.kind == BufferKind::Video) {
    AuMarks marks;
    end_video(s.video, marks);
    for (size_t i = 0; i < marks.count; ++i) end_unit(s, marks.mark[i]);
  }
  if (s.pending) ++s.counts.timestamps_ignored;
  s.pending = false;
  judge_pointer(s);
  complete_units(s, scanned(s));
  buffer_finish(s.buffer);
}

}  // namespace psrate
