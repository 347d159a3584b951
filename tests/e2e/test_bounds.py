"""Hostile servers against the built binary: an endless reply, an endless line, a reply that
trickles in for ever, and a mailbox that claims a million messages. pollensift must end each
session with an error rather than wait without end, and its peak memory must stay small and must
not grow with the number of messages. Memory is measured, not time: the peak resident size that
the kernel reports for the pollensift process (wait4), and its own high-water mark while it runs
(/proc); a guard only kills a run that has not ended after 60 s.

The hostile server runs as its own process (python3 test_bounds.py MODE), prints "PORT n" once it
listens on 127.0.0.1, and serves one connection; the tests stop it by its PID.
"""

import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from harness import ASAN_OPTIONS, BIN, PollensiftTest, account

MIB = 1 << 20
# Generous: the longest reply pollensift keeps is 64 MiB, and its buffer may be copied once as it
# grows.
PEAK_LIMIT = 200 * MIB
# The longest header pollensift accepts (TOP n 0), and what judging one may cost: the reply, its
# copy in the parser's buffer, the fields, the lines the rules test, a kept field or two.
HEADER_LIMIT = 4 * MIB
HEADER_COST_LIMIT = 8 * HEADER_LIMIT
# A header just below the limit: its reply with status line and end marker fits.
NEAR_LIMIT = HEADER_LIMIT - 1024
MILLION = 1000000


def header(number):
    return ('From: sender%d@example.org\r\nSubject: message %d\r\n'
            'Message-ID: <%d.million@example.org>\r\n' % (number, number, number))


class Hostile:
    """What the server does, by mode; every mode logs in, answers STAT and offers PIPELINING."""

    def __init__(self, mode, conn):
        self.mode = mode
        self.conn = conn
        self.buffer = b''

    def command(self):
        while b'\r\n' not in self.buffer:
            chunk = self.conn.recv(65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b'\r\n', 1)
        return line.decode('latin-1').split()

    def endless(self, piece, pause=0.0):
        """Sends piece for ever, until the client goes away."""
        while True:
            self.conn.sendall(piece)
            if pause:
                time.sleep(pause)

    def run(self):
        if self.mode == 'endless-line':
            self.conn.sendall(b'+OK ')
            self.endless(b'a' * 65536)
        self.conn.sendall(b'+OK hostile server ready\r\n')
        served = 0
        while True:
            words = self.command()
            if not words:
                return
            verb = words[0].upper()
            if verb == 'CAPA':
                self.conn.sendall(b'+OK\r\nTOP\r\nPIPELINING\r\n.\r\n')
            elif verb == 'LIST' and len(words) == 1:
                # Sizes come with LIST n, so many large headers are asked for at once.
                self.conn.sendall(b'-ERR one at a time\r\n')
            elif self.mode in BIG_HEADERS:
                if not self.big_header(verb, words):
                    return
            elif verb == 'STAT':
                self.conn.sendall(b'+OK %d 1000\r\n' % MILLION)
            elif verb == 'LIST':
                self.conn.sendall(b'+OK %s 500\r\n' % words[1].encode())
            elif verb == 'TOP' and self.mode == 'endless-reply':
                self.conn.sendall(b'+OK\r\n')
                self.endless(b'X-Filler: ' + b'a' * 1000 + b'\r\n')
            elif verb == 'TOP' and self.mode == 'trickle':
                self.conn.sendall(b'+OK\r\nSubject: slow\r\n')
                self.endless(b'X', pause=0.2)
            elif verb == 'TOP':
                served += 1
                if served > int(self.mode):
                    return  # the mailbox "ends" here: the connection closes
                self.conn.sendall(b'+OK\r\n' + header(int(words[1])).encode() + b'\r\n.\r\n')
            elif verb == 'CAPA':
                self.conn.sendall(b'-ERR no capabilities here\r\n')
            else:
                self.conn.sendall(b'+OK\r\n')


    def big_header(self, verb, words):
        """A well-behaved mailbox of headers just below the limit; False after QUIT."""
        count, make = BIG_HEADERS[self.mode]
        if verb == 'STAT':
            self.conn.sendall(b'+OK %d %d\r\n' % (count, count * NEAR_LIMIT))
        elif verb == 'LIST':
            self.conn.sendall(b'+OK %s %d\r\n' % (words[1].encode(), NEAR_LIMIT))
        elif verb == 'TOP':
            self.conn.sendall(b'+OK\r\n' + make(int(words[1])) + b'\r\n.\r\n')
        elif verb == 'CAPA':
            self.conn.sendall(b'-ERR no capabilities here\r\n')
        else:
            self.conn.sendall(b'+OK\r\n')
        return verb != 'QUIT'


def huge_id_header(number):
    """A header whose Message-ID fills it, different for each message."""
    head = b'From: a@example.org\r\nSubject: %d\r\nMessage-ID: <%d.' % (number, number)
    return head + b'x' * (NEAR_LIMIT - len(head) - 20) + b'@example.org>\r\n'


def small_id_header(number):
    """The header of huge_id_header at an ordinary size: what the process costs without big
    headers."""
    return b'From: a@example.org\r\nSubject: %d\r\nMessage-ID: <%d@example.org>\r\n' % (
        number, number)


def tiny_fields_header(_number):
    """A header of nothing but tiny fields."""
    return b'A: b\r\n' * (NEAR_LIMIT // 6)


# Mode -> (messages in the mailbox, header of message n).
BIG_HEADERS = {'huge-ids': (40, huge_id_header), 'tiny-fields': (1, tiny_fields_header),
               'small-ids': (40, small_id_header)}


def serve(mode):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(('127.0.0.1', 0))
    listener.listen(1)
    print('PORT %d' % listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        Hostile(mode, conn).run()
        # Closed in order: what was sent arrives whole, and commands still coming are read and
        # dropped (closing with them unread would reset the connection and lose the replies).
        conn.shutdown(socket.SHUT_WR)
        while conn.recv(65536):
            pass
    except OSError:
        pass  # pollensift gave up and closed the connection
    conn.close()


def high_water_mark(pid):
    """VmHWM of a running process in bytes; 0 once it has ended."""
    try:
        with open('/proc/%d/status' % pid) as f:
            for line in f:
                if line.startswith('VmHWM:'):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


class Bounds(PollensiftTest):
    def hostile(self, mode):
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), mode],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)

        def stop():
            if server.poll() is None:
                os.kill(server.pid, signal.SIGTERM)
            server.wait(timeout=10)
            server.stdout.close()
        self.addCleanup(stop)
        line = server.stdout.readline().decode()
        self.assertTrue(line.startswith('PORT '), line)
        return int(line.split()[1])

    def run_measured(self, mode, rc_text='', timeout=2):
        """Runs pollensift against a hostile server: its exit status, its error lines, its peak
        resident size in bytes as the kernel counts it at exit (which includes the test
        driver's own size, inherited through fork: an upper bound), and the high-water mark of
        pollensift's own memory as last seen while it ran. A run that does not end within 60 s
        fails the test."""
        port = self.hostile(mode)
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\nTIMEOUT = %d\n' % (self.path('log'), timeout) + rc_text +
                    account('jo', 'pw', port))
        os.chmod(rc, 0o600)
        with open(self.path('err'), 'w+b') as err:
            proc = subprocess.Popen([BIN, '-M', rc], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=err,
                                    env=dict(os.environ, ASAN_OPTIONS=ASAN_OPTIONS))
            guard = threading.Timer(60, os.kill, (proc.pid, signal.SIGKILL))
            guard.start()
            own_peak = 0
            while not os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT):
                own_peak = max(own_peak, high_water_mark(proc.pid))
                time.sleep(0.002)
            # wait4 reaps the process with its own resource usage (not its siblings').
            _, status, usage = os.wait4(proc.pid, 0)
            guard.cancel()
            proc.returncode = os.waitstatus_to_exitcode(status)
            err.seek(0)
            errors = [l.split(' pollensift: ', 1)[-1] for l in
                      err.read().decode('latin-1').splitlines()]
        self.assertNotEqual(proc.returncode, -signal.SIGKILL, 'no end within 60 s')
        self.assertGreater(own_peak, 0)
        return proc.returncode, errors, usage.ru_maxrss * 1024, own_peak

    def test_endless_reply_and_endless_line_are_cut_off(self):
        rows = [
            ('endless-reply', "Error: The server's reply is longer than 4194304 bytes.",
             'Error: Error occurred while sending TOP to server.'),
            ('endless-line', "Error: The server's reply is longer than 67108864 bytes.",
             "Error: No login was tried: the server's greeting could not be read."),
        ]
        for mode, cause, context in rows:
            with self.subTest(mode):
                # The limit must be what ends them, not the time-out: a whole reply must come
                # within it, and a loaded machine may take seconds to send 64 MiB.
                code, errors, peak, _ = self.run_measured(mode, timeout=30)
                self.assertEqual(code, 255)
                self.assertEqual(errors[:2], [cause, context])
                self.assertLess(peak, PEAK_LIMIT)

    def test_header_memory_is_bounded_by_the_header_limit(self):
        # 40 kept messages whose Message-IDs are 4 MiB each: the duplicate list keeps each by a
        # digest, not 160 MiB of IDs. One header of 700,000 "A: b" fields: each is stored in a
        # few bytes. With rules, the lines they test and each line's candidate rules cost more
        # per line than the field; that is bounded by the header limit too.
        # What the headers cost is measured above the same run over ordinary headers, so that
        # the program's own size (larger in a sanitizer build) does not count.
        rows = [
            ('huge-ids', 'DEL_DUPLICATES = "yes"\n', HEADER_COST_LIMIT),
            ('tiny-fields', '', HEADER_COST_LIMIT),
            ('tiny-fields', 'DENY = "^B:"\nSCORE 1 = "^C"\nALLOW = "^D:"\n', PEAK_LIMIT),
        ]
        for mode, rc_text, limit in rows:
            with self.subTest(mode=mode, rules=rc_text):
                _, _, _, base = self.run_measured('small-ids', rc_text)
                code, errors, peak, own = self.run_measured(mode, rc_text)
                self.assertEqual((code, errors), (0, []))
                self.assertLess(own - base, limit, (own, base))
                self.assertLess(peak, PEAK_LIMIT)

    def test_trickling_reply_is_cut_off(self):
        # Each byte comes well within the time-out, but the reply never ends.
        code, errors, peak, _ = self.run_measured('trickle')
        self.assertEqual(code, 255)
        self.assertEqual(errors[:2], ['Error: Connection has timed out.',
                                      'Error: Error occurred while sending TOP to server.'])
        self.assertLess(peak, PEAK_LIMIT)

    def test_memory_does_not_grow_with_the_number_of_messages(self):
        # The server claims a million messages and serves as many as asked before it hangs up;
        # every message is fetched, parsed and judged. 300 times the messages must not take
        # more memory, beyond allocator noise. (With DEL_DUPLICATES on, the Message-IDs seen are
        # kept for the whole run, by design.) The allowance is for the allocator, whose high-water
        # mark wanders by up to about a MiB between runs in a sanitizer build; anything kept per
        # message, even a pointer and a size, would cost 299,000 times that and show far above it.
        own = {}
        for served in (1000, 300000):
            code, errors, peak, own[served] = self.run_measured(
                str(served), 'DENY = "^Subject: message [0-9]*7$"\n')
            self.assertEqual(code, 255)
            self.assertEqual(errors[:2], ['Error: The server closed the connection.',
                                          'Error: Error occurred while sending TOP to server.'])
            self.assertLess(peak, PEAK_LIMIT)
        self.assertLess(own[300000] - own[1000], 4 * MIB, own)


if __name__ == '__main__':
    serve(sys.argv[1])
