#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Deletes random single bytes from a real DVD stream and checks a --resync rewrite:
no byte outside a rate field changes, and every pack header that a byte-by-byte
search of the whole damaged file finds (marker bits, then 00 00 01 or 00 00 00
right after it) holds the new rate.

  ffmpeg -f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine -t 30 -target pal-dvd dvd.mpg
  tools/resync_check.py build/psrate dvd.mpg [TRIALS [DELETIONS]]
"""
import random, subprocess, sys
psrate, source = sys.argv[1], sys.argv[2]
src = open(source, 'rb').read()
rate_units = 9800000 // 400
def markers(d, p):
    if p + 14 > len(d): return False
    b = d
    if (b[p+4] & 0xF0) == 0x20:
        return (b[p+4]&0xF1)==0x21 and b[p+6]&1 and b[p+8]&1 and b[p+9]&0x80 and b[p+11]&1
    return (b[p+4]&0xC4)==0x44 and b[p+6]&4 and b[p+8]&4 and b[p+9]&1 and (b[p+12]&3)==3
def length(d, p):
    return 12 if (d[p+4]&0xF0)==0x20 else 14 + (d[p+13]&7)
def found_packs(d):
    out = []
    i = d.find(b'\x00\x00\x01\xba')
    while i >= 0:
        if i + 12 <= len(d) and markers(d, i):
            n = i + length(d, i)
            if n + 3 > len(d) or (d[n]==0 and d[n+1]==0 and d[n+2]<=1):
                out.append(i)
        i = d.find(b'\x00\x00\x01\xba', i + 1)
    return out
def mux_bytes(d, p, r):
    if (d[p+4]&0xF0)==0x20: return (9, bytes([r>>15|0x80, (r>>7)&255, (r<<1|1)&255]))
    return (10, bytes([r>>14, (r>>6)&255, (r<<2|3)&255]))
trials = int(sys.argv[3]) if len(sys.argv) > 3 else 5
deletions = int(sys.argv[4]) if len(sys.argv) > 4 else 100
failed = 0
for t in range(trials):
    rnd = random.Random(t)
    d = bytearray(src)
    for _ in range(deletions):
        del d[rnd.randrange(len(d))]
    d = bytes(d)
    open('damaged.mpg','wb').write(d)
    listing = subprocess.run([psrate, '--resync', 'damaged.mpg'], capture_output=True).stdout.decode('latin1')
    r = subprocess.run([psrate, '--resync', 'damaged.mpg', '9800000'], capture_output=True)
    assert r.returncode == 0, r
    w = open('damaged.mpg','rb').read()
    packs = found_packs(d)
    # rate fields: taken packs and system headers from the listing
    fields = set()
    listed_packs = set()
    for line in listing.splitlines():
        if line.startswith(' '): continue
        off = int(line.split(':')[0], 16)
        if 'PACK_START_CODE' in line:
            at, _ = mux_bytes(d, off, 0); fields.update(range(off+at, off+at+3)); listed_packs.add(off)
        elif 'SYSTEM_START_CODE' in line:
            fields.update(range(off+6, off+9))
    outside = [i for i in range(len(d)) if d[i] != w[i] and i not in fields]
    missed = [p for p in packs if w[p+mux_bytes(d,p,0)[0]:p+mux_bytes(d,p,0)[0]+3] != mux_bytes(d,p,rate_units)[1]]
    skipped = listing.count('SKIPPED')
    print(f'trial {t}: size {len(d)}, packs found by search {len(packs)}, listed packs {len(listed_packs)}, skipped ranges {skipped}, changed outside fields {len(outside)}, missed {missed[:10]} ({len(missed)})')
    failed += bool(outside or missed)
sys.exit(1 if failed else 0)
