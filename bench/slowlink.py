"""Slow links for the whole-run benchmark: each POP3 exchange pays a round trip.

NamespaceLink: two network namespaces made for the run, joined by a veth pair with addresses in
10.200.0.0/16 that exist only inside them, and netem delay on both ends. The server is started
while this process stands in one namespace, the clients while it stands in the other; nothing
outside the two namespaces is touched, and close() deletes them (which removes the veth pair).
Needs root, iproute2 and the kernel's netem queueing discipline.

DelayRelay: where netem is missing, a relay on loopback that holds every chunk of bytes for the
delay in each direction before passing it on, which is what netem does to a link with no loss and
ample bandwidth. It can also hide a capability: the line is taken out of what the server sends, so
the same server looks like one that does not offer it; and it can record when each chunk of bytes
came from the client and when each went to it, which is what round_trips() counts.
"""

import ctypes
import os
import queue
import shutil
import socket
import subprocess
import threading
import time

CLONE_NEWNET = 0x40000000


def _ip(*args):
    subprocess.run(['ip'] + list(args), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def _setns(path):
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), 'setns ' + path)
    finally:
        os.close(fd)


class NamespaceLink:
    def __init__(self, delay_ms):
        tag = os.getpid() % 100000
        self.delay_ms = delay_ms
        self.server_ns = 'psb%d-srv' % tag
        self.client_ns = 'psb%d-cli' % tag
        net = 10 + tag % 240
        self.server_host = '10.200.%d.1' % net
        self.client_host = '10.200.%d.2' % net
        self._devices = ('psb%ds' % tag, 'psb%dc' % tag)
        self._home = None
        self._made = []

    @staticmethod
    def unavailable_reason(delay_ms):
        """Why the namespace link cannot be made here, or None when it can. With no delay the
        link has no netem and only tests the namespaces."""
        if os.geteuid() != 0:
            return 'not root'
        if not shutil.which('ip') or not shutil.which('tc'):
            return 'iproute2 (ip, tc) is not installed'
        probe = NamespaceLink(delay_ms)
        probe.server_ns += 'p'
        probe.client_ns += 'p'
        probe._devices = tuple(d + 'p' for d in probe._devices)
        try:
            probe.open()
        except subprocess.CalledProcessError as e:
            return (e.stderr or b'').decode(errors='replace').strip() or str(e)
        except OSError as e:
            return str(e)
        finally:
            probe.close()
        return None

    def open(self):
        self._home = os.open('/proc/self/ns/net', os.O_RDONLY | os.O_CLOEXEC)
        server_dev, client_dev = self._devices
        for ns in (self.server_ns, self.client_ns):
            _ip('netns', 'add', ns)
            self._made.append(ns)
            _ip('-n', ns, 'link', 'set', 'lo', 'up')
        _ip('link', 'add', server_dev, 'netns', self.server_ns, 'type', 'veth', 'peer', 'name',
            client_dev, 'netns', self.client_ns)
        for ns, dev, host in ((self.server_ns, server_dev, self.server_host),
                              (self.client_ns, client_dev, self.client_host)):
            _ip('-n', ns, 'addr', 'add', host + '/30', 'dev', dev)
            _ip('-n', ns, 'link', 'set', dev, 'up')
            if self.delay_ms > 0:
                subprocess.run(['tc', '-n', ns, 'qdisc', 'add', 'dev', dev, 'root', 'netem',
                                'delay', '%dms' % self.delay_ms], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return self

    def enter_server(self):
        _setns('/var/run/netns/' + self.server_ns)

    def enter_client(self):
        _setns('/var/run/netns/' + self.client_ns)

    def leave(self):
        if self._home is not None:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.setns(self._home, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), 'setns back to the first namespace')

    def close(self):
        self.leave()
        while self._made:
            subprocess.run(['ip', 'netns', 'del', self._made.pop()], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        if self._home is not None:
            os.close(self._home)
            self._home = None


class _Pair:
    """The two sockets of one relayed connection, closed when both directions have ended."""

    def __init__(self, *sockets):
        self.sockets = sockets
        self.open_directions = 2
        self.lock = threading.Lock()

    def done(self):
        with self.lock:
            self.open_directions -= 1
            if self.open_directions == 0:
                for sock in self.sockets:
                    sock.close()


class DelayRelay:
    """Listens on a free loopback port and relays each connection to target, both directions
    delayed by delay_ms."""

    def __init__(self, target, delay_ms, host='127.0.0.1', hide=None, record=False):
        self.target = target
        # With record: one list per connection, in the order they came, of (time, 'c', bytes) for
        # what the client sent (when the relay read it) and (time, 's', bytes) for what the
        # client was sent (when it was passed on).
        self.sessions = [] if record else None
        # A capability line of the server's CAPA reply, taken out of each chunk it comes in (the
        # reply is short and comes in one piece).
        self._hidden = b'\r\n' + hide.encode() + b'\r\n' if hide else None
        self.delay = delay_ms / 1000.0
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, 0))
        # Room for many connections at once (-j): a full backlog drops SYNs, which cost a second.
        self.listener.listen(64)
        self.address = self.listener.getsockname()
        self._stop = False
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while not self._stop:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(self.target)
            for sock in (client, server):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            pair = _Pair(client, server)
            events = None
            if self.sessions is not None:
                events = []
                self.sessions.append(events)
            for src, dst, hidden, tag in ((client, server, None, 'c'),
                                          (server, client, self._hidden, 's')):
                held = queue.Queue()
                threading.Thread(target=self._read, args=(src, held, hidden, events, tag),
                                 daemon=True).start()
                threading.Thread(target=self._write, args=(dst, held, pair, events, tag),
                                 daemon=True).start()

    def _read(self, src, held, hidden, events, tag):
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b''
            if hidden:
                data = data.replace(hidden, b'\r\n')
            if events is not None and tag == 'c' and data:
                events.append((time.monotonic(), 'c', data))
            held.put((time.monotonic() + self.delay, data))
            if not data:
                return

    @staticmethod
    def _write(dst, held, pair, events, tag):
        try:
            while True:
                due, data = held.get()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if not data:
                    dst.shutdown(socket.SHUT_WR)
                    return
                # Noted before it goes: the client cannot answer what it has not been sent.
                if events is not None and tag == 's':
                    events.append((time.monotonic(), 's', data))
                dst.sendall(data)
        except OSError:
            return
        finally:
            pair.done()

    def close(self):
        self._stop = True
        self.listener.close()


# The commands of the scan's window: what the client sends there depends on the window's size and
# on how the replies happen to arrive, so its writes are counted apart.
WINDOW_COMMANDS = (b'LIST ', b'TOP ', b'DELE ', b'RETR ')


def round_trips(events):
    """What one recorded session cost in round trips after the greeting: (dialogue, window,
    window_seconds). A round trip is a turn of the client: what it sent between two moments at
    which it was sent something, so commands that went out together, before any reply came back,
    count once. Turns that begin with a command of the scan's window count as window; their time,
    from the first such turn to the last reply before the next turn outside the window, is
    window_seconds."""
    turns = []  # (time, first command, time of the last reply the turn got)
    waiting = True  # the client has been sent something since its last turn began
    for at, tag, data in sorted(events, key=lambda e: e[0]):
        if tag == 's':
            waiting = True
            if turns:
                turns[-1][2] = at
        elif waiting:
            turns.append([at, data, at])
            waiting = False
    dialogue = [t for t in turns if not t[1].startswith(WINDOW_COMMANDS)]
    window = [t for t in turns if t[1].startswith(WINDOW_COMMANDS)]
    seconds = window[-1][2] - window[0][0] if window else 0.0
    return len(dialogue), len(window), seconds
