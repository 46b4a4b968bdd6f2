#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Compares the streams of psrate --check --json with ffprobe's: every audio, video
and subtitle stream that ffprobe lists must be an entry of psrate's "streams" with
the same stream id (and sub-stream, for private stream 1), the same codec and the
same picture size, frame rate, aspect, sample rate, channels, sample size and
declared bit rate; and every entry to which psrate gives a codec must be one that
ffprobe lists.

  tools/stream_check.py build/psrate dvd.mpg [MORE.mpg ...]

One line per file says what was compared; each disagreement gets a line of its own.
Exit status 0 when every file agrees, 1 otherwise.
"""
import json, subprocess, sys
from fractions import Fraction

# ffprobe's codec_name -> psrate's codec
CODECS = {'mpeg1video': 'mpeg1video', 'mpeg2video': 'mpeg2video', 'mp1': 'mp1', 'mp2': 'mp2',
          'mp3': 'mp3', 'ac3': 'ac3', 'dts': 'dts', 'pcm_dvd': 'lpcm',
          'dvd_subtitle': 'subpicture'}


def key_of(probe_id):
    """ffprobe's "id" as psrate's (id, sub): a PES stream is 0x100 + stream_id
    ("0x1e0", "0x1c0", "0x1bf"); a sub-stream of private stream 1 is its sub-stream
    id alone ("0x80" AC-3, "0x88" DTS, "0xa0" LPCM, "0x20" subpictures)."""
    v = int(probe_id, 16)
    if 0x1B9 < v <= 0x1FF:
        return ('%02x' % (v & 0xFF), None)
    if v <= 0xFF:
        return ('bd', '%02x' % v)
    raise ValueError('ffprobe id %s is neither a stream id nor a sub-stream id' % probe_id)


def name(key):
    return key[0] if key[1] is None else '%s/%s' % key


def ratio(text):
    """'25', '30000/1001', '25/1', '4:3', '2.21:1' as an exact fraction."""
    for sep in '/:':
        if sep in text:
            a, b = text.split(sep)
            return Fraction(a) / Fraction(b)
    return Fraction(text)


def compare(mine, probe, out):
    """Appends (field, psrate's value, ffprobe's value) to out for each field that
    differs and returns (field, psrate's value) for each field compared."""
    compared = []

    def same(field, ours, theirs):
        compared.append((field, ours))
        if ours != theirs:
            out.append((field, ours, theirs))

    ours_codec = mine.get('codec')
    theirs_codec = CODECS.get(probe['codec_name'], probe['codec_name'])
    same('codec', ours_codec, theirs_codec)
    if ours_codec != theirs_codec:
        return compared
    kind = probe['codec_type']
    if kind == 'video':
        same('width', mine.get('width'), probe.get('width'))
        same('height', mine.get('height'), probe.get('height'))
        # psrate's frame rate is the sequence header's (frame_rate_code, with the
        # MPEG-2 extension's n/d), in lowest terms without "/1"; ffprobe's
        # r_frame_rate is guessed from the timestamps, and agrees for streams
        # without 3:2 pulldown, as all of real_check's are.
        fr = mine.get('frame_rate')
        compared.append(('frame_rate', fr))
        if not isinstance(fr, str) or ratio(fr) != ratio(probe['r_frame_rate']):
            out.append(('frame_rate', fr, probe['r_frame_rate']))
        elif str(ratio(fr)) != fr:
            out.append(('frame_rate (not N or N/D in lowest terms)', fr, probe['r_frame_rate']))
        # MPEG-2's aspect_ratio_information is the display aspect, except code 1:
        # square samples. MPEG-1's code is the pel aspect ratio, a table of
        # heights/widths that ffprobe shows rounded to its own fraction: not compared.
        if mine.get('mpeg') == 2 and mine.get('aspect') is not None:
            if mine['aspect'] == '1:1':
                same('aspect', '1:1', probe.get('sample_aspect_ratio'))
            else:
                compared.append(('aspect', mine['aspect']))
                dar = probe.get('display_aspect_ratio')
                if dar is None or ratio(mine['aspect']) != ratio(dar):
                    out.append(('aspect', mine['aspect'], dar))
        # ffprobe gives the sequence header's bit_rate for MPEG-1 video but none
        # for MPEG-2 video in a program stream; psrate gives null for the VBR code.
        # Compared when both have one.
        if mine.get('bit_rate') is not None and probe.get('bit_rate') is not None:
            same('bit_rate', mine['bit_rate'], int(probe['bit_rate']))
    elif kind == 'audio':
        same('sample_rate', mine.get('sample_rate'), int(probe['sample_rate']))
        same('channels', mine.get('channels'), probe.get('channels'))
        if ours_codec == 'lpcm':
            same('bits', mine.get('bits'), int(probe.get('bits_per_raw_sample') or 0))
        # The declared rate of the frame headers. psrate gives null for DTS, whose
        # frame header rate is nominal (ffprobe reports one it computes from the
        # frame size and duration): compared when psrate has one.
        if mine.get('bit_rate') is not None:
            same('bit_rate', mine['bit_rate'],
                 int(probe['bit_rate']) if probe.get('bit_rate') else None)
    # subtitles: ffprobe knows no size or rate of a DVD subpicture stream from
    # the program stream alone, and psrate gives none: the codec is all.
    return compared


def check(psrate, path):
    run = subprocess.run([psrate, '--check', '--json', path], capture_output=True)
    if run.returncode not in (0, 2):
        return ['psrate --check exited %d: %s' % (run.returncode, run.stderr.decode().strip())], ''
    report = json.loads(run.stdout)
    probe = subprocess.run(['ffprobe', '-v', 'error', '-show_streams', '-of', 'json', path],
                           capture_output=True)
    if probe.returncode != 0:
        return ['ffprobe exited %d: %s' % (probe.returncode, probe.stderr.decode().strip())], ''

    errors, ours = [], {}
    for s in report['streams']:
        key = (s['id'], s['sub'])
        if key in ours:
            errors.append('psrate lists stream %s twice' % name(key))
        if (s['sub'] is None) != (s['id'] != 'bd'):
            errors.append('psrate stream %s: sub %s (a sub-stream is for bd alone)'
                          % (s['id'], json.dumps(s['sub'])))
        ours[key] = s

    summary, seen = [], set()
    for p in json.loads(probe.stdout)['streams']:
        # data streams (ffmpeg's dvd_nav_packet for 0x1bf) are not elementary streams
        if p['codec_type'] not in ('audio', 'video', 'subtitle'):
            continue
        key = key_of(p['id'])
        seen.add(key)
        mine = ours.get(key)
        if mine is None:
            errors.append('ffprobe stream %s (%s, id %s) is missing from psrate\'s streams'
                          % (name(key), p['codec_name'], p['id']))
            continue
        diffs = []
        fields = compare(mine, p, diffs)
        for field, a, b in diffs:
            errors.append('%s %s: psrate %s, ffprobe %s'
                          % (name(key), field, json.dumps(a), json.dumps(b)))
        summary.append('%s %s' % (name(key), ' '.join('%s=%s' % f for f in fields)))
    for key, s in sorted(ours.items(), key=lambda kv: (kv[0][0], kv[0][1] or '')):
        if s.get('codec') is not None and key not in seen:
            errors.append('psrate stream %s (%s) is not among ffprobe\'s streams'
                          % (name(key), s['codec']))
    if not summary:
        errors.append('ffprobe lists no audio, video or subtitle stream')
    return errors, '; '.join(summary)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    psrate, failed = sys.argv[1], 0
    for path in sys.argv[2:]:
        errors, summary = check(psrate, path)
        print('%s: %s: %s' % (path, 'agrees' if not errors else 'DIFFERS', summary or '-'))
        for e in errors:
            print('  ' + e)
        failed += bool(errors)
    sys.exit(1 if failed else 0)


main()
