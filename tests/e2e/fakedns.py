"""A scripted DNS server for the block-list tests: UDP on a loopback port, A queries only.

It runs as its own process (python3 fakedns.py SCENARIO_JSON), prints "PORT n" once it listens
on 127.0.0.1, and appends the name of every query it receives to the scenario's log file, one a
line. FakeDns starts it and stops it by its PID.

Scenario keys (all optional):
  answers  name -> what to answer: a list of IPv4 addresses (A records; "127.255.255.254" is how
           the lists say "error"), "servfail", or "silent" (no answer at all)
  zones    zone -> the same, for every name under the zone that answers does not name
  delay    seconds every answer waits before it is sent (others are served meanwhile)
  log      the query log
Any other name is answered NXDOMAIN.
"""

import heapq
import json
import os
import select
import signal
import socket
import struct
import sys
import time

from fakepop import FakePop


def question(packet):
    """The query's name (lower case) and the end of its question section, or None."""
    labels = []
    at = 12
    while at < len(packet):
        length = packet[at]
        if length == 0:
            return '.'.join(labels).lower(), at + 5
        if length & 0xc0:
            return None
        labels.append(packet[at + 1:at + 1 + length].decode('latin-1'))
        at += 1 + length
    return None


def decide(scenario, name):
    answers = scenario.get('answers', {})
    if name in answers:
        return answers[name]
    for zone, what in scenario.get('zones', {}).items():
        if name == zone or name.endswith('.' + zone):
            return what
    return 'nxdomain'


def reply(packet, end, what):
    ident, flags = struct.unpack('!HH', packet[:4])
    rcode = {'nxdomain': 3, 'servfail': 2}.get(what, 0) if isinstance(what, str) else 0
    addresses = what if isinstance(what, list) else []
    header = struct.pack('!HHHHHH', ident, 0x8000 | (flags & 0x7900) | 0x0480 | rcode, 1,
                         len(addresses), 0, 0)
    records = b''.join(struct.pack('!HHHIH', 0xc00c, 1, 1, 60, 4) + socket.inet_aton(a)
                       for a in addresses)
    return header + packet[12:end] + records


def serve(scenario):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(('127.0.0.1', 0))
    print('PORT %d' % sock.getsockname()[1], flush=True)
    delay = scenario.get('delay', 0)
    due = []  # (time, sequence, data, address)
    sequence = 0
    while True:
        wait = max(0, due[0][0] - time.monotonic()) if due else None
        readable, _, _ = select.select([sock], [], [], wait)
        if readable:
            packet, address = sock.recvfrom(4096)
            asked = question(packet) if len(packet) >= 12 else None
            if asked is not None:
                name, end = asked
                with open(scenario['log'], 'a') as f:
                    f.write(name + '\n')
                what = decide(scenario, name)
                if what != 'silent':
                    sequence += 1
                    heapq.heappush(due, (time.monotonic() + delay, sequence,
                                         reply(packet, end, what), address))
        while due and due[0][0] <= time.monotonic():
            _, _, data, address = heapq.heappop(due)
            sock.sendto(data, address)


class FakeDns(FakePop):
    """Runs one scenario in its own process; stop() ends it by its PID."""

    script = os.path.abspath(__file__)
    what = 'fake DNS server'

    def queries(self):
        """The names asked so far, in order."""
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [line.rstrip('\n') for line in f]


if __name__ == '__main__':
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    serve(json.loads(sys.argv[1]))
