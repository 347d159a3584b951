"""Runs the pollensift binary on an rc file for the end-to-end tests."""

import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import dovecot
from fakepop import FakePop

BIN = os.environ.get('POLLENSIFT_BIN', 'pollensift')
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fixtures')
STAMP = re.compile(r'^[A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ', re.M)


def fixture_mail(name):
    with open(os.path.join(FIXTURES, 'mail', name), 'rb') as f:
        return f.read()


def screen(received):
    """What a terminal shows after received: a carriage return goes back to the start of the
    line, where the text that follows overwrites what stood there."""
    lines = [[]]
    column = 0
    for ch in received:
        if ch == '\n':
            lines.append([])
            column = 0
        elif ch == '\r':
            column = 0
        else:
            line = lines[-1]
            if column < len(line):
                line[column] = ch
            else:
                line.append(ch)
            column += 1
    text = '\n'.join(''.join(line).rstrip(' ') for line in lines)
    return text.rstrip('\n') + '\n' if text.strip('\n') else ''


def run_with_terminal(command, timeout):
    """Runs command with standard output and standard error on one pseudo-terminal, as at the
    keyboard; returns the exit status and every byte the terminal received."""
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    finally:
        os.close(slave)
    received = b''
    deadline = time.monotonic() + timeout
    try:
        while True:
            ready, _, _ = select.select([master], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                proc.kill()
                break
            try:
                data = os.read(master, 4096)
            except OSError:  # EIO: the program and its children have closed the terminal
                break
            if not data:
                break
            received += data
        code = proc.wait(timeout=timeout)
    finally:
        os.close(master)
    return code, received


# In a build with AddressSanitizer, freed memory would be held back in quarantine, which looks
# like growth; it is turned off so that the same limits hold for both builds.
ASAN_OPTIONS = ':'.join(filter(None, [os.environ.get('ASAN_OPTIONS'), 'quarantine_size_mb=0',
                                      'thread_local_quarantine_size_kb=0']))


def peak_rss_kib(args, env=None):
    """Runs args in a fresh process (with env, when given) and gives its exit status and the
    peak resident size of that one child, in KiB."""
    probe = ('import resource, subprocess, sys\n'
             'r = subprocess.run(sys.argv[1:], capture_output=True)\n'
             'print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n')
    out = subprocess.run([sys.executable, '-c', probe] + args, capture_output=True, check=True,
                         timeout=300, env=env).stdout.split()
    return int(out[0]), int(out[1])


class Result:
    def __init__(self, code, out, err, log, terminal=None):
        self.code = code
        self.out = STAMP.sub('', out)
        self.err = STAMP.sub('', err)
        self.log = STAMP.sub('', log)
        # On a terminal: every byte it received; err is then what it shows, and out is empty.
        self.terminal = terminal

    def errors(self):
        return [l for l in self.err.splitlines() if l.startswith('pollensift: Error: ')]


class PollensiftTest(unittest.TestCase):
    """A temporary directory per test, and pollensift runs in it with a given rc text."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix='ps-e2e-')
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def fake_server(self, scenario):
        """A scripted POP3 server for this test, stopped when the test ends; each one the test
        starts logs its commands to a file of its own."""
        self.servers = getattr(self, 'servers', 0) + 1
        server = FakePop(scenario, self.path('commands-%d' % self.servers))
        server.start()
        self.addCleanup(server.stop)
        return server

    def pollensift(self, rc_text, *args, timeout=120, stdin=None, mode=0o600, terminal=False):
        """Runs the binary on rc_text; with terminal, its output goes to a pseudo-terminal."""
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\n' % self.path('log') + rc_text)
        os.chmod(rc, mode)  # 0600: it holds passwords, and no warning is wanted about them
        if os.path.exists(self.path('log')):
            os.remove(self.path('log'))
        command = [BIN, '-M', rc] + list(args)
        received = None
        if terminal:
            code, received = run_with_terminal(command, timeout)
            received = received.decode('latin-1')
            out, err = b'', screen(received)
        else:
            proc = subprocess.run(command, capture_output=True, timeout=timeout,
                                  **({'stdin': subprocess.DEVNULL} if stdin is None else
                                     {'input': stdin}))
            code, out, err = proc.returncode, proc.stdout, proc.stderr.decode('latin-1')
        log = ''
        if os.path.exists(self.path('log')):
            with open(self.path('log'), encoding='latin-1') as f:
                log = f.read()
        return Result(code, out.decode('latin-1'), err, log, received)

    def terminated_after_first_dele(self, rc_text, *args):
        """Runs pollensift at verbosity 6 until it has sent its first DELE, then sends SIGTERM;
        the exit status and all of standard output."""
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\n' % self.path('log') + rc_text)
        os.chmod(rc, 0o600)
        p = subprocess.Popen([BIN, '-M', rc, '-v', '6'] + list(args), stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        try:
            seen = b''
            while b'Wrote: DELE 1\r' not in seen and b'Wrote: DELE 1\n' not in seen:
                chunk = p.stdout.read1(4096)
                self.assertTrue(chunk, 'pollensift ended before its first DELE')
                seen += chunk
            p.send_signal(signal.SIGTERM)
            out = seen + p.stdout.read()
            p.wait(timeout=30)
        finally:
            p.stdout.close()
            if p.poll() is None:
                p.kill()
                p.wait()
        return p.returncode, out


def normalised(message):
    """A message as the mail store keeps it, with plain line ends."""
    return message.replace(b'\r\n', b'\n')


@unittest.skipUnless(os.geteuid() == 0, 'a private Dovecot needs root (mail files owned by dovecot)')
class DovecotTest(PollensiftTest):
    """One private Dovecot for the whole class, with a mailbox for each of USERS."""

    USERS = {}

    @classmethod
    def setUpClass(cls):
        if not dovecot.available():
            raise unittest.SkipTest('dovecot-pop3d is not installed (scripts/install-deps.sh)')
        cls.server = dovecot.Dovecot(cls.USERS).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def left(self, user):
        """The messages left in user's mailbox."""
        return [normalised(m) for m in self.server.messages(user)]


def account(user, password, port, protocol='POP3'):
    return ('SERVER = "127.0.0.1"\nUSER = "%s"\nPASS = "%s"\nPROTOCOL = "%s"\nPORT = %d\n'
            % (user, password, protocol, port))
