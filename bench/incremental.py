#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Incremental-run benchmark: with STATEFILE, a repeat run over an unchanged mailbox against a full
run over the same mailbox, side by side in one run, on loopback and over a slow link; the cost of
k new messages; and what the state costs per kept message on disk and in memory.

It fills a private Dovecot mailbox with N generated messages (bench/corpus.py) and an rc file with
R rules (bench/rules.py), and runs pollensift until every message left is kept, topping the mailbox
up to N. Then, alternating: the full run (-t, no state file) and the repeat run (with it). Then
k new messages before each of a few runs with the state file. Over the slow link (the delay relay
of bench/slowlink.py, 20 ms each way) only the repeat runs are measured: a full run of N = 6,000
there takes minutes (see the whole-run table in bench/README.md). Run as root:

    bench/incremental.py --no-build --build-dir build/release
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
import rules  # noqa: E402
import run  # noqa: E402
import slowlink  # noqa: E402
from run import USER_PASSWORD  # noqa: E402
from dovecot import Dovecot, available  # noqa: E402

USER = 'incremental'


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--size', type=int, default=6000, help='messages in the mailbox (N)')
    p.add_argument('--rules', type=int, default=100, help='rule count R')
    p.add_argument('--new', type=int, default=100, help='new messages per run (k)')
    p.add_argument('--runs', type=int, default=5)
    p.add_argument('--delay-ms', type=int, default=20, help='one-way delay of the slow link')
    p.add_argument('--seed', default='1')
    p.add_argument('--build-dir', default=os.path.join(run.ROOT, 'build', 'bench'))
    p.add_argument('--no-build', action='store_true')
    p.add_argument('--pollensift', help='measure this binary')
    p.add_argument('--against', metavar='BINARY',
                   help='also measure the repeat run and the run with k new messages of this '
                        'binary, alternating with the measured one, under the same state')
    return p.parse_args(argv)


class Mailbox:
    """The mailbox behind one port, its rc files and the state file."""

    def __init__(self, work, host, port, args):
        self.dir = tempfile.mkdtemp(prefix='inc-', dir=work)
        self.state = os.path.join(self.dir, 'state')
        self.log = os.path.join(self.dir, 'log')
        # Without the rc file's test mode: the settling runs delete what the rules condemn, and
        # the full runs get -t.
        base = rules.rc_text(args.rules, rules.EXTENDED, self.log, host, port, USER,
                             USER_PASSWORD).replace('TEST = "yes"\n', '')
        self.full_rc = self.write('full.rc', base)
        self.state_rc = self.write('state.rc', 'STATEFILE = "%s"\n' % self.state + base)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, 'w') as f:
            f.write(text)
        os.chmod(path, 0o600)
        return path

    def run(self, programs, rc, *extra, verbose=2):
        """One measured run: (wall, cpu, rss KiB, log). At -v 6 the log holds the dialogue."""
        if os.path.exists(self.log):
            os.unlink(self.log)
        argv = [programs.pollensift, '-v', str(verbose), '-M', rc] + list(extra)
        wall, cpu, rss, code = run.run_once(programs.measure, argv, subprocess.DEVNULL,
                                            os.path.join(self.dir, 'measured'))
        with open(self.log, 'rb') as f:
            log = f.read().decode('latin-1')
        if code != 0 or ' pollensift: Error: ' in log:
            sys.exit('incremental.py: pollensift failed (status %d): %s' % (code, log[-2000:]))
        return wall, cpu, rss, log


def count(log, pattern):
    return len(re.findall(pattern, log))


def settle(server, box, programs, args, next_index):
    """Runs with the state file until the mailbox holds N messages, all kept; returns the next
    corpus index."""
    while True:
        left = len(server.messages(USER))
        if left >= args.size:
            _, _, _, log = box.run(programs, box.state_rc, verbose=6)
            if count(log, r'Wrote: DELE ') == 0:
                return next_index
            continue
        for _ in range(args.size - left):
            server.deliver(USER, corpus.message(args.seed, next_index)[0])
            next_index += 1
        box.run(programs, box.state_rc)


def median_row(label, samples, log):
    wall = statistics.median(s[0] for s in samples)
    cpu = statistics.median(s[1] for s in samples)
    rss = statistics.median(s[2] for s in samples) / 1024
    return [label, '%.3f' % wall, '%.3f' % cpu, '%.1f' % rss, str(count(log, r'Wrote: TOP ')),
            str(count(log, r'Wrote: LIST \d')), str(count(log, r'Wrote: LIST\n')),
            str(count(log, r'Wrote: CAPA')), str(count(log, r'Wrote: STAT')),
            str(count(log, r'Wrote: UIDL'))], wall


def print_rows(rows):
    print('| run | wall s | CPU s | peak RSS MiB | TOP | LIST n | LIST | CAPA | STAT | UIDL |')
    print('|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|')
    for r in rows:
        print('| ' + ' | '.join(r) + ' |')
    sys.stdout.flush()


def prepare(args, script):
    """The programs and a fresh work directory, once the script may run here."""
    if os.geteuid() != 0:
        sys.exit('%s: run it as root (the private Dovecot needs it)' % script)
    programs = run.build(argparse.Namespace(no_build=args.no_build, build_dir=args.build_dir,
                                            pollensift=args.pollensift, old=None))
    if not available():
        sys.exit('%s: Dovecot is not installed' % script)
    work = tempfile.mkdtemp(prefix='pollensift-%s-' % script.split('.')[0], dir='/tmp')
    os.chmod(work, 0o755)
    return programs, work


def main(argv):
    args = parse_args(argv)
    programs, work = prepare(args, 'incremental.py')
    print('# incremental runs: N=%d, R=%d, k=%d, %d runs per row, medians; %d CPUs; load %.1f'
          % (args.size, args.rules, args.new, args.runs, os.cpu_count(), os.getloadavg()[0]))
    try:
        with Dovecot({USER: USER_PASSWORD}) as server:
            relay = slowlink.DelayRelay(('127.0.0.1', server.port), 0)
            try:
                measure(args, programs, server, relay, work)
            finally:
                relay.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def measure(args, programs, server, relay, work):
    loop = Mailbox(work, '127.0.0.1', server.port, args)
    next_index = settle(server, loop, programs, args, 0)
    full, repeat = [], []
    for k in range(args.runs):
        order = [(full, loop.full_rc, ('-t',)), (repeat, loop.state_rc, ())]
        for samples, rc, extra in (order if k % 2 == 0 else order[::-1]):
            wall, cpu, rss, _ = loop.run(programs, rc, *extra)
            samples.append((wall, cpu, rss))
    # What each sends, from one more run at -v 6 (not measured: the log then holds every header).
    full_log = loop.run(programs, loop.full_rc, '-t', verbose=6)[3]
    repeat_log = loop.run(programs, loop.state_rc, verbose=6)[3]
    rows = []
    row, full_wall = median_row('full, loopback', full, full_log)
    rows.append(row)
    row, repeat_wall = median_row('repeat, loopback', repeat, repeat_log)
    rows.append(row)

    new = []
    for _ in range(args.runs):
        for _ in range(args.new):
            server.deliver(USER, corpus.message(args.seed, next_index)[0])
            next_index += 1
        wall, cpu, rss, _ = loop.run(programs, loop.state_rc)
        new.append((wall, cpu, rss))
    for _ in range(args.new):
        server.deliver(USER, corpus.message(args.seed, next_index)[0])
        next_index += 1
    new_log = loop.run(programs, loop.state_rc, verbose=6)[3]
    row, new_wall = median_row('%d new, loopback' % args.new, new, new_log)
    rows.append(row)
    kept = len(server.messages(USER))
    state_bytes = os.path.getsize(loop.state)

    # The slow link: the same mailbox through the relay, settled with the delay off.
    slow = Mailbox(work, '127.0.0.1', relay.address[1], args)
    relay.delay = 0
    settle(server, slow, programs, args, next_index)
    relay.delay = args.delay_ms / 1000.0
    slow_repeat = []
    for _ in range(max(3, args.runs // 2)):
        wall, cpu, rss, _ = slow.run(programs, slow.state_rc)
        slow_repeat.append((wall, cpu, rss))
    slow_log = slow.run(programs, slow.state_rc, verbose=6)[3]
    row, slow_wall = median_row('repeat, relay %d ms' % args.delay_ms, slow_repeat, slow_log)
    rows.append(row)
    relay.delay = 0

    print_rows(rows)
    per_message = full_wall / args.size
    print('# full / repeat on loopback: %.1f times; repeat over the slow link: %.3f s' % (
        full_wall / repeat_wall, slow_wall))
    print('# %d new messages: %.3f s above the repeat run; %d x the full run per message '
          '(%.3f ms) = %.3f s' % (args.new, new_wall - repeat_wall, args.new,
                                  1000 * per_message, args.new * per_message))
    print('# state file: %d bytes for %d kept messages, %.0f bytes each; peak RSS repeat - full '
          'per message: %.0f bytes' % (
              state_bytes, kept, state_bytes / kept,
              1024 * (statistics.median(s[2] for s in repeat) -
                      statistics.median(s[2] for s in full)) / args.size))
    if args.against:
        compare(args, programs, server, relay, loop, slow, next_index)


def compare(args, programs, server, relay, loop, slow, next_index):
    """The measured binary and the one of --against, alternating under the same state: the
    repeat run, and the run with k new messages. For the latter the state file is put back
    before each run and the runs are in test mode, so every run finds the same k messages new
    (after one unmeasured run, so that the server has taken them in)."""
    other = programs._replace(pollensift=args.against)
    binaries = [('measured', programs), ('against', other)]
    print('# side by side: measured = %s, against = %s; load %.1f'
          % (programs.pollensift, args.against, os.getloadavg()[0]))
    rows = []
    for box, link in ((loop, 'loopback'), (slow, 'relay %d ms' % args.delay_ms)):
        delay = args.delay_ms / 1000.0 if box is slow else 0
        for label, extra in (('repeat', ()), ('%d new, test mode' % args.new, ('-t',))):
            relay.delay = 0
            next_index = settle(server, box, programs, args, next_index)
            before = box.state + '.before'
            if extra:
                for _ in range(args.new):
                    server.deliver(USER, corpus.message(args.seed, next_index)[0])
                    next_index += 1
                shutil.copyfile(box.state, before)
                box.run(programs, box.state_rc, *extra)
            relay.delay = delay
            samples = {name: [] for name, _ in binaries}
            runs = args.runs if box is loop else max(3, args.runs // 2)
            for k in range(runs + 1):
                for name, binary in (binaries if k % 2 == 0 or k == runs else binaries[::-1]):
                    if extra:
                        shutil.copyfile(before, box.state)
                    # The last round, at -v 6, counts the commands and is not measured.
                    sample = box.run(binary, box.state_rc, *extra, verbose=6 if k == runs else 2)
                    if k < runs:
                        samples[name].append(sample[:3])
                    else:
                        rows.append(median_row('%s, %s, %s' % (label, link, name),
                                               samples[name], sample[3])[0])
    relay.delay = 0
    print_rows(rows)


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
