#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A real DVD stream cut into files: psrate reads them as the one stream they are.

  tools/title_set_check.py PSRATE STREAM

STREAM is ffmpeg's -target pal-dvd output (every rate field 10080000, which is
verified). In a scratch folder under the current one:
 - a DVD folder VIDEO_TS: the stream cut at pack boundaries (uneven) into
   VTS_01_1..3.VOB and again into VTS_02_1..4.VOB, beside a VIDEO_TS.VOB and a
   VTS_01_0.VOB (a few packs of it) and IFO/BUP files that are not streams.
   psrate --check --json VIDEO_TS gives one object per unit, each title set's
   the same as --check --json of the whole stream (every key but "file",
   "files" and the *_in_file keys, which are checked against the cuts; in the
   messages "(DEC; FILE+0xHEX)" must name the right file and offset and is
   compared as "(DEC)"; the verdict's command names the files joined). Then
   psrate FILE 9000000 on each VOB of the title sets, the same check against
   the whole lowered stream, psrate --fix --json VIDEO_TS (its exit status as
   its verdicts say, the same before/written/after as --fix --json of the whole
   lowered stream), and the VOBs of each title set are the stream byte for byte
   with its video and private stream 1 bounds raised to the DVD profile's (what
   --fix also does to VIDEO_TS.VOB and VTS_01_0.VOB); the IFO and BUP files have
   not changed.
 - plain part files cut anywhere (table SPLITS: in a pack header, a PES packet,
   a rate field, a system header's rate_bound, a PES length field, the first
   and last byte, a read window's edge, an empty part; and a damaged variant
   cut in a skipped range, an end code and a truncated unit): --check --json
   --join gives the whole's figures as above; --join --rate=9000000 writes the
   bytes psrate WHOLE-COPY 9000000 writes, with its exit status; --fix --join
   of the lowered parts gives back the stream, bounds raised.
Prints one line per case; exits 1 when any check failed.
"""
import json, os, re, shlex, shutil, subprocess, sys, tempfile

psrate, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
ORIGINAL = open(source, 'rb').read()
DVD_RATE, LOW_RATE = 10080000, 9000000
failures = []


def fail(what, details=()):
    print('FAILED: ' + what)
    for line in list(details)[:8]:
        print('  ' + line)
    if len(details) > 8:
        print('  ... %d more' % (len(details) - 8))
    failures.append(what)


def run(*args):
    r = subprocess.run([psrate, *args], capture_output=True)
    return r.returncode, r.stdout.decode('utf-8', 'replace'), r.stderr.decode('utf-8', 'replace')


def report(*args):
    """psrate ARGS (a --check/--fix --json run) as (exit status, JSON)."""
    rc, out, err = run(*args)
    try:
        return rc, json.loads(out)
    except ValueError:
        return rc, {'no JSON': err.strip()[-300:]}


def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


# The units of an unbroken MPEG-2 stream, by their length fields.
def walk(d):
    units, p = [], 0
    while p + 4 <= len(d):
        assert d[p:p + 3] == b'\0\0\1', 'no start code at %d' % p
        code = d[p + 3]
        n = 14 + (d[p + 13] & 7) if code == 0xBA else 4 if code == 0xB9 else \
            6 + (d[p + 4] << 8 | d[p + 5])
        units.append((p, code, n))
        p += n
    return units


UNITS = walk(ORIGINAL)
PACKS = [p for p, c, _ in UNITS if c == 0xBA]
SYSTEM_HEADERS = [p for p, c, _ in UNITS if c == 0xBB]
VIDEO = [(p, n) for p, c, n in UNITS if c == 0xE0 and n > 1000]


def rate_fields(d):
    """Every program_mux_rate and rate_bound of the stream, in bit/s."""
    out = []
    for p, c, _ in walk(d):
        if c == 0xBA:
            out.append((d[p + 10] << 14 | d[p + 11] << 6 | d[p + 12] >> 2) * 400)
        elif c == 0xBB:
            out.append(((d[p + 6] & 0x7F) << 15 | d[p + 7] << 7 | d[p + 8] >> 1) * 400)
    return out


# The DVD profile's buffer bounds (scale, units) that --fix may set: the video
# entries and private stream 1's. Entries of other ids (0xB8 with no MPEG audio
# in the stream, 0xBF whose packets have no access units) stay.
DVD_BOUNDS = {0xE0: (1, 232), 0xB9: (1, 232), 0xBD: (1, 58)}


def bounds_fixed(d):
    """The stream with each system header's entry for video and private stream 1
    raised to the DVD profile's bound where it is below it and the stream has
    such packets (ffmpeg's buffers peak within the profile's sizes): two bytes
    an entry, as --fix writes them."""
    units = walk(d)
    present = {c for _, c, _ in units}
    present |= {0xB9} if 0xE0 in present else set()
    out = bytearray(d)
    for p, c, n in units:
        if c != 0xBB:
            continue
        for e in range(p + 12, p + n, 3):
            sid, scale, size = d[e], d[e + 1] >> 5 & 1, (d[e + 1] & 0x1F) << 8 | d[e + 2]
            want = DVD_BOUNDS.get(sid)
            if sid not in present or want is None:
                continue
            if size * (1024 if scale else 128) < want[1] * (1024 if want[0] else 128):
                out[e + 1] = 0xC0 | want[0] << 5 | want[1] >> 8
                out[e + 2] = want[1] & 0xFF
    return bytes(out)


FIXED = bounds_fixed(ORIGINAL)


def at(units, share):
    return units[int(len(units) * share)]


# --- comparing a joined stream's report with the whole stream's ---------------

def locate(parts, offset):
    """(file, offset in it) of a stream offset; parts: [(path, size, start)]."""
    for path, size, start in parts:
        if start <= offset < start + size:
            return path, offset - start
    path, size, start = [p for p in parts if p[1]][-1]
    return path, offset - start  # the end of the stream


IN_FILE = re.compile(r'\((\d+); (.+?)\+0x([0-9a-fA-F]+)\)')


def normalise(r, parts, whole_name, problems):
    """The report r of a joined stream as the whole stream's would read: file,
    files and the *_in_file keys checked against parts and dropped, offsets in
    messages checked and put as a single file's, the command's operands back to
    the whole file's."""
    r = json.loads(json.dumps(r))
    listed = [(f['file'], f['size'], f['start']) for f in r.pop('files', [])]
    if listed != parts:
        problems.append('files: %s, not %s' % (listed, parts))
    r.pop('file', None)

    def in_file(obj, key):
        got = obj.pop(key + '_in_file', 'missing')
        want = None if obj.get(key) is None else dict(zip(('file', 'offset'), locate(parts, obj[key])))
        if got != want:
            problems.append('%s_in_file: %s, not %s (%s %s)' % (key, got, want, key, obj.get(key)))

    for key in ('first_end_code', 'truncated_at', 'needed_at'):
        in_file(r, key)
    in_file(r.get('skipped', {}), 'first')

    def message(text):
        def one(m):
            want = locate(parts, int(m.group(1)))
            got = (m.group(2), int(m.group(3), 16))
            if got != want:
                problems.append('message offset %s names %s+0x%x, not %s+0x%x'
                                % (m.group(1), got[0], got[1], want[0], want[1]))
            return '(%s)' % m.group(1)
        return IN_FILE.sub(one, text)

    for f in r.get('findings', []):
        f['message'] = message(f['message'])
    command = (r.get('verdict') or {}).get('command')
    if command:
        operands = '--join ' + ' '.join(shlex.quote(p) for p, _, _ in parts)
        if operands in command:
            r['verdict']['command'] = command.replace(operands, shlex.quote(whole_name))
        else:
            problems.append('the command does not name the files joined: ' + command)
    return r


def differences(a, b, path=''):
    """Where the JSON values a (whole) and b (joined) differ."""
    if isinstance(a, dict) and isinstance(b, dict):
        out = []
        for k in list(a) + [k for k in b if k not in a]:
            if k not in a or k not in b:
                out.append('%s.%s: %s in the whole, %s joined' % (
                    path, k, json.dumps(a.get(k, '(none)')), json.dumps(b.get(k, '(none)'))))
            else:
                out += differences(a[k], b[k], path + '.' + k)
        return out
    if isinstance(a, list) and isinstance(b, list) and len(a) == len(b):
        return [d for i, (x, y) in enumerate(zip(a, b)) for d in differences(x, y, '%s[%d]' % (path, i))]
    if a != b or type(a) != type(b):
        return ['%s: %s in the whole, %s joined' % (path or '(top)', json.dumps(a)[:300], json.dumps(b)[:300])]
    return []


def compare(what, whole, whole_name, joined, parts):
    """whole and joined: (exit status, --check JSON). True when the same."""
    problems = []
    if whole[0] != joined[0]:
        problems.append('exit status %d, the whole %d' % (joined[0], whole[0]))
    if 'no JSON' in joined[1]:
        problems.append('no JSON: ' + joined[1]['no JSON'])
    else:
        w = dict(whole[1])
        w.pop('file', None)
        problems += differences(w, normalise(joined[1], parts, whole_name, problems))
    if problems:
        fail(what, problems)
    return not problems


def compare_fix(what, whole, whole_name, joined, parts):
    """--fix --json objects {before, written, after}."""
    problems = []
    if whole[0] != joined[0]:
        problems.append('exit status %d, the whole %d' % (joined[0], whole[0]))
    for key in ('before', 'after'):
        w, j = whole[1].get(key), joined[1].get(key)
        if w is None or j is None:
            if w is not j:
                problems.append('%s: %s in the whole, %s joined' % (key, w is not None, j is not None))
            continue
        w = dict(w)
        w.pop('file', None)
        problems += [key + d for d in differences(w, normalise(j, parts, whole_name, problems))]
    problems += ['written' + d for d in differences(whole[1].get('written'), joined[1].get('written'))]
    if problems:
        fail(what, problems)
    return not problems


# --- the cases ------------------------------------------------------------------

def damaged_variant():
    """The stream with a broken pack header at 30% (a skipped range), an end code
    before the pack at 60% (units after it) and its last 700 bytes cut off (a
    truncated unit); with a cut inside each of the three."""
    broken, end = at(PACKS, 0.3), at(PACKS, 0.6)
    d = bytearray(ORIGINAL)
    d[broken:broken + 20] = b'\xaa' * 20
    d[end:end] = b'\0\0\1\xb9'
    d = bytes(d[:-700])
    return d, [broken + 1000, end + 2, len(d) - 300]


def pes_middle(share):
    p, n = at(VIDEO, share)
    return p + n // 2 + 1


# where the files after the first begin, by what the cuts fall in; n: the size
CUTS = {
    'a pack header (SCR), a PES packet, a program_mux_rate':
        lambda n: [at(PACKS, 0.23) + 5, pes_middle(0.41), at(PACKS, 0.77) + 11],
    'a program_mux_rate at +11 and +12 (a part of 1 byte), a rate_bound at +7':
        lambda n: sorted([at(PACKS, 0.5) + 11, at(PACKS, 0.5) + 12, at(SYSTEM_HEADERS, 0.7) + 7]),
    'the first byte, a PES length field, a read window edge, an empty part, the last byte':
        lambda n: [1, at(VIDEO, 0.2)[0] + 4, (1 << 20) - 3, (1 << 20) - 3, n - 1],
}
# (what the cuts fall in, the stream's variant)
SPLITS = [(what, variant) for variant in ('as made', 'lowered') for what in CUTS] + \
    [('a skipped range, an end code, a truncated unit', 'damaged')]


# finding codes the whole stream of a variant must have (whose messages, with
# offsets, the joined stream's must match)
VARIANT_FINDINGS = {'lowered': {'mux_rate_below_needed'},
                    'damaged': {'damaged', 'data_after_end_code', 'truncated'}}


# the options of each --rate run on a variant (default: one run without)
RATE_OPTIONS = {'damaged': [[], ['--resync', '--past-end']]}


def cut(data, cuts, names):
    bounds = [0] + list(cuts) + [len(data)]
    parts = []
    for name, a, b in zip(names, bounds, bounds[1:]):
        write(name, data[a:b])
        parts.append((name, b - a, a))
    return parts


def lowered(name, data):
    write(name, data)
    rc, _, err = run('-q', name, str(LOW_RATE))
    fields = set(rate_fields(read(name)))
    if rc != 0 or fields != {LOW_RATE}:
        fail('psrate %s %d: exit %d, rate fields %s %s' % (name, LOW_RATE, rc, sorted(fields),
                                                           err.strip()))
    return read(name)


def plain_parts():
    low = lowered('low.mpg', ORIGINAL)
    damaged, damaged_cuts = damaged_variant()
    variants = {'as made': ORIGINAL, 'lowered': low, 'damaged': damaged}
    for what, variant in SPLITS:
        data = variants[variant]
        cuts = damaged_cuts if variant == 'damaged' else CUTS[what](len(data))
        whole_name = 'whole.mpg'
        write(whole_name, data)
        names = ['part%d.mpg' % (i + 1) for i in range(len(cuts) + 1)]
        parts = cut(data, cuts, names)
        label = '%s, cut in %s (at %s)' % (variant, what, ', '.join(map(str, cuts)))
        whole = report('--check', '--json', whole_name)
        codes = {f['code'] for f in whole[1].get('findings', [])}
        if not VARIANT_FINDINGS.get(variant, set()) <= codes:
            fail('%s: the whole stream has the findings %s, not all of %s'
                 % (variant, sorted(codes), sorted(VARIANT_FINDINGS[variant])))
        ok = compare('--check --join: ' + label, whole, whole_name,
                     report('--check', '--json', '--join', *names), parts)
        # --rate across the cuts writes what a rewrite of the whole writes
        for options in RATE_OPTIONS.get(variant, [[]]):
            write(whole_name, data)
            parts = cut(data, cuts, names)
            whole_rc, _, _ = run('-q', *options, whole_name, str(LOW_RATE))
            rc, _, err = run('-q', *options, '--join', '--rate=%d' % LOW_RATE, *names)
            joined, rewritten = b''.join(read(n) for n in names), read(whole_name)
            if rc != whole_rc or joined != rewritten:
                first = next((i for i, (a, b) in enumerate(zip(joined, rewritten)) if a != b),
                             None if len(joined) == len(rewritten) else min(len(joined), len(rewritten)))
                fail('psrate %s--join --rate=%d: %s' % (''.join(o + ' ' for o in options), LOW_RATE, label),
                     ['exit %d (the whole: %d) %s' % (rc, whole_rc, err.strip()[-200:]),
                      'bytes %s (first difference at %s)' % ('the same' if joined == rewritten
                                                            else 'differ', first)])
                ok = False
        if variant == 'lowered':
            # --fix across the cuts puts the stream back
            write(whole_name, data)
            whole_fix = report('--fix', '--json', whole_name)
            parts = cut(data, cuts, names)
            ok &= compare_fix('--fix --join: ' + label, whole_fix, whole_name,
                              report('--fix', '--json', '--join', *names), parts)
            if b''.join(read(n) for n in names) != FIXED:
                fail('--fix --join: %s: the parts are not the stream as made, bounds raised'
                     % label)
                ok = False
        if ok:
            rates = ' and '.join(' '.join(o) or 'plain' for o in RATE_OPTIONS.get(variant, [[]]))
            print('%s: --check, --rate (%s)%s across %d parts as the whole stream'
                  % (label, rates, ', --fix' if variant == 'lowered' else '', len(names)))
        for n in names + [whole_name]:
            os.remove(n)


def title_sets():
    pack = 2048
    packs = len(ORIGINAL) // pack
    if len(ORIGINAL) % pack or PACKS != list(range(0, len(ORIGINAL), pack)):
        fail('%s is not made of %d-byte packs' % (source, pack))
        return
    os.mkdir('VIDEO_TS')
    others = {
        'VIDEO_TS/VIDEO_TS.IFO': b'DVDVIDEO-VMG' + bytes(2036),
        'VIDEO_TS/VIDEO_TS.BUP': b'DVDVIDEO-VMG' + bytes(2036),
        'VIDEO_TS/VIDEO_TS.VOB': ORIGINAL[:40 * pack],
        'VIDEO_TS/VTS_01_0.IFO': b'DVDVIDEO-VTS' + bytes(2036),
        'VIDEO_TS/VTS_01_0.VOB': ORIGINAL[-60 * pack:],
    }
    for name, data in others.items():
        write(name, data)
    # title set: the packs where its files after the first begin
    sets = {1: [int(packs * 0.13), int(packs * 0.6)],
            2: [int(packs * 0.07), int(packs * 0.31), int(packs * 0.83)]}
    parts = {}
    for ts, at_packs in sets.items():
        names = ['VIDEO_TS/VTS_%02d_%d.VOB' % (ts, i + 1) for i in range(len(at_packs) + 1)]
        parts[ts] = cut(ORIGINAL, [p * pack for p in at_packs], names)
    expected_names = ['VIDEO_TS/VIDEO_TS.VOB', 'VIDEO_TS/VTS_01_0.VOB',
                      'VIDEO_TS/VTS_01_1..3.VOB', 'VIDEO_TS/VTS_02_1..4.VOB']
    singles = {'VIDEO_TS/VIDEO_TS.VOB': 'video_ts.vob', 'VIDEO_TS/VTS_01_0.VOB': 'vts_01_0.vob'}
    for name, copy in singles.items():
        write(copy, others[name])

    def check_folder(stage, whole_name):
        rc, got = report('--check', '--json', 'VIDEO_TS')
        names = [o.get('file') for o in got] if isinstance(got, list) else got
        if names != expected_names:
            fail('%s: psrate --check --json VIDEO_TS gives %s, not %s' % (stage, names, expected_names))
            return False
        whole = report('--check', '--json', whole_name)
        ok, statuses = True, []
        for obj, name in zip(got, expected_names):
            if name in singles:
                alone = report('--check', '--json', singles[name])
                statuses.append(alone[0])
                if alone[1]['verdict']['command']:  # names the file
                    alone[1]['verdict']['command'] = alone[1]['verdict']['command'].replace(
                        singles[name], name)
                diff = differences({k: v for k, v in alone[1].items() if k != 'file'},
                                   {k: v for k, v in obj.items() if k != 'file'})
                if diff:
                    fail('%s: %s differs from the file checked alone' % (stage, name), diff)
                    ok = False
            else:
                ts = int(name[len('VIDEO_TS/VTS_'):][:2])
                statuses.append(whole[0])
                ok &= compare('%s: title set %s' % (stage, name), whole, whole_name,
                              (whole[0], obj), parts[ts])
        want = 1 if 1 in statuses else 2 if 2 in statuses else 3 if 3 in statuses else 0
        if rc != want:
            fail('%s: psrate --check VIDEO_TS exits %d, its units %s' % (stage, rc, statuses))
            ok = False
        return ok

    sizes = ', '.join('VTS_%02d: %s' % (ts, '+'.join(str(s // pack) for _, s, _ in p))
                      for ts, p in parts.items())
    write('whole.mpg', ORIGINAL)
    if check_folder('as made', 'whole.mpg'):
        print('VIDEO_TS (packs %s): --check, each title set as the whole stream' % sizes)

    low = lowered('whole.mpg', ORIGINAL)
    for ts in parts:
        for name, _, _ in parts[ts]:
            rc, _, err = run('-q', name, str(LOW_RATE))
            if rc != 0:
                fail('psrate %s %d: exit %d %s' % (name, LOW_RATE, rc, err.strip()))
    lowered_ok = all(b''.join(read(n) for n, _, _ in p) == low for p in parts.values())
    if not lowered_ok:
        fail('psrate VOB %d on each VOB: the VOBs are not the whole stream rewritten' % LOW_RATE)
    if check_folder('lowered to %d' % LOW_RATE, 'whole.mpg') and lowered_ok:
        print('VIDEO_TS: psrate VOB %d on each VOB, --check, each title set as the whole '
              'stream lowered' % LOW_RATE)

    whole_fix = report('--fix', '--json', 'whole.mpg')
    rc, got = report('--fix', '--json', 'VIDEO_TS')
    ok = isinstance(got, list) and [o.get('before', {}).get('file') for o in got] == expected_names
    if not ok:
        fail('psrate --fix --json VIDEO_TS gives %s (exit %d)' % (str(got)[:300], rc))
        return
    problem = any(f['severity'] == 'problem' for o in got
                  for f in (o['after'] or o['before'])['findings'])
    want = 2 if problem else 0
    if rc != want:
        fail('psrate --fix VIDEO_TS exits %d, its verdicts say %d' % (rc, want))
        ok = False
    for obj, name in zip(got, expected_names):
        if name in singles:
            if obj['written'] is None or obj['written']['packs'] or obj['written']['rate']:
                fail('--fix VIDEO_TS: %s: written %s, not the bounds alone' % (name, obj['written']))
                ok = False
        else:
            ts = int(name[len('VIDEO_TS/VTS_'):][:2])
            # the folder's exit status is checked above: not the unit's own
            ok &= compare_fix('--fix VIDEO_TS: ' + name, whole_fix, 'whole.mpg',
                              (whole_fix[0], obj), parts[ts])
            if b''.join(read(n) for n, _, _ in parts[ts]) != FIXED:
                fail('--fix VIDEO_TS: the VOBs of %s are not the stream as made, bounds raised'
                     % name)
                ok = False
    for name, data in others.items():
        want = bounds_fixed(data) if name.endswith('.VOB') else data
        if read(name) != want:
            fail('--fix VIDEO_TS: %s is not %s' % (name, 'as made, bounds raised'
                                                  if name.endswith('.VOB') else 'as made'))
            ok = False
    if ok:
        print('VIDEO_TS: --fix exits %d, writes %s to each title set and the bounds alone to the '
              'other VOBs: the VOBs are the stream as made, byte for byte, with the bounds '
              'raised' % (rc, got[2]['written']))


def main():
    fields = rate_fields(ORIGINAL)
    if set(fields) != {DVD_RATE}:
        fail('%s: the rate fields hold %s, not only %d' % (source, sorted(set(fields)), DVD_RATE))
        return 1
    print('%s: %d packs, %d rate fields, all %d' % (os.path.basename(source), len(PACKS), len(fields),
                                                     DVD_RATE))
    here = os.getcwd()
    work = tempfile.mkdtemp(prefix='title-sets.', dir=here)
    try:
        os.chdir(work)
        title_sets()
        plain_parts()
    finally:
        os.chdir(here)
        shutil.rmtree(work)
    return 1 if failures else 0


sys.exit(main())
