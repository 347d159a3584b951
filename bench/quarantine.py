#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Live runs with and without QUARANTINE over a slow link, side by side.

A private Dovecot holds, for every run, a fresh copy of 500 generated messages; about one in five
is condemned (spam senders' domains and duplicates). pollensift runs live (messages are really
deleted) through a relay that delays each direction by 20 ms, once without and once with
QUARANTINE, in turn, --runs times. It prints the median wall times, their ratio, the condemned
messages' bytes and the ratio that the goal allows: 1.3 plus the time those bytes take on the
link, measured as one RETR of a message of their total size through the same relay.

    bench/quarantine.py [--messages 500] [--delay-ms 20] [--runs 3] [--binary PATH]

Run as root (the Dovecot fixture needs it). Loopback only; every server it starts it stops.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
sys.path.insert(0, HERE)

import corpus  # noqa: E402
import slowlink  # noqa: E402
from dovecot import Dovecot  # noqa: E402

SEED = 29
RULES = ('DEL_DUPLICATES = "yes"\nREG_TYPE = "extended"\n'
         'DENY = "^From:.*@(%s)"\n' % '|'.join(d.replace('.', '\\.') for d in corpus.SPAM_DOMAINS))


def run(binary, work, user, port, quarantine):
    rc = os.path.join(work, 'rc')
    with open(rc, 'w') as f:
        f.write('LOGFILE = "%s/log"\n' % work + RULES +
                ('QUARANTINE = "%s"\n' % quarantine if quarantine else '') +
                'SERVER = "127.0.0.1"\nUSER = "%s"\nPASS = "pw"\nPROTOCOL = "POP3"\nPORT = %d\n'
                % (user, port))
    os.chmod(rc, 0o600)
    start = time.monotonic()
    done = subprocess.run([binary, '-M', rc], capture_output=True)
    elapsed = time.monotonic() - start
    if done.returncode != 0:
        sys.exit('quarantine.py: the run failed: ' + done.stderr.decode())
    return elapsed


def transfer_time(server, port, user, size):
    """One RETR of a message of size bytes through the relay: the link's cost of those bytes."""
    server.deliver(user, b'Subject: filler\n\n' + (b'z' * 998 + b'\n') * (size // 1000 + 1))
    import socket
    with socket.create_connection(('127.0.0.1', port)) as sock:
        stream = sock.makefile('rb')
        stream.readline()
        for command in (b'USER %s\r\n' % user.encode(), b'PASS pw\r\n'):
            sock.sendall(command)
            stream.readline()
        start = time.monotonic()
        sock.sendall(b'RETR 1\r\n')
        for line in iter(stream.readline, b''):
            if line == b'.\r\n':
                break
        elapsed = time.monotonic() - start
        sock.sendall(b'QUIT\r\n')
    return elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--messages', type=int, default=500)
    parser.add_argument('--delay-ms', type=int, default=20)
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--binary', default=os.path.join(ROOT, 'build', 'release', 'src', 'driver',
                                                         'pollensift'))
    args = parser.parse_args()
    users = {'r%d%s' % (r, v): 'pw' for r in range(args.runs) for v in 'nq'}
    users['transfer'] = 'pw'
    times = {'n': [], 'q': []}
    condemned = []
    with tempfile.TemporaryDirectory() as work, Dovecot(users) as server:
        relay = slowlink.DelayRelay(('127.0.0.1', server.port), args.delay_ms)
        try:
            for r in range(args.runs):
                for variant in 'nq':
                    user = 'r%d%s' % (r, variant)
                    mail = [corpus.message(SEED, i)[0] for i in range(args.messages)]
                    for message in mail:
                        server.deliver(user, message)
                    quarantine = os.path.join(work, 'q-' + user) if variant == 'q' else None
                    times[variant].append(run(args.binary, work, user, relay.address[1],
                                              quarantine))
                    left = set(server.messages(user))
                    gone = [m for m in mail if m not in left]
                    condemned.append((len(gone), sum(len(m) + m.count(b'\n') for m in gone)))
            count, size = condemned[-1]
            link = transfer_time(server, relay.address[1], 'transfer', size)
        finally:
            relay.close()
    without = statistics.median(times['n'])
    with_q = statistics.median(times['q'])
    print('messages %d, condemned %d (%d bytes), link %d ms each way, %d runs'
          % (args.messages, count, size, args.delay_ms, args.runs))
    print('without QUARANTINE: %s s (median %.2f)' % (', '.join('%.2f' % t for t in times['n']),
                                                       without))
    print('with QUARANTINE:    %s s (median %.2f)' % (', '.join('%.2f' % t for t in times['q']),
                                                       with_q))
    print('ratio %.2f; the goal allows 1.30 + %.2f s / %.2f s = %.2f'
          % (with_q / without, link, without, 1.3 + link / without))


if __name__ == '__main__':
    main()
