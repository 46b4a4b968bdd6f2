#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the verdict of psrate --check --json against what is expected of a file.

  tools/verdict_check.py build/psrate FILE EXPECTED [FILE EXPECTED ...]

EXPECTED is one of
  within-limit  a stream made to a profile by its muxer: the verdict is no re-encode,
                a suggested rate (if any) is not above the profile's rate_limit, and
                a finding scr_above_profile (if any) is a note
  clean         no finding of severity problem
  remux         the verdict is a remux, with an ffmpeg command
  remuxed       the output of such a command: no problem whose remedy is remux or
                re-encode is left, but for buffer findings whose every buffer is
                an LPCM sub-stream (the command fixes the rate fields; ffmpeg's
                muxer declares 4 KiB for LPCM and overflows it at any rate, so
                a remux of an LPCM track carries the overflow along)
  rewrite       the verdict is a rewrite to a suggested rate, not above the
                profile's rate_limit when there is a profile, with psrate --fix
And for every file, whatever is expected: the exit status is 2 when a finding is a
problem and 0 otherwise, the verdict's suggested rate is the top-level one, a
suggested rate is given exactly when the verdict is a rewrite, and a verdict of none
has a command exactly when a note's remedy is rewrite (the buffer bounds), and then
it is psrate --fix FILE.

One line per file; exit status 0 when every file is as expected, 1 otherwise.
"""
import json, subprocess, sys

KINDS = ('within-limit', 'clean', 'remux', 'remuxed', 'rewrite')


def judge(r, rc, kind, path):
    errors = []
    findings = r['findings']
    problems = [f for f in findings if f['severity'] == 'problem']
    v = r['verdict']
    remedy, suggested = v['remedy'], r['suggested_rate']
    limits = r['profile_limits']
    limit = limits['rate_limit'] if limits else None

    if rc != (2 if problems else 0):
        errors.append('exit status %d with %d problem(s)' % (rc, len(problems)))
    if v['suggested_rate'] != suggested:
        errors.append('verdict suggested_rate %s, top-level %s' % (v['suggested_rate'], suggested))
    if (suggested is not None) != (remedy == 'rewrite'):
        errors.append('suggested_rate %s with verdict %s' % (suggested, remedy))
    # with no remedy, a command only for notes that --fix mends (the buffer bounds)
    fixable = any(f['remedy'] == 'rewrite' for f in findings)
    if remedy is None and not fixable and v['command'] is not None:
        errors.append('a command without a remedy: %s' % v['command'])
    if remedy is None and fixable and v['command'] != 'psrate --fix ' + path:
        errors.append('bound notes to rewrite, command %s' % json.dumps(v['command']))

    if kind == 'within-limit':
        if remedy == 'reencode':
            errors.append('verdict reencode')
        if suggested is not None and (limit is None or suggested > limit):
            errors.append('suggested_rate %s above the rate_limit %s' % (suggested, limit))
        for f in findings:
            if f['code'] == 'scr_above_profile' and f['severity'] != 'note':
                errors.append('scr_above_profile is a %s' % f['severity'])
    elif kind == 'clean':
        if problems:
            errors.append('problems: ' + ' '.join(f['code'] for f in problems))
    elif kind == 'remux':
        if remedy != 'remux':
            errors.append('verdict %s, not remux' % remedy)
        elif not (v['command'] or '').startswith('ffmpeg '):
            errors.append('remux command %s' % json.dumps(v['command']))
    elif kind == 'remuxed':
        # the buffers behind buffer_overflow and buffer_underflow: left out when LPCM alone
        bad = {'buffer_overflow': 'overflows', 'buffer_underflow': 'underflows'}
        lpcm_only = set()
        for code, field in bad.items():
            codecs = {b['codec'] for b in r['buffers'] if b['modelled'] and b[field] > 0}
            if codecs == {'lpcm'}:
                lpcm_only.add(code)
        left = [f['code'] for f in problems if f['remedy'] in ('remux', 'reencode')
                and f['code'] not in lpcm_only]
        if left:
            errors.append('problems still asking for a remux or re-encode: ' + ' '.join(left))
    elif kind == 'rewrite':
        if remedy != 'rewrite':
            errors.append('verdict %s, not rewrite' % remedy)
        if suggested is None or (limit is not None and suggested > limit):
            errors.append('suggested_rate %s (rate_limit %s)' % (suggested, limit))
        if '--fix' not in (v['command'] or '') or path not in (v['command'] or ''):
            errors.append('rewrite command %s' % json.dumps(v['command']))
    return errors


def main():
    args = sys.argv[1:]
    if len(args) < 3 or len(args) % 2 == 0:
        sys.exit(__doc__)
    psrate, failed = args[0], 0
    for path, kind in zip(args[1::2], args[2::2]):
        if kind not in KINDS:
            sys.exit('%s: unknown expectation %s' % (path, kind))
        run = subprocess.run([psrate, '--check', '--json', path], capture_output=True)
        if run.returncode not in (0, 2):
            print('%s: psrate --check exited %d: %s'
                  % (path, run.returncode, run.stderr.decode().strip()))
            failed += 1
            continue
        r = json.loads(run.stdout)
        errors = judge(r, run.returncode, kind, path)
        v, lim = r['verdict'], r['profile_limits']
        print('%s: %s %s: verdict %s, suggested %s, %s limit %s; findings %s' % (
            path, kind, 'as expected' if not errors else 'NOT AS EXPECTED',
            v['remedy'] or '-', r['suggested_rate'] or '-', r['profile'],
            lim['rate_limit'] if lim else '-',
            ' '.join('%s(%s)' % (f['code'], f['severity'][0]) for f in r['findings']) or '-'))
        for e in errors:
            print('  ' + e)
        failed += bool(errors)
    sys.exit(1 if failed else 0)


main()
