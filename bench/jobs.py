#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Many mailboxes at once: N accounts of M generated messages each behind the delay relay of
bench/slowlink.py (20 ms each way by default), in test mode with the generated rules. Each account
is run alone first; then all of them with -j 1 and with -j N, with and without DEL_DUPLICATES.
Prints the seconds of each (the median of --rounds runs), the ratio of the -j N run to the slowest
single account, whether the -j N log (time stamps taken off) is the -j 1 log line for line, and
the CPU time of the -j N run: pollensift with its jobs, the Dovecot processes, the relay. With
--timeline, where the time of the last -j N run of each kind went, per account, from the relay's
records: when the client was passed the greeting, when it sent STAT, its first and last TOP, when
it was passed the first reply after its last TOP, when it sent QUIT and when the connection's last
bytes went, in ms from the run's start. With --floor, the pipelined floor client on each account
alone and on all at once: what any client can reach on the machine. Run as root (the Dovecot fixture needs it):

    bench/jobs.py --pollensift build/release/src/driver/pollensift [--accounts 20 --messages 100]
"""

import argparse
import os
import re
import resource
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

PASSWORD = 'bench-password'
STAMP = re.compile(r'^[A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ', re.M)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--pollensift', required=True)
    p.add_argument('--accounts', type=int, default=20)
    p.add_argument('--messages', type=int, default=100)
    p.add_argument('--delay-ms', type=int, default=20, help='one-way delay of the link')
    p.add_argument('--rules', type=int, default=100)
    p.add_argument('--rounds', type=int, default=3, help='runs of each kind; the median counts')
    p.add_argument('--timeline', action='store_true')
    p.add_argument('--floor', metavar='FLOOR_CLIENT',
                   help='bench/floor_client: also time the pipelined floor, each account alone '
                   'and all at once, which bounds what -j N can reach on this machine')
    p.add_argument('--against', metavar='BINARY',
                   help='an older build whose -j N runs alternate with those of --pollensift, '
                   'round by round, so that both meet the same load; its row follows')
    p.add_argument('--server', choices=('ready', 'spawning'), default='ready',
                   help='ready: Dovecot keeps a POP3 process per account and two login '
                   'processes started ahead, as a busy server does; spawning: its default, a '
                   'login and a POP3 process started for each connection as it comes')
    return p.parse_args(argv)


def rc_file(work, name, args, users, port, duplicates):
    text = rules.rc_text(args.rules, rules.EXTENDED, os.path.join(work, name + '.log'),
                         '127.0.0.1', port, users[0], PASSWORD, duplicates=duplicates)
    for user in users[1:]:
        text += 'USER = "%s"\nPORT = %d\n' % (user, port)
    path = os.path.join(work, name + '.rc')
    with open(path, 'w') as f:
        f.write(text)
    os.chmod(path, 0o600)
    return path


def tree_cpu(root):
    """CPU seconds of the process root and its descendants, those gone included (each process's
    reaped children count in its own stat)."""
    parents = {}
    times = {}
    for name in os.listdir('/proc'):
        if not name.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % name) as f:
                fields = f.read().rpartition(')')[2].split()
        except OSError:
            continue
        parents[int(name)] = int(fields[1])
        times[int(name)] = sum(int(v) for v in fields[11:15])
    total = 0
    for pid, ticks in times.items():
        at = pid
        while at in parents and at != root:
            at = parents[at]
        if at == root:
            total += ticks
    return total / os.sysconf('SC_CLK_TCK')


def run(binary, rc, *options, relay=None, server=None):
    """seconds, status, log without time stamps, start, and CPU seconds of (pollensift with its
    jobs, Dovecot, this process: the relay)."""
    log = rc[:-3] + '.log'
    if os.path.exists(log):
        os.remove(log)
    if relay is not None and relay.sessions is not None:
        relay.sessions.clear()
    before = (resource.getrusage(resource.RUSAGE_CHILDREN), resource.getrusage(
        resource.RUSAGE_SELF), tree_cpu(server.process.pid) if server else 0.0)
    started = time.monotonic()
    p = subprocess.run([binary, '-t', '-v', '4', '-M', rc] + list(options),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    seconds = time.monotonic() - started
    after = (resource.getrusage(resource.RUSAGE_CHILDREN), resource.getrusage(
        resource.RUSAGE_SELF), tree_cpu(server.process.pid) if server else 0.0)
    cpu = tuple(a.ru_utime + a.ru_stime - b.ru_utime - b.ru_stime
                for a, b in zip(after[:2], before[:2])) + (after[2] - before[2],)
    cpu = (cpu[0], cpu[2], cpu[1])
    with open(log, encoding='latin-1') as f:
        return seconds, p.returncode, STAMP.sub('', f.read()), started, cpu


def median_run(binary, rc, rounds, *options, relay=None, server=None):
    """rounds runs; the median run's seconds and CPU, with the status and log of the last (all
    logs must be the same)."""
    runs = [run(binary, rc, *options, relay=relay, server=server) for _ in range(rounds)]
    if any(r[2] != runs[0][2] or r[1] != runs[0][1] for r in runs):
        sys.exit('jobs.py: runs of %s %s differ from each other' % (rc, ' '.join(options)))
    middle = sorted(runs, key=lambda r: r[0])[len(runs) // 2]
    return middle[0], runs[-1][1], runs[-1][2], runs[-1][3], middle[4]


def floor_sessions(floor, users, port, server):
    """Seconds until the pipelined floor has read every header of every one of users, all
    started at once, and the CPU seconds of (the floor clients, Dovecot)."""
    before = (resource.getrusage(resource.RUSAGE_CHILDREN), tree_cpu(server.process.pid))
    started = time.monotonic()
    clients = [subprocess.Popen([floor, '--pipelined', '127.0.0.1', str(port), user, PASSWORD],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
               for user in users]
    if any(client.wait() != 0 for client in clients):
        sys.exit('jobs.py: the floor client failed')
    seconds = time.monotonic() - started
    after = (resource.getrusage(resource.RUSAGE_CHILDREN), tree_cpu(server.process.pid))
    return seconds, (after[0].ru_utime + after[0].ru_stime - before[0].ru_utime -
                     before[0].ru_stime, after[1] - before[1])


def floor_at_once(args, users, port, server):
    """The same question for the protocol floor: how much longer all accounts at once take than
    the slowest alone, when the client does nothing but read."""
    singles = [statistics.median(floor_sessions(args.floor, [user], port, server)[0]
                                 for _ in range(args.rounds)) for user in users]
    runs = sorted((floor_sessions(args.floor, users, port, server) for _ in range(args.rounds)),
                  key=lambda r: r[0])
    seconds, cpu = runs[len(runs) // 2]
    print('pipelined floor: slowest single %.2f s; all %d at once %.2f s, %.2f times the slowest '
          'single; CPU s: floor clients %.2f, Dovecot %.2f' % (
              max(singles), len(users), seconds, seconds / max(singles), cpu[0], cpu[1]),
          flush=True)


def timeline(sessions, started):
    """Per account of one run, in ms from its start: (user, greeting, STAT sent, first TOP sent,
    last TOP sent, a reply after it, QUIT sent, last bytes)."""
    rows = []
    for events in sessions:
        def at(tag, word, last=False):
            hits = [t for t, k, data in events if k == tag and word in data]
            if not hits:
                return None
            return ((hits[-1] if last else hits[0]) - started) * 1000
        user = next((data.split()[1].decode() for _, k, data in events
                     if k == 'c' and data.startswith(b'USER ')), '?')
        tops = [t for t, k, data in events if k == 'c' and b'TOP ' in data]
        replies = [t for t, k, data in events if k == 's' and tops and t > tops[-1]]
        rows.append((user, (events[0][0] - started) * 1000 if events else None,
                     at('c', b'STAT'), at('c', b'TOP '), at('c', b'TOP ', True),
                     (replies[0] - started) * 1000 if replies else None, at('c', b'QUIT'),
                     (events[-1][0] - started) * 1000 if events else None))
    return sorted(rows)


def print_timeline(title, rows):
    print('\n%s (ms from the start of the run)' % title)
    print('| account | greeting | STAT | first TOP | last TOP | its reply | QUIT | end |')
    print('|---|--:|--:|--:|--:|--:|--:|--:|')
    for row in rows:
        print('| %s | %s |' % (row[0], ' | '.join('-' if v is None else '%.0f' % v
                                                 for v in row[1:])))


def main(argv):
    args = parse_args(argv)
    if os.geteuid() != 0:
        sys.exit('jobs.py: run it as root: the private Dovecot needs it')
    if not available():
        sys.exit('jobs.py: Dovecot is not installed (scripts/install-deps.sh installs it)')
    users = ['box%02d' % k for k in range(args.accounts)]
    work = tempfile.mkdtemp(prefix='pollensift-jobs-', dir='/tmp')
    os.chmod(work, 0o755)
    ready = args.accounts + 4 if args.server == 'ready' else 0
    with Dovecot({user: PASSWORD for user in users}, ready_processes=ready) as server:
        # One stream of generated mail dealt round the mailboxes: its resent Message-IDs fall
        # into different accounts, which DEL_DUPLICATES then judges across accounts.
        for i in range(args.accounts * args.messages):
            server.deliver(users[i % args.accounts], corpus.message(5, i)[0])
        relay = slowlink.DelayRelay(('127.0.0.1', server.port), args.delay_ms,
                                    record=args.timeline)
        port = relay.address[1]
        try:
            print('# %d accounts of %d messages, delay relay %d ms each way, %d rules, -t, '
                  'Dovecot %s' % (args.accounts, args.messages, args.delay_ms, args.rules,
                                  args.server))
            # The first session of each mailbox makes Dovecot index it; those are not counted.
            run(args.pollensift, rc_file(work, 'warm', args, users, port, 'no'), '-j',
                str(args.accounts))
            singles = [median_run(args.pollensift, rc_file(work, user, args, [user], port, 'no'),
                                  args.rounds)[0] for user in users]
            slowest = max(singles)
            print('single accounts: slowest %.2f s, fastest %.2f s, sum %.2f s' % (
                slowest, min(singles), sum(singles)))
            print('| DEL_DUPLICATES | -j 1 s | -j %d s | -j %d / slowest single | same log | '
                  'same status | -j %d CPU s: pollensift, Dovecot, relay |' % (
                      args.accounts, args.accounts, args.accounts))
            print('|---|--:|--:|--:|---|---|---|')
            timelines = []
            for duplicates in ('no', 'yes'):
                rc = rc_file(work, 'all-' + duplicates, args, users, port, duplicates)
                one = median_run(args.pollensift, rc, args.rounds, '-j', '1')
                jobs = ('-j', str(args.accounts))
                if args.against:
                    rounds = [(run(args.pollensift, rc, *jobs, relay=relay, server=server),
                               run(args.against, rc, *jobs, server=server))
                              for _ in range(args.rounds)]
                    many, older = (sorted((r[k] for r in rounds), key=lambda r: r[0])
                                   [args.rounds // 2] for k in (0, 1))
                    if any(r[k][2] != one[2] for r in rounds for k in (0, 1)):
                        sys.exit('jobs.py: a -j %d log differs from the -j 1 log' % args.accounts)
                else:
                    many = median_run(args.pollensift, rc, args.rounds, *jobs, relay=relay,
                                      server=server)
                if args.timeline:
                    timelines.append(('-j %d, DEL_DUPLICATES = "%s"' % (args.accounts, duplicates),
                                      timeline(relay.sessions, many[3])))
                print('| %s | %.2f | %.2f | %.2f | %s | %s | %s |' % (
                    duplicates, one[0], many[0], many[0] / slowest,
                    'yes' if one[2] == many[2] else 'NO', 'yes' if one[1] == many[1] else 'NO',
                    ', '.join('%.2f' % c for c in many[4])), flush=True)
                if args.against:
                    print('| %s, older build | - | %.2f | %.2f | %s | %s | %s |' % (
                        duplicates, older[0], older[0] / slowest,
                        'yes' if one[2] == older[2] else 'NO',
                        'yes' if one[1] == older[1] else 'NO',
                        ', '.join('%.2f' % c for c in older[4])), flush=True)
            if args.floor:
                floor_at_once(args, users, port, server)
            for title, rows in timelines:
                print_timeline(title, rows)
        finally:
            relay.close()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
