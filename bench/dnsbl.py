#!/usr/bin/env python3
"""What the DNS block lists cost a whole run over a slow link.

A scripted POP3 server (tests/e2e/fakepop.py) holds N messages, each from a relay of its own (a
public address, every second one listed), behind the delay relay of bench/slowlink.py (20 ms
each way); a scripted DNS server (tests/e2e/fakedns.py) answers after a delay of its own. Three
kinds of run, alternating, in test mode (-t: the dialogue is the same whatever the verdicts):

  none     the rc file without DNSBL
  dnsbl    DNSBL 100 = "bl.example" through the DNS server, which answers after --dns-delay
  silent   the same through a DNS server that never answers

    bench/dnsbl.py BINARY [--messages 200] [--runs 5] [--delay-ms 20] [--dns-delay-ms 20]

Prints each kind's median wall time, the goal (dnsbl at most 1.15 times none plus 0.1 s) and
whether the verdicts are as they should be. Loopback only; every server is stopped by its PID.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'e2e'))
sys.path.insert(0, HERE)
from fakedns import FakeDns  # noqa: E402
from fakepop import FakePop  # noqa: E402
from slowlink import DelayRelay  # noqa: E402


def relay_of(i):
    return '203.0.113.%d' % (i % 250 + 1) if i < 250 else '198.51.100.%d' % (i % 250 + 1)


def messages(count):
    return ['Received: from mx%d.example (mx%d.example [%s]) by mx.provider.example; '
            'Fri, 11 Dec 2026 10:00:00 +0000\r\nReceived: from filter.internal '
            '(filter.internal [10.0.0.5]) by mx.provider.example\r\nFrom: s%d@example.org\r\n'
            'Subject: message %d\r\nMessage-ID: <%d@example.org>' % (i, i, relay_of(i), i, i, i)
            for i in range(count)]


def listed_names(count):
    names = {}
    for i in range(0, count, 2):
        a, b, c, d = relay_of(i).split('.')
        names['%s.%s.%s.%s.bl.example' % (d, c, b, a)] = ['127.0.0.2']
    return names


def run(binary, work, pop_port, dns_port):
    rc = os.path.join(work, 'rc')
    with open(rc, 'w') as f:
        f.write('LOGFILE = "%s/log"\n' % work)
        if dns_port is not None:
            f.write('DNSBL 100 = "bl.example"\nDNS_SERVER = "127.0.0.1:%d"\n' % dns_port)
        f.write('SERVER = "127.0.0.1"\nUSER = "jo"\nPASS = "pw"\nPROTOCOL = "POP3"\n'
                'PORT = %d\n' % pop_port)
    os.chmod(rc, 0o600)
    start = time.monotonic()
    proc = subprocess.run([binary, '-M', rc, '-t', '-v', '3'], capture_output=True, text=True,
                          timeout=600)
    spent = time.monotonic() - start
    if proc.returncode != 0:
        raise RuntimeError('run failed: ' + proc.stderr)
    return spent, proc.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('binary')
    parser.add_argument('--messages', type=int, default=200)
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--delay-ms', type=int, default=20)
    parser.add_argument('--dns-delay-ms', type=int, default=20)
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    count = args.messages
    with tempfile.TemporaryDirectory(prefix='ps-dnsbl-') as work:
        pop = FakePop({'messages': messages(count), 'capa': ['TOP', 'PIPELINING']},
                      os.path.join(work, 'commands')).start()
        dns = FakeDns({'answers': listed_names(count), 'delay': args.dns_delay_ms / 1000.0},
                      os.path.join(work, 'queries')).start()
        silent = FakeDns({'zones': {'bl.example': 'silent'}},
                         os.path.join(work, 'silent-queries')).start()
        relay = DelayRelay(('127.0.0.1', pop.port), args.delay_ms)
        try:
            times = {'none': [], 'dnsbl': [], 'silent': []}
            outputs = {}
            for _ in range(args.runs):
                for kind, port in (('none', None), ('dnsbl', dns.port), ('silent', silent.port)):
                    spent, out = run(binary, work, relay.address[1], port)
                    times[kind].append(spent)
                    outputs[kind] = out
        finally:
            relay.close()
            pop.stop()
            dns.stop()
            silent.stop()
    medians = {kind: statistics.median(values) for kind, values in times.items()}
    for kind in ('none', 'dnsbl', 'silent'):
        print('%-6s median %.3f s  (runs: %s)' % (kind, medians[kind],
                                                  ', '.join('%.3f' % t for t in times[kind])))
    goal = 1.15 * medians['none'] + 0.1
    print('goal: dnsbl <= 1.15 * none + 0.1 s = %.3f s: %s (ratio %.3f)'
          % (goal, 'met' if medians['dnsbl'] <= goal else 'NOT MET',
             medians['dnsbl'] / medians['none']))
    for kind, expected in (('none', 0), ('dnsbl', (count + 1) // 2), ('silent', 0)):
        lines = [l for l in outputs[kind].splitlines() if 'Examined' in l]
        found = re.search(r'(\d+) would be deleted', lines[-1]) if lines else None
        deleted = int(found.group(1)) if found else -1
        print('%-6s %s deleted (expected %d): %s' % (kind, deleted, expected,
                                                      'right' if deleted == expected else 'WRONG'))

if __name__ == '__main__':
    main()
