#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the decoder buffers (P-STD, ISO/IEC 13818-1 2.5.2) of psrate --check --json:
each buffer against what its muxer makes expected, and every figure of it against
the buffer recomputed here from the file's own bytes; and psrate --fix's setting of
the system headers' buffer bounds.

  tools/buffer_check.py PSRATE FILE EXPECTED [FILE EXPECTED ...]
  tools/buffer_check.py PSRATE --fix FILE [FILE ...]

EXPECTED lists the file's modelled buffers, each as BUF=STATE, BUF being a stream id (e0,
c0) or private stream 1 and sub-stream (bd/80), STATE "clean" (no overflow and no
underflow) or what the buffer shows joined by +: "overflow", "underflow", and
"overflow?" or "underflow?" for what it may show or not; what is not named must not
happen. E.g. "e0=clean bd/80=clean bd/a1=overflow", "e0=underflow+overflow?". Every
modelled buffer of the file must be listed, and every listed one modelled; the
findings buffer_overflow and buffer_underflow must be problems with the remedy remux
exactly when a buffer overflows or underflows.

The recomputation takes the stream as one segment (it leaves the file out, and says
so, otherwise) and follows the standard, not psrate's code: access units from
picture start codes (a unit begins at the sequence or GOP header before its
picture), MPEG audio and AC-3 frame headers, and DVD LPCM frames of 1/600 s from the
first first_access_unit_pointer; a timestamp belongs to the first unit whose start
code or sync word has its first byte in the packet's payload (13818-1 2.4.3.7);
units before the first stamped one are skipped, later ones without a timestamp take
the time the unit before gives (13818-2 6.3.10/6.3.11; the frame's samples); bytes
arrive at SCR + (i - i') * 540000 / program_mux_rate ticks (i' the pack start code +
8), never before the bytes before them; unit j leaves at max(td, its last byte's
arrival, the removal before), late when its last byte arrives after td; a byte that
arrives at a removal's instant enters after it; the size in force for a packet is
the latest P-STD_buffer_size of the stream's PES headers, else the latest system
header's bound of its id (BD for a sub-stream), else of B8 (audio) or B9 (video).
Compared: the size and its source; the peak, its byte and time; the overflow
episodes, the first one's byte and time, the largest excess; the late units (those
of low_delay video or of a packet in DSM trick mode permitted), the first one's
commencing byte and decoding time, the greatest lateness; the stamped, extrapolated,
untimed and skipped units; timestamps on packets where no unit commences; stamps 300
ticks or more from the extrapolation; DVD audio packets whose frame count or
first_access_unit_pointer is not what commences in them. DTS and subpictures are
left to the expected states alone.

--fix: on a copy of each FILE (a DVD stream whose buffers all peak within the DVD
sizes), psrate --fix --json must set each system header's stream-table entries to
max(the entry's bound, the profile's size) (E0-EF and B9 232 KiB, C0-C7 and B8 4 KiB,
BD 58 KiB) and leave every other entry; every changed byte must be a rate field (a
pack's +10..+12 program_mux_rate, a system header's +6..+8 rate_bound) or byte 1 or 2
of a stream-table entry (+12 + 3i of a system header); "written" must count the
entries changed; the listing must show "STREAM ID = bd..., buffer = 58(0x3a), scale =
1" once for each system header; a new --check must find neither
bound_below_buffer_size nor buffer_bound_below_profile, and give the buffers' figures
as before; a second --fix must write nothing.

One line per file, then one per disagreement; exit status 0 when every file is as
expected, 1 otherwise.
"""
import bisect, json, os, shutil, subprocess, sys, tempfile
from fractions import Fraction

TICKS = 27_000_000
MISMATCH = 300  # ticks: a stamp this far from the extrapolation is a mismatch
NO_PES_HEADER = {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF}
KIB = 1024
# the DVD profile's buffer sizes by stream-table id
DVD_SIZES = {**{i: 232 * KIB for i in range(0xE0, 0xF0)}, 0xB9: 232 * KIB,
             **{i: 4 * KIB for i in range(0xC0, 0xC8)}, 0xB8: 4 * KIB, 0xBD: 58 * KIB}


# --- the program stream ---------------------------------------------------------

class Pack:
    __slots__ = ('offset', 'scr', 'rate', 'mpeg1')

    def __init__(self, offset, scr, rate, mpeg1):
        self.offset, self.scr, self.rate, self.mpeg1 = offset, scr, rate, mpeg1

    def arrival(self, i):
        """t(i) of the byte at file offset i, in ticks (exact)."""
        return Fraction(self.scr * self.rate + (i - self.offset - 8) * 540000, self.rate)


class Packet:
    """A PES packet of an audio or video stream or a sub-stream of private stream 1."""
    __slots__ = ('offset', 'key', 'pay', 'data', 'pts', 'dts', 'trick', 'std', 'frames',
                 'pointer', 'lpcm', 'pack', 'bound')


def clock(b, p):
    if b[p + 4] & 0xF0 == 0x20:  # MPEG-1
        base = ((b[p + 4] >> 1) & 7) << 30 | b[p + 5] << 22 | (b[p + 6] >> 1) << 15 \
            | b[p + 7] << 7 | b[p + 8] >> 1
        rate = (b[p + 9] & 0x7F) << 15 | b[p + 10] << 7 | b[p + 11] >> 1
        return base * 300, rate, True, 12
    base = ((b[p + 4] >> 3) & 7) << 30 | (b[p + 4] & 3) << 28 | b[p + 5] << 20 \
        | (b[p + 6] >> 3) << 15 | (b[p + 6] & 3) << 13 | b[p + 7] << 5 | b[p + 8] >> 3
    ext = (b[p + 8] & 3) << 7 | b[p + 9] >> 1
    rate = b[p + 10] << 14 | b[p + 11] << 6 | b[p + 12] >> 2
    return base * 300 + ext, rate, False, 14 + (b[p + 13] & 7)


def stamp(b, q):
    return ((b[q] >> 1) & 7) << 30 | b[q + 1] << 22 | (b[q + 2] >> 1) << 15 \
        | b[q + 3] << 7 | b[q + 4] >> 1


def pes_header(b, p):
    """(payload offset, pts, dts, DSM trick mode, P-STD_buffer_size in bytes or 0)."""
    q = p + 6
    pts = dts = None
    std = 0
    if b[q] & 0xC0 == 0x80:  # MPEG-2
        flags = b[q + 1]
        h = q + 3
        if flags & 0x80:
            pts = stamp(b, h)
            h += 5
        if flags & 0x40:
            dts = stamp(b, h)
            h += 5
        trick = bool(flags & 0x08)
        h += 6 * bool(flags & 0x20) + 3 * bool(flags & 0x10) + trick \
            + bool(flags & 0x04) + 2 * bool(flags & 0x02)
        if flags & 0x01:
            ext = b[h]
            h += 1 + 16 * bool(ext & 0x80)
            if ext & 0x40:
                h += 1 + b[h]
            h += 2 * bool(ext & 0x20)
            if ext & 0x10:
                std = ((b[h] & 0x1F) << 8 | b[h + 1]) * (1024 if b[h] & 0x20 else 128)
        return q + 3 + b[q + 2], pts, dts, trick, std
    while b[q] == 0xFF:  # MPEG-1
        q += 1
    if b[q] & 0xC0 == 0x40:
        std = ((b[q] & 0x1F) << 8 | b[q + 1]) * (1024 if b[q] & 0x20 else 128)
        q += 2
    if b[q] & 0xF0 == 0x20:
        pts = stamp(b, q)
        q += 5
    elif b[q] & 0xF0 == 0x30:
        pts, dts = stamp(b, q), stamp(b, q + 5)
        q += 10
    else:
        q += 1
    return q, pts, dts, False, std


def walk(b):
    """The packs, the system headers' stream tables ((offset, [(entry offset, id,
    size field, scale)])) and the packets, by length fields and over zero stuffing;
    None where the walk loses the units."""
    packs, headers, packets = [], [], []
    bounds = {}  # the system headers' P-STD_buffer_size_bound by stream id, so far
    p, n = 0, len(b)
    while p + 4 <= n:
        if b[p:p + 3] != b'\0\0\1':
            if b[p] != 0:
                return None
            p += 1  # zero stuffing (mplex's VCD)
            continue
        code = b[p + 3]
        if code == 0xB9:
            p += 4
            continue
        if code == 0xBA:
            scr, rate, mpeg1, size = clock(b, p)
            packs.append(Pack(p, scr, rate, mpeg1))
            p += size
            continue
        end = p + 6 + (b[p + 4] << 8 | b[p + 5])
        if end > n:
            return None
        if code == 0xBB:
            entries = []
            for e in range(p + 12, end - 2, 3):
                if b[e] & 0x80 == 0:
                    break
                entries.append((e, b[e], (b[e + 1] & 0x1F) << 8 | b[e + 2],
                                bool(b[e + 1] & 0x20)))
            headers.append((p, entries))
            bounds = dict(bounds)
            bounds.update((sid, size * (1024 if scale else 128)) for _, sid, size, scale in entries)
        elif code not in NO_PES_HEADER and (code == 0xBD or 0xC0 <= code <= 0xEF) and packs:
            pay, pts, dts, trick, std = pes_header(b, p)
            k = Packet()
            k.offset, k.pts, k.dts, k.trick, k.std, k.pack = p, pts, dts, trick, std, packs[-1]
            k.frames = k.pointer = k.lpcm = None
            key = '%02x' % code
            # the bound of the stream's own entry, else of all audio (B8) or video (B9)
            wild = 0xB9 if code >= 0xE0 else 0xB8 if code >= 0xC0 else None
            k.bound = bounds.get(code, bounds.get(wild, 0))
            if code == 0xBD:
                sub = b[pay]
                key = 'bd/%02x' % sub
                if 0x80 <= sub <= 0x8F:  # AC-3, DTS: id, frames, pointer
                    k.frames, k.pointer = b[pay + 1], (b[pay + 2] << 8 | b[pay + 3]) - 1
                    pay += 4
                elif 0xA0 <= sub <= 0xA7:  # LPCM: and emphasis, format, dynamic range
                    k.frames, k.pointer = b[pay + 1], (b[pay + 2] << 8 | b[pay + 3]) - 4
                    fmt = b[pay + 5]
                    k.lpcm = ((16, 20, 24, 0)[fmt >> 6], (48000, 96000, 44100, 32000)[fmt >> 4 & 3],
                              (fmt & 7) + 1)
                    pay += 7
                elif 0x20 <= sub <= 0x3F:
                    pay += 1
                else:
                    p = end
                    continue
            k.key, k.pay, k.data = key, pay, b[pay:end]
            packets.append(k)
        p = end
    return packs, headers, packets


# --- access units -----------------------------------------------------------------

class Unit:
    __slots__ = ('commence', 'start', 'end', 'period', 'picture', 'stamp', 'packet')

    def __init__(self, commence, start=None, end=None, period=None):
        self.commence, self.start, self.end, self.period = commence, commence, end, period
        if start is not None:
            self.start = start
        self.picture, self.stamp, self.packet = None, None, None


FRAME_RATES = [None, (24000, 1001), (24, 1), (25, 1), (30000, 1001), (30, 1), (50, 1),
               (60000, 1001), (60, 1)]


def bit(b, at, n=1):
    v = 0
    for i in range(at, at + n):
        v = v << 1 | (b[i // 8] >> (7 - i % 8)) & 1
    return v


def video_units(es):
    """Pictures: [Unit] with .picture = (type, structure, tff, rff, sequence), where
    sequence = (frame period (Fraction ticks) or None, mpeg2, progressive_sequence,
    low_delay)."""
    units, seq, candidate, open_unit = [], None, None, None
    rate_code, ext = 0, None
    pos = es.find(b'\0\0\1')
    while 0 <= pos and pos + 3 < len(es):
        code, h = es[pos + 3], es[pos + 4:pos + 12]
        if code == 0x00:
            start = candidate if candidate is not None else pos
            if open_unit is not None:
                open_unit.end = start
            u = Unit(pos, start)
            u.picture = [(0, 'I', 'P', 'B', 'D', 0, 0, 0)[h[1] >> 3 & 7], 3, False, False, seq]
            units.append(u)
            open_unit, candidate = u, None
        elif code in (0xB3, 0xB8):
            if candidate is None:
                candidate = pos
            if code == 0xB3:
                rate_code, ext = h[3] & 0x0F, None
                seq = sequence(rate_code, ext)
        elif code == 0xB5 and h[0] >> 4 == 1:
            ext = (bit(h, 12), bit(h, 40), bit(h, 41, 2), bit(h, 43, 5))
            seq = sequence(rate_code, ext)
        elif code == 0xB5 and h[0] >> 4 == 8 and open_unit is not None:
            open_unit.picture[1:4] = [bit(h, 22, 2), bool(bit(h, 24)), bool(bit(h, 30))]
            open_unit.picture[4] = seq
        elif code == 0xB7:
            if open_unit is not None:
                open_unit.end = pos + 4
            open_unit, candidate = None, None
        pos = es.find(b'\0\0\1', pos + 3)
    if open_unit is not None:
        open_unit.end = len(es)
    return units


def sequence(rate_code, ext):
    rate = FRAME_RATES[rate_code] if 0 < rate_code < len(FRAME_RATES) else None
    if ext is None:
        return (Fraction(TICKS * rate[1], rate[0]) if rate else None, False, False, False)
    progressive, low_delay, n, d = ext
    period = Fraction(TICKS * rate[1] * (d + 1), rate[0] * (n + 1)) if rate else None
    return (period, True, bool(progressive), bool(low_delay))


def display(picture):
    """How long a picture is shown (13818-2 6.3.10, 6.3.11)."""
    kind, structure, tff, rff, seq = picture
    t, mpeg2, progressive, _ = seq
    if not mpeg2:
        return t
    if structure != 3:
        return t / 2
    if progressive:
        return t * (1 + rff * (1 + tff))
    return t * (2 + rff) / 2


MPEG_RATES = {  # (MPEG-1, layer): kbit/s by bitrate_index
    (True, 1): [0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448],
    (True, 2): [0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384],
    (True, 3): [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
    (False, 1): [0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256],
    (False, 2): [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}
MPEG_RATES[(False, 3)] = MPEG_RATES[(False, 2)]
AC3_RATES = [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512,
             576, 640]


def mpeg_audio_frame(b, i):
    """(length, samples, rate) of an MPEG audio frame header at i, or None."""
    if i + 4 > len(b) or b[i] != 0xFF or b[i + 1] & 0xE0 != 0xE0:
        return None
    version, layer = b[i + 1] >> 3 & 3, 4 - (b[i + 1] >> 1 & 3)
    index, fs, pad = b[i + 2] >> 4, b[i + 2] >> 2 & 3, b[i + 2] >> 1 & 1
    if version == 1 or layer == 4 or index in (0, 15) or fs == 3:
        return None
    rate = (44100, 48000, 32000)[fs] >> (2, 0, 1, 0)[version]  # MPEG 2.5, -, 2, 1
    mpeg1 = version == 3
    kbit = MPEG_RATES[(mpeg1, layer)][index] * 1000
    if layer == 1:
        return (12 * kbit // rate + pad) * 4, 384, rate
    if layer == 3 and not mpeg1:
        return 72 * kbit // rate + pad, 576, rate
    return 144 * kbit // rate + pad, 1152, rate


def ac3_frame(b, i):
    if i + 5 > len(b) or b[i] != 0x0B or b[i + 1] != 0x77:
        return None
    fscod, code = b[i + 4] >> 6, b[i + 4] & 0x3F
    if fscod == 3 or code >= 38:
        return None
    kbit = AC3_RATES[code >> 1]
    rate = (48000, 44100, 32000)[fscod]
    words = (2 * kbit, kbit * 96000 // 44100 + (code & 1), 3 * kbit)[fscod]
    return 2 * words, 1536, rate


def frame_units(es, parse):
    """Frames one after another; a header where none is due is searched for byte by
    byte (a resync)."""
    units, i, resyncs, synced = [], 0, 0, False
    while i < len(es):
        f = parse(es, i)
        if f is None or f[0] <= 0:
            resyncs += synced
            synced = False
            i += 1
            continue
        u = Unit(i, end=i + f[0], period=Fraction(TICKS * f[1], f[2]))
        units.append(u)
        synced = True
        i += f[0]
    return units, resyncs


# --- the model --------------------------------------------------------------------

def recompute(packets):
    """The buffer of one stream as psrate --check --json gives it, recomputed."""
    key = packets[0].key
    es = b''.join(k.data for k in packets)
    starts, pos = [], 0  # each packet's first position in the elementary stream
    for k in packets:
        starts.append(pos)
        pos += len(k.data)
    video = not key.startswith('bd') and 0xE0 <= int(key, 16) <= 0xEF
    resyncs = 0
    if video:
        units = video_units(es)
    elif key.startswith('bd/a'):
        first = next((starts[n] + k.pointer for n, k in enumerate(packets)
                      if k.frames and 0 <= k.pointer < len(k.data)), None)
        bits_, rate, channels = packets[0].lpcm
        size = rate // 600 * channels * bits_ // 8
        units = [] if first is None or size == 0 else \
            [Unit(i, end=i + size, period=Fraction(TICKS, 600))
             for i in range(first, len(es), size)]
    elif key.startswith('bd/8') and int(key[3:], 16) < 0x88:
        units, resyncs = frame_units(es, ac3_frame)
    elif not key.startswith('bd'):
        units, resyncs = frame_units(es, mpeg_audio_frame)
    else:
        return None  # DTS, subpictures

    # timestamps: the first unit whose first byte of start code or sync word is in the packet
    r = {'access_units': {'stamped': 0, 'extrapolated': 0, 'untimed': 0, 'skipped': 0},
         'timestamps_ignored': 0, 'timestamp_mismatches': 0, 'pointer_mismatches': 0,
         'resyncs': resyncs}
    u = 0
    for n, k in enumerate(packets):
        end = starts[n] + len(k.data)
        while u < len(units) and units[u].commence < starts[n]:
            u += 1
        first = u
        count = 0
        while u < len(units) and units[u].commence < end:
            units[u].packet = n
            count += 1
            u += 1
        if k.pts is not None:
            if count:
                units[first].stamp = 300 * (k.dts if k.dts is not None else k.pts)
            else:
                r['timestamps_ignored'] += 1
        if k.frames:  # number_of_frame_headers and first_access_unit_pointer
            at = units[first].commence - starts[n] if count else None
            if count != k.frames or at != k.pointer:
                r['pointer_mismatches'] += 1

    # decoding times
    counts = r['access_units']
    started, prediction, anchor = False, None, None
    timed = []  # (unit, td, permitted)
    for j, un in enumerate(units):
        if not started and un.stamp is None:
            counts['skipped'] += 1
            continue
        if un.stamp is not None:
            td = Fraction(un.stamp)
            counts['stamped'] += 1
            if prediction is not None and abs(td - prediction) >= MISMATCH:
                r['timestamp_mismatches'] += 1
        elif prediction is not None:
            td = prediction
            counts['extrapolated'] += 1
        else:
            td = None
            counts['untimed'] += 1
        if not started:
            started = True
            buffer_start = max(starts[un.packet], un.start)
        prediction = None
        permitted = False
        if video:
            low_delay = un.picture[4][3] if un.picture[4] else False
            permitted = low_delay or (un.stamp is not None and packets[un.packet].trick)
            if td is not None and un.picture[4] and un.picture[4][0]:
                own = display(un.picture)
                if un.picture[0] == 'B' or low_delay:
                    period = own
                else:
                    period = anchor if anchor is not None else \
                        un.picture[4][0] / (2 if un.picture[1] != 3 else 1)
                    anchor = own
                prediction = td + period
            elif un.picture[0] != 'B':
                anchor = display(un.picture) if un.picture[4] and un.picture[4][0] else anchor
        elif td is not None:
            prediction = td + un.period
        timed.append((un, td, permitted))
    if not started:
        return r

    # arrivals: each packet's bytes from the buffer's start, never before the bytes before
    # the size: the latest P-STD_buffer_size of the PES headers, else the system header's bound
    runs, floor = [], None
    pes_size = 0
    for n, k in enumerate(packets):
        lo = max(starts[n], buffer_start)
        hi = starts[n] + len(k.data)
        pes_size = k.std or pes_size
        size = pes_size or k.bound
        if hi <= lo:
            continue
        off = k.pay + (lo - starts[n])
        run_floor = floor if floor is not None else k.pack.arrival(off)
        runs.append((lo, hi, off, k.pack, size, run_floor))
        floor = max(run_floor, k.pack.arrival(off + hi - lo - 1))
    r['size'] = pes_size or packets[-1].bound or None
    r['size_source'] = 'pes' if pes_size else 'system_header' if r['size'] else 'unknown'
    run_starts = [x[0] for x in runs]

    def arrival(p):
        x = runs[bisect.bisect_right(run_starts, p) - 1]
        return max(x[5], x[3].arrival(x[2] + p - x[0]))

    # removals, lateness
    removals, last = [], None
    late = {'count': 0, 'permitted': 0, 'first': None, 'max': Fraction(0)}
    for un, td, permitted in timed:
        if un.end is None or un.end > len(es):
            continue  # incomplete: never leaves
        c = arrival(un.end - 1)
        at = max(td, c) if td is not None else c
        if last is not None:
            at = max(at, last)
        if td is not None and td < c:
            if late['count'] == 0:
                late['first'] = (packets[un.packet].pay + un.commence - starts[un.packet], td)
            late['count'] += 1
            late['permitted'] += permitted
            late['max'] = max(late['max'], c - td)
        removals.append((un.end, at))
        last = at
    r['underflows'] = late['count'] - late['permitted']
    r['permitted_underflows'] = late['permitted']
    r['first_underflow_offset'] = late['first'][0] if late['first'] else None
    r['first_underflow_time'] = int(late['first'][1] // 1) if late['first'] else None
    r['max_lateness'] = int(late['max'] // 1) if late['count'] else None

    # the occupancy, watched as bytes enter; a removal at an instant comes before the
    # bytes that arrive at it
    occ, peak, over, episodes, first_over, excess = 0, 0, False, 0, None, 0
    peak_at = None
    removed_end, j = buffer_start, 0
    for lo, hi, off, pack, size, run_floor in runs:
        p = lo
        while p < hi:
            k = hi - p
            if j < len(removals):
                at = removals[j][1]
                if run_floor >= at:
                    k = 0
                else:  # bytes i with t(i) < at: i < i' + (at - SCR) R / 540000
                    x = pack.offset + 8 + (at - pack.scr) * pack.rate / 540000
                    k = min(k, max(0, -(-x // 1) - (off + p - lo)))
            if k:
                before = occ
                occ += k
                if size and occ > size:
                    if not over:
                        episodes += 1
                        if first_over is None:
                            byte = p + max(0, size - before)
                            first_over = (off + byte - lo, arrival(byte))
                        over = True
                    excess = max(excess, occ - size)
                if occ > peak:
                    peak = occ
                    peak_at = (off + p + k - 1 - lo, arrival(p + k - 1))
                p += k
            if p < hi:  # the removal comes first
                occ -= removals[j][0] - removed_end
                removed_end = removals[j][0]
                j += 1
                if over and (size == 0 or occ <= size):
                    over = False
    r['peak'] = peak
    r['peak_offset'] = peak_at[0] if peak_at else None
    r['peak_time'] = int(peak_at[1] // 1) if peak_at else None
    r['overflows'] = episodes
    r['first_overflow_offset'] = first_over[0] if first_over else None
    r['first_overflow_time'] = int(first_over[1] // 1) if first_over else None
    r['max_excess'] = excess if episodes else None
    return r


# --- the checks -------------------------------------------------------------------

def run_check(psrate, path):
    run = subprocess.run([psrate, '--check', '--json', path], capture_output=True)
    if run.returncode not in (0, 2):
        raise RuntimeError('psrate --check exited %d: %s' % (run.returncode,
                                                             run.stderr.decode().strip()))
    return json.loads(run.stdout)


def name(b):
    return b['id'] if b['sub'] is None else '%s/%s' % (b['id'], b['sub'])


def brief(b):
    if not b['modelled']:
        return '%s not modelled (%s)' % (name(b), b['reason'])
    au = b['access_units']
    return '%s %s peak %s/%s%s, %d over, %d under, units %d+%d%s%s' % (
        name(b), b['codec'], b['peak'], b['size'], '' if b['size_source'] == 'pes' else
        ' (%s)' % b['size_source'], b['overflows'], b['underflows'], au['stamped'],
        au['extrapolated'],
        ''.join(', %d %s' % (au[k], k) for k in ('untimed', 'skipped') if au[k]),
        ''.join(', %d %s' % (b[k], k.replace('_', ' ')) for k in
                ('timestamps_ignored', 'timestamp_mismatches', 'pointer_mismatches') if b[k]))


def check_file(psrate, path, expected):
    errors = []
    r = run_check(psrate, path)
    want = {}  # buffer: ({True, False} or one of them for overflows, for underflows), STATE
    for item in expected.split():
        buf, _, state = item.partition('=')
        words = set(state.split('+'))
        if words - {'overflow', 'underflow', 'overflow?', 'underflow?'} and words != {'clean'}:
            raise SystemExit('%s: unknown state in %s' % (path, item))
        want[buf] = tuple({True} if w in words else {True, False} if w + '?' in words else {False}
                          for w in ('overflow', 'underflow')) + (state,)
    buffers = r['buffers']
    modelled = {name(b): b for b in buffers if b['modelled']}
    for buf in sorted(set(want) - set(modelled)):
        errors.append('%s is not a modelled buffer' % buf)
    for buf in sorted(set(modelled) - set(want)):
        errors.append('%s is modelled but not expected' % buf)

    # each buffer's own figures hang together, and are what is expected
    for b in buffers:
        n = name(b)
        if not b['modelled']:
            continue
        over, under = b['overflows'] > 0, b['underflows'] > 0
        if n in want and (over not in want[n][0] or under not in want[n][1]):
            errors.append('%s: %d overflows, %d underflows; expected %s' % (
                n, b['overflows'], b['underflows'], want[n][2]))
        if (b['first_overflow_offset'] is None) == over or (b['max_excess'] is None) == over:
            errors.append('%s: overflow fields %s/%s with %d overflows' % (
                n, b['first_overflow_offset'], b['max_excess'], b['overflows']))
        if over and b['size'] and b['max_excess'] is not None and b['peak'] is not None \
                and b['max_excess'] > b['peak'] - b['size']:
            errors.append('%s: max_excess %d above peak - size %d' % (
                n, b['max_excess'], b['peak'] - b['size']))
        if not over and b['size'] and b['peak'] is not None and b['peak'] > b['size']:
            errors.append('%s: peak %d above the size %d without an overflow' % (
                n, b['peak'], b['size']))
        late = b['underflows'] + b['permitted_underflows'] > 0
        if (b['first_underflow_offset'] is None) == late or (b['max_lateness'] is None) == late:
            errors.append('%s: underflow fields %s/%s with %d+%d underflows' % (
                n, b['first_underflow_offset'], b['max_lateness'], b['underflows'],
                b['permitted_underflows']))
        if b['size'] is None or b['peak'] is None:
            errors.append('%s: size %s, peak %s' % (n, b['size'], b['peak']))

    # the findings follow the buffers
    for code, field in (('buffer_overflow', 'overflows'), ('buffer_underflow', 'underflows')):
        hit = any(b['modelled'] and b[field] > 0 for b in buffers)
        found = [f for f in r['findings'] if f['code'] == code]
        if hit != bool(found):
            errors.append('%s %s, a buffer with %s: %s' % (
                code, 'found' if found else 'not found', field, hit))
        for f in found:
            if (f['severity'], f['remedy']) != ('problem', 'remux'):
                errors.append('%s is a %s with remedy %s' % (code, f['severity'], f['remedy']))

    # every figure, recomputed
    data = open(path, 'rb').read()
    walked = walk(data)
    note = ''
    if walked is None:
        note = '; not recomputed: the walk by length fields fails'
    elif len(r['segments']) != 1:
        note = '; not recomputed: %d segments' % len(r['segments'])
    else:
        packs, headers, packets = walked
        by_key = {}
        for k in packets:
            if k.data:  # an empty payload is no packet of the buffer
                by_key.setdefault(k.key, []).append(k)
        skipped = []
        for b in buffers:
            if not b['modelled']:
                continue
            n = name(b)
            mine = recompute(by_key[n]) if n in by_key else None
            if mine is None:
                skipped.append(n)
                continue
            for field, value in mine.items():
                if b[field] != value:
                    errors.append('%s: %s %s, recomputed %s' % (n, field, json.dumps(b[field]),
                                                                json.dumps(value)))
        if skipped:
            note = '; not recomputed: ' + ' '.join(skipped)
    print('%s: %s%s' % (path, 'as expected' if not errors else 'NOT AS EXPECTED', note))
    for b in buffers:
        print('  ' + brief(b))
    for e in errors:
        print('  ' + e)
    return not errors


def fields(headers, packs):
    """The offsets psrate --fix may change: rate fields, and bytes 1 and 2 of each
    stream-table entry."""
    allowed = set()
    for k in packs:
        allowed.update(range(k.offset + 9, k.offset + 12) if k.mpeg1 else
                       range(k.offset + 10, k.offset + 13))
    for p, entries in headers:
        allowed.update(range(p + 6, p + 9))
        for e, *_ in entries:
            allowed.update((e + 1, e + 2))
    return allowed


def check_fix(psrate, path):
    errors = []
    work = tempfile.mkdtemp()
    try:
        copy = os.path.join(work, os.path.basename(path))
        shutil.copyfile(path, copy)
        before = open(copy, 'rb').read()
        walked = walk(before)
        if walked is None:
            raise SystemExit('%s: the walk by length fields fails' % path)
        packs, headers, _ = walked
        run = subprocess.run([psrate, '--fix', '--json', copy], capture_output=True)
        if run.returncode not in (0, 2):
            print('%s: psrate --fix exited %d: %s' % (path, run.returncode,
                                                     run.stderr.decode().strip()))
            return False
        j = json.loads(run.stdout)
        after = open(copy, 'rb').read()
        problems = any(f['severity'] == 'problem' for f in (j['after'] or j['before'])['findings'])
        if run.returncode != (2 if problems else 0):
            errors.append('exit status %d' % run.returncode)
        w = j['written']
        if w is None:
            errors.append('nothing written')
            w = {'entries': None, 'rate': None}
        if w['rate'] != j['before']['suggested_rate']:
            errors.append('written.rate %s, suggested %s' % (
                w['rate'], j['before']['suggested_rate']))
        if len(after) != len(before):
            errors.append('the size changed: %d, was %d' % (len(after), len(before)))
        allowed = fields(headers, packs)
        outside = [i for i in range(min(len(before), len(after)))
                   if before[i] != after[i] and i not in allowed]
        if outside:
            errors.append('%d bytes changed outside the rate fields and the stream-table '
                          'bounds, the first at %d' % (len(outside), outside[0]))
        changed, bd_58 = 0, 0
        for p, entries in headers:
            for e, sid, bound, scale in entries:
                old = bound * (1024 if scale else 128)
                new = ((after[e + 1] & 0x1F) << 8 | after[e + 2]) \
                    * (1024 if after[e + 1] & 0x20 else 128)
                want = max(old, DVD_SIZES.get(sid, 0))
                if after[e + 1] & 0xC0 != 0xC0:
                    errors.append('entry at %d: the marker bits are gone' % e)
                if new != want:
                    errors.append('entry at %d (%02x): %d bytes, was %d, expected %d' % (
                        e, sid, new, old, want))
                changed += after[e + 1:e + 3] != before[e + 1:e + 3]
                bd_58 += sid == 0xBD and after[e + 1:e + 3] == b'\xe0\x3a'
        if w['entries'] != changed:
            errors.append('written.entries %s, %d entries changed' % (w['entries'], changed))
        if changed == 0:
            errors.append('no entry changed')
        listing = subprocess.run([psrate, copy], capture_output=True, text=True).stdout
        shown = sum('STREAM ID = bd' in line and 'buffer = 58(0x3a), scale = 1' in line
                    for line in listing.splitlines())
        if shown != len(headers) or bd_58 != len(headers):
            errors.append('bd bound 58 KiB in %d system headers (%d listed) of %d' % (
                bd_58, shown, len(headers)))
        again = run_check(psrate, copy)
        left = [f['code'] for f in again['findings']
                if f['code'] in ('bound_below_buffer_size', 'buffer_bound_below_profile')]
        if left:
            errors.append('still found: ' + ' '.join(left))
        said = [f['code'] for f in (j['after'] or j['before'])['findings']]
        if [f['code'] for f in again['findings']] != said:
            errors.append('--check finds %s, --fix said %s' % (
                ' '.join(f['code'] for f in again['findings']), ' '.join(said)))
        now = {(b['segment'], name(b)): b for b in again['buffers']}
        for b0 in j['before']['buffers']:
            b1 = now.get((b0['segment'], name(b0)))
            if b0['size_source'] == 'pes' and b0 != b1:
                errors.append('buffer %s (segment %d) changed: %s' % (
                    name(b0), b0['segment'], brief(b1) if b1 else 'gone'))
        second = subprocess.run([psrate, '--fix', '--json', copy], capture_output=True)
        if json.loads(second.stdout)['written'] is not None or open(copy, 'rb').read() != after:
            errors.append('a second --fix wrote')
        print('%s: --fix %s: %s entries set, bd bound 58 KiB in %d system headers; findings '
              'after: %s' % (path, 'as expected' if not errors else 'NOT AS EXPECTED',
                             w['entries'], bd_58,
                             ' '.join(f['code'] for f in again['findings']) or '-'))
    finally:
        shutil.rmtree(work)
    for e in errors:
        print('  ' + e)
    return not errors


def main():
    args = sys.argv[1:]
    if len(args) >= 3 and args[1] == '--fix':
        ok = [check_fix(args[0], f) for f in args[2:]]
    elif len(args) >= 3 and len(args) % 2 == 1:
        ok = [check_file(args[0], f, s) for f, s in zip(args[1::2], args[2::2])]
    else:
        sys.exit(__doc__)
    sys.exit(0 if all(ok) else 1)


main()
