#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Offline judging benchmark: pollensift --judge over N saved messages at R rules.

It writes messages 0..N-1 of the whole-run benchmark's corpus (bench/corpus.py) once as a Maildir
and once as an mbox file, and the rc file of bench/rules.py with R rules, then runs
pollensift -v 3 --judge on each several times (output to /dev/null) and prints the wall time, the
messages per second and the summary line of the last run. Needs no server and no root:

    bench/judge.py --pollensift build/release/src/driver/pollensift
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import rules  # noqa: E402

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))


def write_mail(work, n, seed):
    maildir = os.path.join(work, 'Maildir')
    for sub in ('cur', 'new', 'tmp'):
        os.makedirs(os.path.join(maildir, sub))
    total = 0
    with open(os.path.join(work, 'mbox'), 'wb') as mbox:
        for i in range(n):
            message, _ = corpus.message(seed, i)
            total += len(message)
            with open(os.path.join(maildir, 'new', '%010d.M%d.bench' % (1700000000 + i, i)),
                      'wb') as f:
                f.write(message)
            escaped = b'\n'.join(b'>' + line if line.lstrip(b'>').startswith(b'From ') else line
                                 for line in message.split(b'\n'))
            mbox.write(b'From bench@example.org Thu May  9 07:00:00 2024\n' + escaped + b'\n')
    return maildir, os.path.join(work, 'mbox'), total


def write_real_mail(work, data):
    """The corpus's 6,046 messages as one Maildir and one mbox file."""
    maildir = os.path.join(work, 'Maildir')
    for sub in ('cur', 'new', 'tmp'):
        os.makedirs(os.path.join(maildir, sub))
    total = 0
    with open(os.path.join(work, 'mbox'), 'wb') as mbox:
        for group, name, text in corpus.real_messages(data):
            total += len(text)
            with open(os.path.join(maildir, 'cur', '%s-%s' % (group, name)), 'wb') as f:
                f.write(text)
            escaped = b'\n'.join(b'>' + line if line.lstrip(b'>').startswith(b'From ') else line
                                 for line in text.split(b'\n'))
            mbox.write(b'From bench@example.org Thu May  9 07:00:00 2024\n' + escaped + b'\n')
    return maildir, os.path.join(work, 'mbox'), total


def judge(binary, rc, path, runs):
    """Wall seconds, CPU seconds (user + system) and peak resident KiB of each run, and the
    summary line of the last."""
    times, cpus, peaks = [], [], []
    summary = ''
    for _ in range(runs):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            start = time.perf_counter()
            p = subprocess.Popen([binary, '-M', rc, '-v', '3', '--judge', path], stdout=out,
                                 stderr=err)
            _, status, usage = os.wait4(p.pid, 0)
            times.append(time.perf_counter() - start)
            p.returncode = os.waitstatus_to_exitcode(status)
            cpus.append(usage.ru_utime + usage.ru_stime)
            peaks.append(usage.ru_maxrss)
            out.seek(0)
            err.seek(0)
            if p.returncode != 0:
                sys.exit('judge.py: pollensift failed (status %d): %s' % (
                    p.returncode, err.read().decode(errors='replace')[-2000:]))
            summary = out.read().decode(errors='replace').splitlines()[-1].split(
                ' pollensift: ')[-1]
    return times, cpus, peaks, summary


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--pollensift', default=os.path.join(ROOT, 'build', 'release', 'src', 'driver',
                                                        'pollensift'))
    p.add_argument('--messages', type=int, default=6000)
    p.add_argument('--rules', default='0,1000', help='rule counts (default %(default)s)')
    p.add_argument('--runs', type=int, default=5)
    p.add_argument('--seed', default='1')
    p.add_argument('--shape', choices=['block', 'heavy', 'mixed'], default='block',
                   help='block-list rules, the heavy or the mixed shape of bench/rules.py')
    p.add_argument('--real', metavar='DIR',
                   help='judge the SpamAssassin corpus of bench/learn.py (its data folder, as '
                   'fetched into the cache) instead of generated mail')
    p.add_argument('--startup', action='store_true',
                   help='also judge the first message alone: the start-up, to subtract')
    args = p.parse_args(argv)

    work = tempfile.mkdtemp(prefix='judge-bench-')
    try:
        if args.real:
            maildir, mbox, total = write_real_mail(work, args.real)
            args.messages = len(os.listdir(os.path.join(maildir, 'cur')))
        else:
            maildir, mbox, total = write_mail(work, args.messages, args.seed)
        first = os.path.join(work, 'First')
        for sub in ('cur', 'new', 'tmp'):
            os.makedirs(os.path.join(first, sub))
        for sub in ('cur', 'new'):
            names = sorted(os.listdir(os.path.join(maildir, sub)))
            if names:
                shutil.copy(os.path.join(maildir, sub, names[0]), os.path.join(first, sub))
                break
        print('%d messages, %.1f MiB; median (min) wall and CPU time of %d runs, largest peak' % (
            args.messages, total / (1 << 20), args.runs))
        print('| rules | PATH | wall s | messages/s | CPU s | peak MiB | summary |')
        print('|--:|:--|--:|--:|--:|--:|:--|')
        for count in (int(r) for r in args.rules.split(',')):
            rc = os.path.join(work, 'rc-%d' % count)
            with open(rc, 'w') as f:
                f.write(rules.rc_text(count, rules.EXTENDED, os.path.join(work, 'log'),
                                      '127.0.0.1', 110, 'bench', 'bench', args.seed,
                                      shape=args.shape))
            os.chmod(rc, 0o600)
            paths = [('Maildir', maildir), ('mbox', mbox)]
            if args.startup:
                paths.insert(0, ('start-up', first))
            for name, path in paths:
                times, cpus, peaks, summary = judge(args.pollensift, rc, path, args.runs)
                median = statistics.median(times)
                print('| %d | %s | %.3f (%.3f) | %d | %.3f (%.3f) | %.1f | %s |' % (
                    count, name, median, min(times), args.messages / median,
                    statistics.median(cpus), min(cpus), max(peaks) / 1024, summary))
                sys.stdout.flush()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main(sys.argv[1:])
