#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Whole-run benchmark: pollensift in test mode against the protocol floor, on loopback and over a
slow link.

For every corpus size N and rule count R it fills a private Dovecot mailbox with N generated
messages, writes an rc file with R rules, and runs, in the same run and in turn, the programs
chosen (see PROGRAMS): pollensift -t over the mailbox as configured, with PIPELINING = "no",
behind a relay that hides PIPELINING from the server's CAPA, an older pollensift binary, and
bench/floor_client, which holds pollensift's POP3 dialogue, one command at a time or pipelined,
and does nothing else, or writes every TOP ahead (the floor of the protocol itself). It prints medians of wall time, user+system CPU time and peak RSS of each,
messages per second and the ratios of wall times. Every pollensift variant must log the same
lines, time stamps left out; the script stops when they differ. Run as root (the Dovecot fixture
and the network namespaces need it):

    bench/run.py                      # installs, builds, measures; see bench/README.md
"""

import argparse
import collections
import hashlib
import json
import os
import shutil
import socket
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
Programs = collections.namedtuple('Programs', 'pollensift floor measure old')

# What can be measured side by side. A pollensift variant is (binary, PIPELINING keyword or None,
# whether the server's PIPELINING is hidden); a floor is its floor_client options.
PROGRAMS = collections.OrderedDict([
    ('pollensift', ('pollensift', None, False)),
    ('pipelining-no', ('pollensift', 'no', False)),
    ('not-offered', ('pollensift', None, True)),
    ('old', ('old', None, False)),
    ('floor', ('floor', [])),
    ('floor-pipelined', ('floor', ['--pipelined'])),
    ('floor-ahead', ('floor', ['--ahead'])),
])


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--sizes', default='1000,10000', help='corpus sizes N (default %(default)s)')
    p.add_argument('--rules', default='0,10,100,1000', help='rule counts R (default %(default)s)')
    p.add_argument('--runs', type=int, default=5, help='runs of each program per (N, R)')
    p.add_argument('--syntax', choices=['auto', rules.BASIC, rules.EXTENDED], default='auto',
                   help='REG_TYPE of every rc file; auto: basic for R=100, extended otherwise')
    p.add_argument('--verbose', type=int, default=2, help="pollensift's -v (default 2)")
    p.add_argument('--del-duplicates', choices=['yes', 'no'], default='yes',
                   help='DEL_DUPLICATES of every rc file (no: no Message-ID is kept for the run)')
    p.add_argument('--seed', default='1', help='corpus and rule seed')
    p.add_argument('--real', metavar='DIR', help='on loopback, the SpamAssassin corpus fetched by '
                   'bench/learn.py (its data folder) instead of generated mail; N is its size')
    p.add_argument('--shape', choices=['block', 'heavy', 'mixed'], default='block',
                   help='the rules: block-list rules, the heavy or the mixed shape of bench/rules.py')
    p.add_argument('--slow-link', choices=['auto', 'netem', 'relay', 'off'], default='auto',
                   help='auto: netem in network namespaces when the kernel has it, else the relay')
    p.add_argument('--programs', default='pollensift,floor,floor-pipelined,floor-ahead',
                   help='programs on loopback, of: %s (default %%(default)s, and old with --old)'
                   % ', '.join(PROGRAMS))
    p.add_argument('--slow-programs',
                   default='pollensift,pipelining-no,not-offered,floor,floor-pipelined',
                   help='programs on the slow link (default %(default)s, and old with --old)')
    p.add_argument('--slow-sizes', default='500', help='corpus sizes on the slow link')
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
    p.add_argument('--old', help='another pollensift binary, measured as the program "old" '
                   'alongside the others')
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
                        os.path.join(args.build_dir, 'bench', 'measure'), args.old)
    for path in programs:
        if path is not None and not os.access(path, os.X_OK):
            sys.exit('run.py: %s is missing; build it or leave out --no-build' % path)
    return programs


def load(server, user, n, seed, real=None):
    """Delivers messages 0..n-1 of the corpus, or the real messages in real; returns their total
    size and the share per kind."""
    total = 0
    kinds = {}
    if real:
        for group, _, message in corpus.real_messages(real):
            server.deliver(user, message)
            total += len(message)
            kinds[group] = kinds.get(group, 0) + 1
        return total, kinds
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
    """One (link, N, R): an rc file per pollensift variant, and every program's samples."""

    def __init__(self, link, n, count, syntax, work, host, ports, user, chosen, duplicates='yes',
                 shape='block'):
        self.link, self.n, self.count, self.syntax = link, n, count, syntax
        self.dir = tempfile.mkdtemp(prefix='case-', dir=work)
        self.host, self.ports, self.user = host, ports, user
        self.rcs = {}
        for name in chosen:
            if PROGRAMS[name][0] == 'floor':
                continue
            _, pipelining, hidden = PROGRAMS[name]
            log = os.path.join(self.dir, name + '.log')
            rc = os.path.join(self.dir, name + '.rc')
            with open(rc, 'w') as f:
                f.write(rules.rc_text(count, syntax, log, host,
                                      ports['hidden' if hidden else 'plain'], user, USER_PASSWORD,
                                      pipelining=pipelining, duplicates=duplicates,
                                      shape=shape))
            os.chmod(rc, 0o600)
            self.rcs[name] = (rc, log)
        self.samples = collections.OrderedDict((name, []) for name in chosen)
        self.deleted = None
        self.digest = None
        self.digest_of = None  # the program that logged first
        self.load = None  # the one-minute load average when the case ended

    def run(self, programs, name, verbose):
        if PROGRAMS[name][0] == 'floor':
            self.run_floor(programs, name)
        else:
            self.run_pollensift(programs, name, verbose)

    def run_pollensift(self, programs, name, verbose):
        rc, log_path = self.rcs[name]
        if os.path.exists(log_path):
            os.unlink(log_path)
        binary = getattr(programs, PROGRAMS[name][0])
        argv = [binary, '-t', '-v', str(verbose), '-M', rc]
        sample = run_once(programs.measure, argv, subprocess.DEVNULL,
                          os.path.join(self.dir, 'measured'))
        with open(log_path, 'rb') as f:
            log = f.read()
        # Real mail holds Message-IDs of the wrong form, which are reported as errors and judged.
        errors = [line for line in log.splitlines() if b' pollensift: Error: ' in line and
                  b'POP timestamp in message-ID invalid.' not in line and
                  b'has a Message-ID of the wrong form' not in line]
        if sample[3] != 0 or errors:
            sys.exit('run.py: %s failed (status %d); its log: %s\n%s' % (
                name, sample[3], log_path, log[-2000:].decode(errors='replace')))
        # The log's lines without their time stamps: the same for every run and, when a change
        # to pollensift keeps every verdict, for every version and every dialogue.
        verdicts = [line.split(b' pollensift: ', 1)[-1] for line in log.splitlines()]
        digest = hashlib.sha1(b'\n'.join(verdicts)).hexdigest()[:8]
        if self.digest is None:
            # Below -v 2 the log names no deletion.
            self.deleted = log.count(b' pollensift: Deny: ') if verbose >= 2 else None
            self.digest, self.digest_of = digest, name
        elif digest != self.digest:
            sys.exit('run.py: %s logged other lines than %s did (digest %s, not %s): %s' % (
                name, self.digest_of, digest, self.digest, log_path))
        self.samples[name].append(sample[:3])

    def run_floor(self, programs, name):
        out = os.path.join(self.dir, 'floor.out')
        argv = [programs.floor] + PROGRAMS[name][1] + [self.host, str(self.ports['plain']),
                                                       self.user, USER_PASSWORD]
        with open(out, 'w') as f:
            sample = run_once(programs.measure, argv, f, os.path.join(self.dir, 'measured'))
        with open(out) as f:
            said = f.read().strip()
        if sample[3] != 0 or not said.startswith('messages %d ' % self.n):
            sys.exit('run.py: %s failed (status %d): %s' % (name, sample[3], said))
        self.samples[name].append(sample[:3])

    def record(self):
        return {'link': self.link, 'n': self.n, 'rules': self.count, 'syntax': self.syntax,
                'deleted': self.deleted, 'log_digest': self.digest, 'load': self.load,
                'samples': self.samples}


HEADINGS = ['link', 'N', 'R', 'syntax', 'program', 'deleted', 'log digest', 'wall s', 'CPU s',
            'peak RSS MiB', 'msg/s', 'ms/msg', 'wall / pollensift', 'wall / floor',
            'wall / pipelined floor', 'wall / floor ahead', 'load']


def rows(record):
    """The table rows of a case, one per program. The ratios divide the program's median wall
    time by that of pollensift, of the floor, of the pipelined floor and of the floor that writes
    every TOP ahead, where they were measured."""
    n = record['n']
    samples = record['samples']

    def median(program, index):
        return statistics.median(s[index] for s in samples[program])

    def ratio(program, base):
        if base not in samples or not samples[base]:
            return '-'
        return '%.2f' % (median(program, 0) / median(base, 0))

    deleted = record['deleted']
    for program in samples:
        if not samples[program]:
            continue
        yield [record['link'], '{:,}'.format(n), '{:,}'.format(record['rules']),
               record['syntax'] if record['rules'] else '-', program,
               '' if deleted is None or program.startswith('floor') else
               '%d (%.0f%%)' % (deleted, 100.0 * deleted / n),
               '' if program.startswith('floor') else record['log_digest'] or '',
               '%.3f' % median(program, 0),
               '%.3f' % median(program, 1), '%.1f' % (median(program, 2) / 1024),
               '{:,.0f}'.format(n / median(program, 0)),
               '%.2f' % (1000 * median(program, 0) / n), ratio(program, 'pollensift'),
               ratio(program, 'floor'), ratio(program, 'floor-pipelined'),
               ratio(program, 'floor-ahead'),
               '%.1f' % record['load']]


def print_table(records, out=sys.stdout):
    print('| ' + ' | '.join(HEADINGS) + ' |', file=out)
    print('|' + '|'.join('---' if i < 7 else '--:' for i in range(len(HEADINGS))) + '|', file=out)
    for record in records:
        for cells in rows(record):
            print('| ' + ' | '.join(cells) + ' |', file=out)
    out.flush()


def syntax_for(args, count):
    if args.syntax != 'auto':
        return args.syntax
    return rules.BASIC if count == 100 else rules.EXTENDED


def choose(names, args):
    chosen = [name for name in names.split(',') if name]
    for name in chosen:
        if name not in PROGRAMS:
            sys.exit('run.py: no program %r; there are: %s' % (name, ', '.join(PROGRAMS)))
    if args.old and 'old' not in chosen:
        chosen.append('old')
    if 'old' in chosen and not args.old:
        sys.exit('run.py: the program "old" needs --old PATH')
    return chosen


def measure(args, programs, link, server, host, ports, sizes, runs, work, chosen,
            enter_client=None):
    """Loads each corpus into its own mailbox and measures every R; returns the finished cases.
    ports: the server's port as the clients reach it ('plain'), and behind the relay that hides
    PIPELINING ('hidden')."""
    cases = []
    for n in sizes:
        user = 'bench%d' % n
        started = time.monotonic()
        total, kinds = load(server, user, n, args.seed, args.real)
        print('# %s: %d messages, %.1f MiB, loaded in %.0f s; kinds: %s' % (
            link, n, total / 2**20, time.monotonic() - started,
            ', '.join('%s %d' % kv for kv in sorted(kinds.items()))), flush=True)
        if enter_client:
            enter_client()
        # The first session makes Dovecot index the mailbox; it is not measured. The pipelined
        # floor does it as well as the sequential one and costs little on a slow link.
        warm = Case(link, n, 0, rules.EXTENDED, work, host, ports, user,
                    ['floor-pipelined', 'pollensift'])
        for name in warm.samples:
            warm.run(programs, name, args.verbose)
        for count in args.rule_counts:
            case = Case(link, n, count, syntax_for(args, count), work, host, ports, user, chosen,
                        args.del_duplicates, args.shape)
            for k in range(runs):
                # Turn the order round so that no program always follows the same one.
                order = chosen[k % len(chosen):] + chosen[:k % len(chosen)]
                for name in order:
                    case.run(programs, name, args.verbose)
            case.load = os.getloadavg()[0]
            print_table([case.record()])
            cases.append(case)
    return cases


def hiding_relay(target, delay_ms):
    """A relay to target that takes PIPELINING out of the server's CAPA reply; it stops the run
    when the capability still shows through it."""
    relay = slowlink.DelayRelay(target, delay_ms, hide='PIPELINING')
    with socket.create_connection(relay.address, timeout=30) as sock:
        stream = sock.makefile('rb')
        stream.readline()  # the greeting
        sock.sendall(b'CAPA\r\n')
        capabilities = []
        for line in iter(stream.readline, b''):
            if line == b'.\r\n':
                break
            capabilities.append(line.strip().upper())
        sock.sendall(b'QUIT\r\n')
        stream.readline()
    if b'PIPELINING' in capabilities or not capabilities[0].startswith(b'+OK'):
        relay.close()
        sys.exit('run.py: the relay does not hide PIPELINING: %r' % capabilities)
    return relay


def loopback(args, programs, work):
    users = {'bench%d' % n: USER_PASSWORD for n in args.sizes}
    chosen = choose(args.programs, args)
    with Dovecot(users) as server:
        ports = {'plain': server.port}
        hiding = None
        if 'not-offered' in chosen:
            hiding = hiding_relay(('127.0.0.1', server.port), 0)
            ports['hidden'] = hiding.address[1]
        try:
            return measure(args, programs, 'loopback', server, '127.0.0.1', ports, args.sizes,
                           args.runs, work, chosen)
        finally:
            if hiding is not None:
                hiding.close()


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
    chosen = choose(args.slow_programs, args)
    if mode == 'relay':
        with Dovecot(users) as server:
            target = ('127.0.0.1', server.port)
            relays = [slowlink.DelayRelay(target, args.delay_ms)]
            if 'not-offered' in chosen:
                relays.append(hiding_relay(target, args.delay_ms))
            ports = {'plain': relays[0].address[1], 'hidden': relays[-1].address[1]}
            try:
                return measure(args, programs, label, server, '127.0.0.1', ports,
                               args.slow_sizes, args.slow_runs, work, chosen)
            finally:
                for relay in relays:
                    relay.close()
    if 'not-offered' in chosen:
        print('# not-offered is left out: only the relay can hide PIPELINING', flush=True)
        chosen.remove('not-offered')
    link = slowlink.NamespaceLink(args.delay_ms)
    server = None
    try:
        link.open()
        link.enter_server()
        server = Dovecot(users, host=link.server_host).start()
        return measure(args, programs, label, server, link.server_host, {'plain': server.port},
                       args.slow_sizes, args.slow_runs, work, chosen,
                       enter_client=link.enter_client)
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
                    {'plain': server.port}, 'bench%d' % n, ['floor', 'pollensift'])
        case.run_floor(programs, 'floor')
        out = os.path.join(work, 'callgrind.out')
        subprocess.run(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out,
                        programs.pollensift, '-t', '-v', str(args.verbose), '-M',
                        case.rcs['pollensift'][0]],
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
    if args.real:
        args.sizes = [sum(1 for _ in corpus.real_messages(args.real))]
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
          'DEL_DUPLICATES %s; seed %s; %d CPUs' % (args.runs, args.slow_runs, args.verbose,
                                                   args.del_duplicates, args.seed,
                                                   os.cpu_count()), flush=True)
    print('# pollensift: %s' % programs.pollensift, flush=True)
    if programs.old:
        print('# old: %s' % programs.old, flush=True)
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
