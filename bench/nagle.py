#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A repeat run with STATEFILE against a server that does not set TCP_NODELAY.

The scripted server (tests/e2e/fakepop.py) holds N messages; a first run remembers them all, then
every tenth is dropped from the state file, so the repeat run fetches one new message between
nine remembered ones: each new message is a round trip of its own (LIST n and TOP n 0). A server
with Nagle's algorithm holds the second reply back until the first is acknowledged, so a client
that delays its acknowledgements waits up to 40 ms per new message.

    bench/nagle.py BINARY [BINARY...] [--messages N]

Prints, per binary, the repeat run's time against a server with and without TCP_NODELAY, and
their ratio. Loopback only; the server is stopped by its PID.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'e2e'))
from fakepop import FakePop  # noqa: E402


def repeat_run(binary, count, nodelay, work):
    messages = ['Subject: m%d\r\nMessage-ID: <%d@x>\r\n' % (i, i) for i in range(1, count + 1)]
    listing = '+OK\r\n' + ''.join('%d u%d\r\n' % (i, i) for i in range(1, count + 1)) + '.\r\n'
    scenario = {'messages': messages, 'capa': ['TOP', 'UIDL', 'PIPELINING'],
                'replies': {'UIDL': listing}, 'nodelay': nodelay}
    state = os.path.join(work, 'state')
    if os.path.exists(state):
        os.remove(state)
    with FakePop(scenario, os.path.join(work, 'commands')) as server:
        rc = os.path.join(work, 'rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s/log"\nSTATEFILE = "%s"\nTIMEOUT = 10\nSERVER = "127.0.0.1"\n'
                    'USER = "jo"\nPASS = "pw"\nPROTOCOL = "POP3"\nPORT = %d\n'
                    % (work, state, server.port))
        os.chmod(rc, 0o600)
        subprocess.run([binary, '-M', rc, '-t'], capture_output=True, check=True)
        with open(state) as f:
            text = f.read()
        # Forget every tenth message, and correct the account's count of entries.
        text = re.sub(r'^u\d*0 .*\n', '', text, flags=re.M)
        text = re.sub(r' %d\n' % count, ' %d\n' % (count - count // 10), text, count=1)
        with open(state, 'w') as f:
            f.write(text)
        start = time.monotonic()
        run = subprocess.run([binary, '-M', rc, '-t'], capture_output=True)
        elapsed = time.monotonic() - start
        if run.returncode != 0 or b'judged in an earlier run' not in run.stdout:
            raise SystemExit('the repeat run failed: ' + run.stderr.decode())
        return elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('binaries', nargs='+')
    parser.add_argument('--messages', type=int, default=1000)
    args = parser.parse_args()
    print('%-40s %12s %12s %8s' % ('binary', 'NODELAY s', 'Nagle s', 'ratio'))
    for binary in args.binaries:
        with tempfile.TemporaryDirectory() as work:
            fast = repeat_run(binary, args.messages, True, work)
            slow = repeat_run(binary, args.messages, False, work)
        print('%-40s %12.2f %12.2f %8.1f' % (binary, fast, slow, slow / fast))


if __name__ == '__main__':
    main()
