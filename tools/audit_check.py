#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Recomputes the figures of psrate --check --json on an undamaged stream, from its
own walk by length fields and the SCRs, and compares them field by field; the
streams by id, private stream 1 by sub-stream, with their packets, bytes and
payload bytes (codecs and their parameters are stream_check.py's to compare).

  ffmpeg -f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine -t 30 -target pal-dvd dvd.mpg
  tools/audit_check.py build/psrate dvd.mpg [MORE.mpg ...]

Exit status 0 when every file agrees. Damaged streams (skipped ranges) are out of
scope: the script stops with a message when it meets bytes it cannot walk.
"""
import json, math, subprocess, sys
from collections import Counter

WRAP = 300 << 33
# (MPEG-1 packs, pack size): the profile's rate limit in units of 400 bit/s
LIMITS = {(False, 2048): 25200, (False, 2324): 6972, (True, 2324): 3528}


def scr(b, p):
    if (b[p + 4] & 0xF0) == 0x20:
        base = ((b[p + 4] >> 1) & 7) << 30 | b[p + 5] << 22 | (b[p + 6] >> 1) << 15 \
            | b[p + 7] << 7 | b[p + 8] >> 1
        return base * 300
    base = ((b[p + 4] >> 3) & 7) << 30 | (b[p + 4] & 3) << 28 | b[p + 5] << 20 \
        | (b[p + 6] >> 3) << 15 | (b[p + 6] & 3) << 13 | b[p + 7] << 5 | b[p + 8] >> 3
    return base * 300 + ((b[p + 8] & 3) << 7 | b[p + 9] >> 1)


def mux_rate(b, p):
    if (b[p + 4] & 0xF0) == 0x20:
        return (b[p + 9] & 0x7F) << 15 | b[p + 10] << 7 | b[p + 11] >> 1
    return b[p + 10] << 14 | b[p + 11] << 6 | b[p + 12] >> 2


# Streams whose packets carry no PES header past the length field (ISO 13818-1
# 2.4.3.7): program stream map, padding, private stream 2, ECM, EMM, DSM-CC,
# H.222.1 type E, directory.
NO_PES_HEADER = {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF}


def payload_start(b, p, code):
    """(offset of the elementary stream data, sub-stream id or None) of the PES
    packet at p: past the MPEG-2 header or the MPEG-1 stuffing, STD buffer and time
    stamps, and for private stream 1 past the DVD sub-stream header: the id alone
    for subpictures (20-3f), id, frame count and first access unit for AC-3 and DTS
    (80-8f), and those and 3 bytes of sample format for LPCM (a0-af)."""
    q = p + 6
    if code in NO_PES_HEADER:
        return q, None
    if q < len(b) and b[q] & 0xC0 == 0x80:
        q = q + 3 + b[q + 2] if q + 2 < len(b) else len(b)
    else:
        while q < len(b) and b[q] == 0xFF:
            q += 1
        if q < len(b) and b[q] & 0xC0 == 0x40:
            q += 2
        if q < len(b):
            q += {0x20: 5, 0x30: 10}.get(b[q] & 0xF0, 1)
    if code != 0xBD or q >= len(b):
        return q, None
    sub = b[q]
    return q + (4 if 0x80 <= sub <= 0x8F else 7 if 0xA0 <= sub <= 0xAF else 1), sub


def audit(b):
    n = len(b)
    packs, sys_headers, bounds, streams = [], 0, [], {}
    end_codes, first_end, zero, truncated, after_end_unit = 0, None, 0, None, False
    broken = set()  # index of the pack after an end code
    p = 0
    while p < n:
        if n - p < 4:
            if b[p:] == bytes(n - p):
                zero += n - p
            else:
                truncated = p
            break
        if b[p:p + 3] == b'\0\0\0':
            zero += 1
            p += 1
            continue
        if b[p:p + 3] != b'\0\0\1':
            sys.exit('%s: cannot walk at %d' % (path, p))
        code = b[p + 3]
        if first_end is not None:
            after_end_unit = True
        if code == 0xB9:
            end_codes += 1
            if first_end is None:
                first_end = p
            broken.add(len(packs))
            p += 4
            continue
        if code == 0xBA:
            mpeg1 = (b[p + 4] & 0xF0) == 0x20
            need = 12 if mpeg1 else 14
            if p + need > n:
                truncated = p
                break
            length = 12 if mpeg1 else 14 + (b[p + 13] & 7)
            packs.append((p, mpeg1, mux_rate(b, p), scr(b, p)))
        elif code >= 0xBB:
            if p + 6 > n:
                truncated = p
                break
            length = 6 + (b[p + 4] << 8 | b[p + 5])
            if code == 0xBB:
                sys_headers += 1
                if length >= 9 and p + 9 <= n:
                    bounds.append(((b[p + 6] & 0x7F) << 15 | b[p + 7] << 7 | b[p + 8] >> 1) * 400)
            else:
                start, sub = payload_start(b, p, code)
                s = streams.setdefault((code, sub), [0, 0, 0])
                s[0] += 1
                s[1] += min(length, n - p)
                s[2] += max(0, min(p + length, n) - start)
        else:
            sys.exit('%s: start code %02x at %d' % (path, code, p))
        if p + length > n:
            truncated = p
            break
        p += length

    pairs = []  # (d, dt, continuous)
    for k in range(len(packs) - 1):
        d = packs[k + 1][0] - packs[k][0]
        dt = (packs[k + 1][3] - packs[k][3]) % WRAP
        ok = k + 1 not in broken and 0 < dt <= 18900000 and -(-d * 540000 // dt) <= 4194303
        pairs.append((d, dt, ok))
    cont = [q for q in pairs if q[2]]
    needed, needed_at, below = None, None, set()
    below_at = {limit: set() for limit in LIMITS.values()}  # need capped at a profile's limit
    for k in range(len(pairs)):
        sd = sdt = 0
        low = None
        for j in range(k, min(k + 8, len(pairs))):
            if not pairs[j][2]:
                break
            sd += pairs[j][0]
            sdt += pairs[j][1]
            low = packs[j][2] if low is None else min(low, packs[j][2])
            need = -(-sd * 540000 // (sdt + 300))
            if needed is None or need > needed:
                needed, needed_at = need, packs[k][0]
            if need > low:
                below.add(k)
                for limit, packs_below in below_at.items():
                    if limit > low:
                        packs_below.add(k)
    sizes = Counter(pairs[k][0] for k in range(len(pairs)) if k + 1 not in broken)
    pack_size = None
    if sizes:
        value, count = sizes.most_common(1)[0]
        pack_size = value if count * 100 >= sum(sizes.values()) * 99 else None
    layouts = {q[1] for q in packs}
    limit = LIMITS.get((layouts.pop() if len(layouts) == 1 else None, pack_size))
    if limit is not None and needed is not None and limit < needed and needed * 200 <= limit * 201:
        below = below_at[limit]  # the fields judged against the limit
    rates = [q[2] * 400 for q in packs]
    out = {
        'size': n,
        'packs': {'count': len(packs), 'mpeg1': sum(q[1] for q in packs),
                  'mpeg2': sum(not q[1] for q in packs),
                  'pack_size': pack_size},
        'system_headers': sys_headers,
        'streams': [{'id': '%02x' % c, 'sub': None if sub is None else '%02x' % sub,
                     'packets': s[0], 'bytes': s[1], 'payload_bytes': s[2]}
                    for (c, sub), s in sorted(streams.items(),
                                              key=lambda kv: (kv[0][0], kv[0][1] or 0))],
        'end_codes': end_codes, 'first_end_code': first_end,
        'bytes_after_end_code': None if first_end is None else n - first_end - 4,
        'truncated_at': truncated, 'zero_stuffing': zero,
        'program_mux_rate': {'min': min(rates, default=None), 'max': max(rates, default=None),
                             'zero': rates.count(0)},
        'rate_bound': {'min': min(bounds, default=None), 'max': max(bounds, default=None)},
        'scr': {'pairs': len(pairs), 'continuous': len(cont),
                'discontinuities': len(pairs) - len(cont)},
        'duration': round(sum(q[1] for q in cont) / 27e6, 3),
        'average_rate': sum(q[0] for q in cont) * 8 * 27000000 // sum(q[1] for q in cont)
        if cont else None,
        'needed_rate': None if needed is None else needed * 400,
        'needed_at': needed_at,
        'packs_below_needed': len(below),
        'duration_from_mux_rate': round(n / (packs[0][2] * 50), 3)
        if packs and packs[0][2] else None,
    }
    return out


psrate, failed = sys.argv[1], 0
for path in sys.argv[2:]:
    data = open(path, 'rb').read()
    mine = audit(data)
    run = subprocess.run([psrate, '--check', '--json', path], capture_output=True)
    theirs = json.loads(run.stdout)
    # one entry per stream id, one per sub-stream for private stream 1: compared
    # on the figures recomputed here, other keys (codec and its parameters) are
    # stream_check.py's business
    if isinstance(theirs.get('streams'), list):
        keys = ('id', 'sub', 'packets', 'bytes', 'payload_bytes')
        theirs['streams'] = [{k: e.get(k) for k in keys} for e in theirs['streams']]
    bad = [k for k in mine if theirs.get(k) != mine[k] and not (
        k.startswith('duration') and mine[k] is not None and theirs.get(k) is not None
        and abs(theirs[k] - mine[k]) <= 0.0015)]
    codes = ' '.join(f['code'] for f in theirs['findings'])
    print('%s: %s; needed %s, declared %s; findings: %s' % (
        path, 'agrees' if not bad else 'DIFFERS', mine['needed_rate'],
        mine['program_mux_rate']['max'], codes or '-'))
    for k in bad:
        print('  %s: psrate %s, here %s' % (k, json.dumps(theirs.get(k)), json.dumps(mine[k])))
    failed += bool(bad)
sys.exit(1 if failed else 0)
