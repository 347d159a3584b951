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

import collections
import ctypes
import heapq
import os
import selectors
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


class _Direction:
    """One direction of a relayed connection: the chunks read from src, each with the moment it
    is due at dst, and the bytes of due chunks that dst has not taken yet."""

    def __init__(self, src, dst, hidden, tag):
        self.src = src
        self.dst = dst
        self.hidden = hidden
        self.tag = tag
        self.held = collections.deque()  # (due, bytes); b'' is the end of src
        self.out = b''
        self.reading = True
        self.ended = False  # dst has been shut for writing (or the connection failed)


class _Connection:
    def __init__(self, client, server, hidden, events):
        self.events = events
        self.directions = (_Direction(client, server, None, 'c'),
                           _Direction(server, client, hidden, 's'))
        self.closed = False


class DelayRelay:
    """Listens on a free loopback port and relays each connection to target, both directions
    delayed by delay_ms. One thread serves every connection with one selector, so twenty
    connections at once cost no more threads than one, and a chunk goes on within a millisecond
    of its moment (the selector's resolution) however many are held."""

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
        self.listener.setblocking(False)
        self.address = self.listener.getsockname()
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.listener, selectors.EVENT_READ, None)
        self._due = []  # heap of (due, sequence, direction) of chunks held
        self._sequence = 0
        self._wake = socket.socketpair()
        self._selector.register(self._wake[0], selectors.EVENT_READ, 'wake')
        self._open = set()
        self._stop = False
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _accept(self):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        server = socket.create_connection(self.target)
        events = None
        if self.sessions is not None:
            events = []
            self.sessions.append(events)
        connection = _Connection(client, server, self._hidden, events)
        self._open.add(connection)
        for sock in (client, server):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.setblocking(False)
        for direction in connection.directions:
            self._watch(direction.src, connection)

    def _watch(self, sock, connection):
        """Registers sock for what its two roles need now: reading while its direction as src
        still reads, writing while its direction as dst has bytes waiting."""
        mask = 0
        for direction in connection.directions:
            if direction.src is sock and direction.reading:
                mask |= selectors.EVENT_READ
            if direction.dst is sock and direction.out and not direction.ended:
                mask |= selectors.EVENT_WRITE
        try:
            key = self._selector.get_key(sock)
        except (KeyError, ValueError):
            key = None
        if mask == 0:
            if key is not None:
                self._selector.unregister(sock)
        elif key is None:
            self._selector.register(sock, mask, connection)
        elif key.events != mask:
            self._selector.modify(sock, mask, connection)

    def _read(self, direction, connection):
        try:
            data = direction.src.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b''
        now = time.monotonic()
        if direction.hidden:
            data = data.replace(direction.hidden, b'\r\n')
        if connection.events is not None and direction.tag == 'c' and data:
            connection.events.append((now, 'c', data))
        direction.held.append((now + self.delay, data))
        heapq.heappush(self._due, (now + self.delay, self._sequence, direction, connection))
        self._sequence += 1
        if not data:
            direction.reading = False
            self._watch(direction.src, connection)

    def _pass_on(self, direction, connection):
        """Moves the chunks that are due into the outgoing bytes and writes what dst takes."""
        now = time.monotonic()
        while direction.held and direction.held[0][0] <= now and not direction.ended:
            data = direction.held[0][1]
            if not data:
                if direction.out:
                    break
                direction.held.popleft()
                try:
                    direction.dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                direction.ended = True
                break
            direction.held.popleft()
            # Noted before it goes: the client cannot answer what it has not been sent.
            if connection.events is not None and direction.tag == 's':
                connection.events.append((time.monotonic(), 's', data))
            direction.out += data
        if direction.out and not direction.ended:
            try:
                sent = direction.dst.send(direction.out)
                direction.out = direction.out[sent:]
            except BlockingIOError:
                pass
            except OSError:
                self._close(connection)
                return
            if not direction.out and direction.held and not direction.held[0][1] and \
                    direction.held[0][0] <= time.monotonic():
                self._pass_on(direction, connection)
                return
        self._watch(direction.dst, connection)
        if all(d.ended for d in connection.directions):
            self._close(connection)

    def _close(self, connection):
        if connection.closed:
            return
        connection.closed = True
        self._open.discard(connection)
        for direction in connection.directions:
            direction.ended = True
            direction.reading = False
            try:
                self._selector.unregister(direction.src)
            except (KeyError, ValueError):
                pass
            direction.src.close()

    def _loop(self):
        while not self._stop:
            timeout = None
            if self._due:
                timeout = max(0.0, self._due[0][0] - time.monotonic())
                # The selector counts whole milliseconds, rounded up: the last two are slept
                # exactly, so that a chunk is not held longer than the delay.
                if timeout < 0.002:
                    time.sleep(timeout)
                    timeout = 0
            for key, mask in self._selector.select(timeout):
                if key.data is None:
                    self._accept()
                    continue
                if key.data == 'wake':
                    return
                connection = key.data
                if connection.closed:
                    continue
                for direction in connection.directions:
                    if mask & selectors.EVENT_READ and direction.src is key.fileobj and \
                            direction.reading:
                        self._read(direction, connection)
                    if mask & selectors.EVENT_WRITE and direction.dst is key.fileobj and \
                            not connection.closed:
                        self._pass_on(direction, connection)
            now = time.monotonic()
            while self._due and self._due[0][0] <= now:
                _, _, direction, connection = heapq.heappop(self._due)
                if not connection.closed:
                    self._pass_on(direction, connection)

    def close(self):
        self._stop = True
        try:
            self._wake[1].send(b'x')
        except OSError:
            pass
        self._thread.join(5)
        for connection in list(self._open):
            self._close(connection)
        self.listener.close()
        for sock in self._wake:
            sock.close()


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
