#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a small MPEG-2 program stream that holds only DVD subpictures: private
stream 1 packets of sub-stream 0x20, one subpicture unit every two seconds, each a
16x2 bar shown for about a second. ffmpeg has no source of bitmap subtitles and
cannot turn text into them, so real_check makes this file for ffmpeg's dvdsub
decoder and encoder to carry into a DVD stream:
  ffmpeg ... -canvas_size 720x576 -f mpeg -i subs.mpg ... -c:s dvdsub -f dvd out.mpg

  tools/subpicture_source.py OUT.mpg [SECONDS]
"""
import struct, sys


def timestamp(prefix, t):
    """The 5 bytes of a PES PTS: prefix, t[32..30], marker, t[29..15], marker, t[14..0], marker."""
    return bytes([prefix << 4 | (t >> 29) & 0x0E | 1,
                  (t >> 22) & 0xFF, (t >> 14) & 0xFE | 1,
                  (t >> 7) & 0xFF, (t << 1) & 0xFE | 1])


def pack_header(scr_base, mux_rate_units):
    """An MPEG-2 pack header with extension 0 and no stuffing."""
    s = scr_base
    return b'\0\0\1\xba' + bytes([
        0x44 | (s >> 27) & 0x38 | (s >> 28) & 0x03,
        (s >> 20) & 0xFF,
        (s >> 12) & 0xF8 | 0x04 | (s >> 13) & 0x03,
        (s >> 5) & 0xFF,
        (s << 3) & 0xF8 | 0x04,          # SCR extension 0 starts here
        0x01,
        (mux_rate_units >> 14) & 0xFF, (mux_rate_units >> 6) & 0xFF,
        (mux_rate_units << 2) & 0xFC | 0x03,
        0xF8])


def subpicture_unit():
    """One SPU: two RLE lines (each 'fill the line with colour 1'), a control sequence
    that sets palette, alpha, area and line offsets and starts the display, and a
    second one that stops it about a second later."""
    rle = b'\x00\x01' + b'\x00\x01'                # top field line, bottom field line
    x1, x2, y1, y2 = 100, 115, 500, 501
    first = 4 + len(rle)                           # offset of the first control sequence
    cmds1 = (b'\x03\x32\x10' + b'\x04\xff\xf0'
             + b'\x05' + bytes([x1 >> 4, (x1 & 15) << 4 | x2 >> 8, x2 & 0xFF,
                                y1 >> 4, (y1 & 15) << 4 | y2 >> 8, y2 & 0xFF])
             + b'\x06' + struct.pack('>HH', 4, 6) + b'\x01\xff')
    second = first + 4 + len(cmds1)
    seq1 = struct.pack('>HH', 0, second) + cmds1
    seq2 = struct.pack('>HH', 88, second) + b'\x02\xff'   # 88 x 1024/90000 s: about 1 s
    body = rle + seq1 + seq2
    return struct.pack('>HH', 4 + len(body), first) + body


def main():
    out, seconds = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 20
    spu = subpicture_unit()
    data = bytearray()
    for k in range(seconds // 2):
        pts = 90000 * (2 * k + 1)
        payload = b'\x81\x80\x05' + timestamp(2, pts) + b'\x20' + spu
        data += pack_header(pts - 9000, 25200)
        data += b'\0\0\1\xbd' + struct.pack('>H', len(payload)) + payload
    data += b'\0\0\1\xb9'
    open(out, 'wb').write(data)


main()
