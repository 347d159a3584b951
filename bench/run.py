#!/usr/bin/env python3
"""Whole-run benchmark: pollensift in test mode against the protocol floor, on loopback and over a
slow link.

For every corpus size N and rule count R it fills a private Dovecot mailbox with N generated
messages, writes an rc file with R rules, and runs pollensift -t over the mailbox and, in the same
run and alternating with it, bench/floor_client, which holds the same POP3 dialogue (USER, PASS,
STAT, STAT, LIST n and TOP n 0 for every message, QUIT) and does nothing else. It prints medians of
wall time, user+system CPU time and peak RSS of both, messages per second and the ratio
pollensift / floor. Run as root (the Dovecot fixture and the network namespaces need it):

    bench/run.py                      # installs, builds, measures; see bench/README.md
"""

import argparse
import collections
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))

import corpus  # noqa: E402
import rules  # noqa: E402
import slowlink  # noqa: E402
from dovecot import Dovecot, available  # noqa: E402

USER_PASSWORD = 'bench-password'
Programs = collections.namedtuple('Programs', 'pollensift floor measure')


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--sizes', default='1000,10000', help='corpus sizes N (default %(default)s)')
    p.add_argument('--rules', default='0,10,100,1000', help='rule counts R (default %(default)s)')
    p.add_argument('--runs', type=int, default=5, help='runs of each program per (N, R)')
    p.add_argument('--syntax', choices=['auto', rules.BASIC, rules.EXTENDED], default='auto',
                   help='REG_TYPE of every rc file; auto: basic for R=100, extended otherwise')
    p.add_argument('--verbose', type=int, default=2, help="pollensift's -v (default 2)")
    p.add_argument('--seed', default='1', help='corpus and rule seed')
    p.add_argument('--slow-link', choices=['auto', 'netem', 'relay', 'off'], default='auto',
                   help='auto: netem in network namespaces when the kernel has it, else the relay')
    p.add_argument('--slow-sizes', default='200', help='corpus sizes on the slow link')
    p.add_argument('--slow-runs', type=int, default=3)
    p.add_argument('--delay-ms', type=int, default=20, help='one-way delay of the slow link')
    p.add_argument('--no-loopback', action='store_true', help='only the slow link')
    p.add_argument('--profile', action='store_true',
                   help='afterwards, profile pollensift with callgrind at the largest R')
    p.add_argument('--profile-size', type=int, default=200, help='N for the profile')
    p.add_argument('--build-dir', default=os.path.join(ROOT, 'build', 'bench'))
    p.add_argument('--no-build', action='store_true', help='use the programs in --build-dir')
    p.add_argument('--pollensift', help='measure this pollensift binary instead of the one built '
                   '(to compare two versions)')
    p.add_argument('--json', help='also write every sample to this file')
    p.add_argument('--show', nargs='+', metavar='JSON',
                   help='only print the table of samples written earlier with --json')
    return p.parse_args(argv)


def build(args):
    if not args.no_build:
        subprocess.run([os.path.join(ROOT, 'scripts', 'install-deps.sh')], check=True)
        subprocess.run([os.path.join(ROOT, 'scripts', 'build.sh'), args.build_dir,
                        '-DCMAKE_BUILD_TYPE=Release', '-DPOLLENSIFT_BENCHMARKS=ON'], check=True)
    programs = Programs(args.pollensift or
                        os.path.join(args.build_dir, 'src', 'driver', 'pollensift'),
                        os.path.join(args.build_dir, 'bench', 'floor_client'),
                        os.path.join(args.build_dir, 'bench', 'measure'))
    for path in programs:
        if not os.access(path, os.X_OK):
            sys.exit('run.py: %s is missing; build it or leave out --no-build' % path)
    return programs


def load(server, user, n, seed):
    """Delivers messages 0..n-1 of the corpus; returns their total size and the share per kind."""
    total = 0
    kinds = {}
    for i in range(n):
        message, kind = corpus.message(seed, i)
        server.deliver(user, message)
        total += len(message)
        kinds[kind] = kinds.get(kind, 0) + 1
    return total, kinds


def run_once(measure, argv, stdout, result):
    """Runs one program to its end through bench/measure: (wall seconds, user+sys seconds, peak
    RSS KiB, exit code)."""
    subprocess.run([measure, result] + argv, stdin=subprocess.DEVNULL, stdout=stdout,
                   stderr=subprocess.STDOUT, check=True)
    with open(result) as f:
        wall, cpu, rss, code = f.read().split()
    return float(wall), float(cpu), int(rss), int(code)


class Case:
    """One (link, N, R): the rc file, and both programs' samples."""

    def __init__(self, link, n, count, syntax, work, host, port, user):
        self.link, self.n, self.count, self.syntax = link, n, count, syntax
        self.dir = tempfile.mkdtemp(prefix='case-', dir=work)
        self.log = os.path.join(self.dir, 'pollensift.log')
        self.rc = os.path.join(self.dir, 'pollensiftrc')
        with open(self.rc, 'w') as f:
            f.write(rules.rc_text(count, syntax, self.log, host, port, user, USER_PASSWORD))
        os.chmod(self.rc, 0o600)
        self.host, self.port, self.user = host, port, user
        self.samples = {'pollensift': [], 'floor': []}
        self.deleted = None
        self.digest = None
        self.load = None  # the one-minute load average when the case ended

    def run_pollensift(self, programs, verbose):
        if os.path.exists(self.log):
            os.unlink(self.log)
        argv = [programs.pollensift, '-t', '-v', str(verbose), '-M', self.rc]
        sample = run_once(programs.measure, argv, subprocess.DEVNULL,
                          os.path.join(self.dir, 'measured'))
        with open(self.log, 'rb') as f:
            log = f.read()
        if sample[3] != 0 or b' pollensift: Error: ' in log:
            sys.exit('run.py: pollensift failed (status %d); its log: %s\n%s' % (
                sample[3], self.log, log[-2000:].decode(errors='replace')))
        # The log's lines without their time stamps: the same for every run and, when a change
        # to pollensift keeps every verdict, for every version.
        verdicts = [line.split(b' pollensift: ', 1)[-1] for line in log.splitlines()]
        digest = hashlib.sha1(b'\n'.join(verdicts)).hexdigest()[:8]
        if self.digest is None:
            # Below -v 2 the log names no deletion.
            self.deleted = log.count(b' pollensift: Deny: ') if verbose >= 2 else None
            self.digest = digest
        elif digest != self.digest:
            sys.exit('run.py: two runs of the same case logged different lines: ' + self.log)
        self.samples['pollensift'].append(sample[:3])

    def run_floor(self, programs):
        out = os.path.join(self.dir, 'floor.out')
        argv = [programs.floor, self.host, str(self.port), self.user, USER_PASSWORD]
        with open(out, 'w') as f:
            sample = run_once(programs.measure, argv, f, os.path.join(self.dir, 'measured'))
        with open(out) as f:
            said = f.read().strip()
        if sample[3] != 0 or not said.startswith('messages %d ' % self.n):
            sys.exit('run.py: floor_client failed (status %d): %s' % (sample[3], said))
        self.samples['floor'].append(sample[:3])

    def record(self):
        return {'link': self.link, 'n': self.n, 'rules': self.count, 'syntax': self.syntax,
                'deleted': self.deleted, 'log_digest': self.digest, 'load': self.load,
                'samples': self.samples}


HEADINGS = ['link', 'N', 'R', 'syntax', 'deleted', 'log digest', 'wall s', 'CPU s',
            'peak RSS MiB', 'msg/s', 'ms/msg', 'wall ratio', 'load']


def row(record):
    """One table row of a case; each measured cell holds 'pollensift / floor'."""
    n = record['n']

    def median(program, index):
        return statistics.median(s[index] for s in record['samples'][program])

    def pair(index, form, scale=lambda x: x):
        return '%s / %s' % (form.format(scale(median('pollensift', index))),
                            form.format(scale(median('floor', index))))

    deleted = record['deleted']
    return [record['link'], '{:,}'.format(n), '{:,}'.format(record['rules']),
            record['syntax'] if record['rules'] else '-',
            '' if deleted is None else '%d (%.0f%%)' % (deleted, 100.0 * deleted / n),
            record['log_digest'] or '', pair(0, '{:.3f}'), pair(1, '{:.3f}'),
            pair(2, '{:.1f}', lambda kib: kib / 1024), pair(0, '{:,.0f}', lambda s: n / s),
            pair(0, '{:.2f}', lambda s: 1000 * s / n),
            '%.2f' % (median('pollensift', 0) / median('floor', 0)), '%.1f' % record['load']]


def print_table(records, out=sys.stdout):
    print('| ' + ' | '.join(HEADINGS) + ' |', file=out)
    print('|' + '|'.join('---' if i < 6 else '--:' for i in range(len(HEADINGS))) + '|', file=out)
    for record in records:
        print('| ' + ' | '.join(row(record)) + ' |', file=out)
    out.flush()


def syntax_for(args, count):
    if args.syntax != 'auto':
        return args.syntax
    return rules.BASIC if count == 100 else rules.EXTENDED


def measure(args, programs, link, server, host, port, sizes, runs, work, enter_client=None):
    """Loads each corpus into its own mailbox and measures every R; returns the finished cases."""
    cases = []
    for n in sizes:
        user = 'bench%d' % n
        started = time.monotonic()
        total, kinds = load(server, user, n, args.seed)
        print('# %s: %d messages, %.1f MiB, loaded in %.0f s; kinds: %s' % (
            link, n, total / 2**20, time.monotonic() - started,
            ', '.join('%s %d' % kv for kv in sorted(kinds.items()))), flush=True)
        if enter_client:
            enter_client()
        # The first session makes Dovecot index the mailbox; it is not measured.
        warm = Case(link, n, 0, rules.EXTENDED, work, host, port, user)
        warm.run_floor(programs)
        warm.run_pollensift(programs, args.verbose)
        for count in args.rule_counts:
            case = Case(link, n, count, syntax_for(args, count), work, host, port, user)
            for k in range(runs):
                # Alternate the order so that neither program always follows the other.
                if k % 2 == 0:
                    case.run_floor(programs)
                    case.run_pollensift(programs, args.verbose)
                else:
                    case.run_pollensift(programs, args.verbose)
                    case.run_floor(programs)
            case.load = os.getloadavg()[0]
            print_table([case.record()])
            cases.append(case)
    return cases


def loopback(args, programs, work):
    users = {'bench%d' % n: USER_PASSWORD for n in args.sizes}
    with Dovecot(users) as server:
        return measure(args, programs, 'loopback', server, '127.0.0.1', server.port, args.sizes,
                       args.runs, work)


def slow(args, programs, work):
    mode = args.slow_link
    if mode in ('auto', 'netem'):
        reason = slowlink.NamespaceLink.unavailable_reason(args.delay_ms)
        if reason is None:
            mode = 'netem'
        elif mode == 'netem':
            sys.exit('run.py: the namespace link with netem cannot be made here: ' + reason)
        else:
            print('# netem link not available (%s); the slow link is the delay relay on '
                  'loopback' % reason, flush=True)
            mode = 'relay'
    users = {'bench%d' % n: USER_PASSWORD for n in args.slow_sizes}
    label = '%s %d ms' % (mode, args.delay_ms)
    if mode == 'relay':
        with Dovecot(users) as server:
            relay = slowlink.DelayRelay(('127.0.0.1', server.port), args.delay_ms)
            try:
                return measure(args, programs, label, server, '127.0.0.1', relay.address[1],
                               args.slow_sizes, args.slow_runs, work)
            finally:
                relay.close()
    link = slowlink.NamespaceLink(args.delay_ms)
    server = None
    try:
        link.open()
        link.enter_server()
        server = Dovecot(users, host=link.server_host).start()
        return measure(args, programs, label, server, link.server_host, server.port,
                       args.slow_sizes, args.slow_runs, work, enter_client=link.enter_client)
    finally:
        link.leave()
        if server is not None:
            server.stop()
        link.close()


def profile(args, programs, work):
    """One pollensift run under callgrind at the largest R; prints the functions by inclusive
    cost."""
    if not shutil.which('valgrind'):
        sys.exit('run.py: the profile needs valgrind (apt-get install valgrind)')
    n, count = args.profile_size, max(args.rule_counts)
    users = {'bench%d' % n: USER_PASSWORD}
    with Dovecot(users) as server:
        load(server, 'bench%d' % n, n, args.seed)
        case = Case('callgrind', n, count, syntax_for(args, count), work, '127.0.0.1',
                    server.port, 'bench%d' % n)
        case.run_floor(programs)
        out = os.path.join(work, 'callgrind.out')
        subprocess.run(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out,
                        programs.pollensift, '-t', '-v', str(args.verbose), '-M', case.rc],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for inclusive in ('yes', 'no'):
        print('# callgrind, N=%d, R=%d, %s cost:' % (
            n, count, 'inclusive' if inclusive == 'yes' else 'self'), flush=True)
        annotated = subprocess.run(['callgrind_annotate', '--inclusive=' + inclusive, out],
                                   check=True, capture_output=True, text=True).stdout
        print('\n'.join(annotated.splitlines()[:45]), flush=True)
    print('# profile kept in ' + out)


def main(argv):
    args = parse_args(argv)
    args.sizes = [int(x) for x in args.sizes.split(',') if x]
    args.slow_sizes = [int(x) for x in args.slow_sizes.split(',') if x]
    args.rule_counts = [int(x) for x in args.rules.split(',') if x]
    if args.show:
        for path in args.show:
            with open(path) as f:
                print_table(json.load(f))
        return 0
    if os.geteuid() != 0:
        sys.exit('run.py: run it as root: the private Dovecot and the network namespaces need it')
    programs = build(args)
    if not available():
        sys.exit('run.py: Dovecot is not installed (scripts/install-deps.sh installs it)')
    work = tempfile.mkdtemp(prefix='pollensift-bench-', dir='/tmp')
    os.chmod(work, 0o755)
    print('# pollensift whole-run benchmark: %d runs per case (slow link %d), medians; -v %d; '
          'seed %s; %d CPUs' % (args.runs, args.slow_runs, args.verbose, args.seed,
                                os.cpu_count()), flush=True)
    print('# pollensift: %s' % programs.pollensift, flush=True)
    cases = []
    try:
        if not args.no_loopback:
            cases += loopback(args, programs, work)
        if args.slow_link != 'off':
            cases += slow(args, programs, work)
        records = [c.record() for c in cases]
        if records:
            print('\n# all cases')
            print_table(records)
        if args.json:
            with open(args.json, 'w') as f:
                json.dump(records, f, indent=1)
        if args.profile:
            profile(args, programs, work)
    finally:
        if not args.profile:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
