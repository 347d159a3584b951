#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Round trips per session over a slow link: pollensift in test mode against a private Dovecot
behind the delay relay of bench/slowlink.py, which records when the client sent and when it was
sent something. Each turn of the client after the greeting (what it sends before the next reply
reaches it) is one round trip; the turns of the scan's window (LIST n, TOP n 0, DELE n) are
counted apart, as their number follows the window and the link rather than the dialogue. Run as
root (the Dovecot fixture needs it):

    bench/roundtrips.py --pollensift build/release/src/driver/pollensift [--old OLD_BINARY]

For an empty mailbox and one of --messages messages it prints, per program and dialogue, the
round trips of the dialogue, the turns and seconds of the window, the whole run in seconds, the
session from the first command to the last reply in seconds and in round trips of the link, and
the commands of the dialogue's turns (the first command of each).
"""

import argparse
import os
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


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument('--pollensift', required=True, help='the pollensift binary to count')
    p.add_argument('--old', help='another pollensift binary, counted alongside')
    p.add_argument('--floor', help='bench/floor_client, counted alongside (pipelined)')
    p.add_argument('--messages', type=int, default=500)
    p.add_argument('--delay-ms', type=int, default=20, help='one-way delay of the link')
    p.add_argument('--rules', type=int, default=100)
    return p.parse_args(argv)


def commands(data):
    """The commands of a turn, PASS masked, for the table."""
    words = []
    for line in data.decode('latin-1').split('\r\n'):
        if line:
            words.append('PASS ***' if line.upper().startswith('PASS ') else line)
    return words


def session(relay, argv, work):
    before = len(relay.sessions)
    started = time.monotonic()
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, cwd=work)
    wall = time.monotonic() - started
    time.sleep(0.2)  # the relay passes on what is still held
    if len(relay.sessions) != before + 1:
        sys.exit('roundtrips.py: expected one connection, saw %d' % (len(relay.sessions) - before))
    events = relay.sessions[-1]
    dialogue, window, seconds = slowlink.round_trips(events)
    # From the first command to the last reply: the process's start and the connection left out.
    sent = [at for at, tag, _ in events if tag == 'c']
    talk = max(at for at, tag, _ in events if tag == 's') - min(sent) if sent else 0.0
    turns = []
    waiting = True
    for _, tag, data in sorted(events, key=lambda e: e[0]):
        if tag == 's':
            waiting = True
        elif waiting:
            waiting = False
            said = commands(data)
            if not said[0].startswith(('LIST ', 'TOP ', 'DELE ')):
                turns.append('+'.join(c.split()[0] for c in said))
    return dialogue, window, seconds, wall, talk, turns


def main(argv):
    args = parse_args(argv)
    if os.geteuid() != 0:
        sys.exit('roundtrips.py: run it as root: the private Dovecot needs it')
    if not available():
        sys.exit('roundtrips.py: Dovecot is not installed (scripts/install-deps.sh installs it)')
    mailboxes = {'empty': 0, 'mail%d' % args.messages: args.messages}
    work = tempfile.mkdtemp(prefix='pollensift-roundtrips-', dir='/tmp')
    os.chmod(work, 0o755)
    rtt = 2 * args.delay_ms / 1000.0
    programs = [('pollensift', args.pollensift)]
    if args.old:
        programs.insert(0, ('old', args.old))
    print('# round trips after the greeting, delay relay %d ms each way; rules %d; -t' % (
        args.delay_ms, args.rules))
    print('| mailbox | program | PIPELINING | dialogue round trips | window turns | window s | '
          'run s | dialogue s | dialogue in round trips | dialogue |')
    print('|---|---|---|--:|--:|--:|--:|--:|--:|---|')
    with Dovecot({user: PASSWORD for user in mailboxes}) as server:
        for user, n in mailboxes.items():
            for i in range(n):
                server.deliver(user, corpus.message(1, i)[0])
        relay = slowlink.DelayRelay(('127.0.0.1', server.port), args.delay_ms, record=True)
        try:
            for user, n in mailboxes.items():
                runs = []
                for name, binary in programs:
                    for pipelining in ('yes', 'no'):
                        rc = os.path.join(work, '%s-%s-%s.rc' % (user, name, pipelining))
                        with open(rc, 'w') as f:
                            f.write(rules.rc_text(args.rules, rules.EXTENDED,
                                                  os.path.join(work, 'log'), '127.0.0.1',
                                                  relay.address[1], user, PASSWORD,
                                                  pipelining=pipelining))
                        os.chmod(rc, 0o600)
                        runs.append((name, pipelining, [binary, '-t', '-v', '2', '-M', rc]))
                if args.floor:
                    runs.append(('floor', 'yes', [args.floor, '--pipelined', '127.0.0.1',
                                                  str(relay.address[1]), user, PASSWORD]))
                # The first session makes Dovecot index the mailbox; it is not counted.
                session(relay, runs[0][2], work)
                for name, pipelining, argv_ in runs:
                    dialogue, window, seconds, wall, talk, turns = session(relay, argv_, work)
                    print('| %s | %s | %s | %d | %d | %.2f | %.2f | %.2f | %.1f | %s |' % (
                        'empty' if n == 0 else '%d messages' % n, name, pipelining, dialogue,
                        window, seconds, wall, talk, talk / rtt, ', '.join(turns)), flush=True)
        finally:
            relay.close()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
