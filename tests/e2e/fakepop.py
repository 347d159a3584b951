"""A scriptable fake POP3 server for what a real server will not do: replies cut at chosen bytes,
slow drips, silence, connections closed mid-reply, odd greetings and replies, oversized replies.

It runs as its own process (python3 fakepop.py SCENARIO_JSON, or @FILE holding it when it is too
long for a command line), prints "PORT n" once it listens
on 127.0.0.1, serves one connection after another, and appends every command it receives to the
scenario's log file as "N COMMAND" (N counts connections from 1), and "N" alone once connection N
is over. FakePop starts and stops it.

Scenario keys (all optional):
  greeting   the first reply; null for a server that never says anything
  password   the password USER/PASS and APOP accept (default "pw")
  messages   header texts of the mailbox, CR LF line ends, without the final empty line
  capa       the capabilities CAPA lists, e.g. ["TOP", "PIPELINING"]; without it CAPA is refused
  replies    command -> reply text that replaces the normal answer; a reply given as
             {"huge": n} is a positive multi-line reply of n bytes; one given as a list is sent
             piece by piece, 0.2 s apart (as if more came after the first piece)
  capa       capability lines that CAPA lists; without it CAPA is an unknown command
  cut        {"command": C, "bytes": n}: send only n bytes of C's reply, then close; with
             "stall": true, stop sending but keep the connection open instead
  delivery   "whole" (default); "split": connection k sends each reply in two writes cut before
             byte k; "drip": every byte alone
  pause      seconds between the pieces of a split or drip (default 0.005)
  nostuff    true: TOP sends header lines as they are, without dot-stuffing (a faulty server)
  whole      true: TOP sends the whole message whatever its line count; a message's body follows
             its header after an empty line in its text
  nodelay    false: replies wait for the acknowledgement of earlier ones (Nagle's algorithm), as on
             a server that does not set TCP_NODELAY
  hold       {C: D}: the reply to command C is held back and sent right after the reply to D
             (a server that answers pipelined commands out of order)
  autologout seconds: a session silent that long is closed, as a server's autologout timer does
  first_only true: of what one read brings, only the first command is taken and the rest dropped
             (a server that lists PIPELINING and mishandles it)

  crlf_stored true: the messages are files stored with CR LF line ends, served as a server that
             takes LF alone for the line end does: every line of TOP and RETR ends in "\r\r\n",
             and TOP finds no empty line, so it sends the whole message
  capa_after the capabilities CAPA lists after the login (a proxy that logs in to the server
             behind it); without it CAPA lists the same as before the login
  standin    true: as Courier, TOP and RETR of a message whose header holds 8-bit bytes give a
             stand-in header ("Cannot display Unicode content") unless UTF8 was accepted; UTF8 is
             accepted where the CAPA of that moment lists it
  turns      a list of overrides of these keys, one for each connection in turn, starting over
             after the last: [{}, {"messages": [...]}] serves other messages to every second one
  echo_auth  true: AUTH is invited with "+ ", the client's response is sent back as the error
             challenge, and the line after it is refused with an -ERR line that quotes the
             response and the password

The server keeps the marks of DELE, which RSET clears, and logs "N UPDATE m1 m2 ..." when QUIT
carries them out, so a test reads what was really deleted with deleted().
"""

import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import time

GREETING = '+OK fake server ready <4711.1700000000@fake.example>\r\n'


def huge_reply(size):
    line = 'X-Filler: ' + 'a' * 1000 + '\r\n'
    body = line * (size // len(line) + 1)
    return '+OK\r\n' + body + '\r\n.\r\n'


class Session:
    def __init__(self, scenario, conn, number, log):
        turns = scenario.get('turns')
        self.s = dict(scenario, **turns[(number - 1) % len(turns)]) if turns else scenario
        self.conn = conn
        self.number = number
        self.log = log
        self.buffer = b''
        self.marked = set()
        self.held = {}
        self.auth_response = None  # inside an echoed AUTH dialogue: the response once it came
        self.in_auth = False
        self.logged_in = False
        self.utf8 = False

    def send(self, text):
        data = text.encode('latin-1')
        delivery = self.s.get('delivery', 'whole')
        pause = self.s.get('pause', 0.005)
        if delivery == 'split' and 0 < self.number < len(data):
            self.conn.sendall(data[:self.number])
            time.sleep(pause)
            self.conn.sendall(data[self.number:])
        elif delivery == 'drip':
            for i in range(len(data)):
                self.conn.sendall(data[i:i + 1])
                time.sleep(pause)
        else:
            self.conn.sendall(data)

    def command(self):
        if self.s.get('autologout'):
            self.conn.settimeout(self.s['autologout'])
        while b'\r\n' not in self.buffer:
            try:
                chunk = self.conn.recv(4096)
            except socket.timeout:
                return None
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b'\r\n', 1)
        if self.s.get('first_only'):
            self.buffer = b''
        text = line.decode('latin-1')
        with open(self.log, 'a') as f:
            f.write('%d %s\n' % (self.number, text))
        return text

    def answer(self, cmd):
        words = cmd.split()
        verb = words[0].upper() if words else ''
        messages = self.s.get('messages', [])
        password = self.s.get('password', 'pw')
        if self.in_auth:
            if self.auth_response is None:
                self.auth_response = cmd
                return '+ %s\r\n' % cmd
            self.in_auth = False
            return '-ERR [AUTH] not %s nor %s\r\n' % (self.auth_response, password)
        if verb == 'AUTH' and self.s.get('echo_auth'):
            self.in_auth = True
            return '+ \r\n'
        number = int(words[1]) if len(words) > 1 and words[1].isdigit() else 0
        exists = 1 <= number <= len(messages)
        if verb == 'DELE' and exists:
            self.marked.add(number)
        if verb == 'RSET':
            self.marked.clear()
            return '+OK\r\n'
        if verb == 'QUIT':
            with open(self.log, 'a') as f:
                f.write('%d UPDATE%s\n' % (self.number, ''.join(' %d' % n for n in sorted(self.marked))))
        if verb in ('USER', 'QUIT', 'DELE', 'NOOP') and (verb != 'DELE' or exists):
            return '+OK\r\n'
        if verb == 'PASS':
            self.logged_in = cmd[5:] == password
            return '+OK Logged in.\r\n' if cmd[5:] == password else '-ERR [AUTH] failed.\r\n'
        if verb == 'APOP':
            greeting = self.s.get('greeting', GREETING) or ''
            stamp = greeting[greeting.find('<'):greeting.find('>') + 1]
            digest = hashlib.md5((stamp + password).encode()).hexdigest()
            self.logged_in = words[-1] == digest
            return '+OK Logged in.\r\n' if words[-1] == digest else '-ERR [AUTH] failed.\r\n'
        capa = self.s.get('capa_after', self.s.get('capa')) if self.logged_in else self.s.get('capa')
        if verb == 'CAPA' and capa is not None:
            return '+OK\r\n' + ''.join(line + '\r\n' for line in capa) + '.\r\n'
        if verb == 'UTF8' and 'UTF8' in (capa or []):
            self.utf8 = True
            return '+OK UTF8 enabled\r\n'
        if verb in ('TOP', 'RETR') and exists and self.s.get('standin') and not self.utf8 and \
                any(ord(c) > 127 for c in messages[number - 1].partition('\r\n\r\n')[0]):
            header = ('From: Mail Delivery Subsystem <postmaster@fake.example>\r\n'
                      'Subject: Cannot display Unicode content\r\nMime-Version: 1.0\r\n'
                      'Content-Type: text/plain; charset=us-ascii\r\n\r\n')
            body = 'This message holds Unicode, and your mail program did not say UTF8.\r\n'
            return '+OK\r\n' + header + (body if verb == 'RETR' else '') + '.\r\n'
        if verb in ('TOP', 'RETR') and exists and self.s.get('crlf_stored'):
            lines = messages[number - 1].split('\r\n')
            if lines and lines[-1] == '':
                lines.pop()
            lines = ['.' + l if l.startswith('.') else l for l in lines]
            return '+OK\r\n' + ''.join(l + '\r\r\n' for l in lines) + '.\r\n'
        if verb == 'STAT':
            return '+OK %d %d\r\n' % (len(messages), sum(len(m) + 100 for m in messages))
        if verb == 'LIST' and exists:
            return '+OK %d %d\r\n' % (number, len(messages[number - 1]) + 100)
        if cmd.upper() == 'LIST':
            return '+OK\r\n' + ''.join('%d %d\r\n' % (n, len(m) + 100)
                                        for n, m in enumerate(messages, 1)) + '.\r\n'
        if verb == 'CAPA' and 'capa' in self.s:
            return '+OK\r\n' + ''.join(c + '\r\n' for c in self.s['capa']) + '.\r\n'
        if verb == 'RETR' and exists:
            lines = messages[number - 1].split('\r\n')
            if lines and lines[-1] == '':
                lines.pop()
            lines = ['.' + l if l.startswith('.') else l for l in lines]
            return '+OK\r\n' + ''.join(l + '\r\n' for l in lines) + '.\r\n'
        if verb == 'TOP' and exists:
            header, _, body = messages[number - 1].partition('\r\n\r\n')
            lines = [l for l in header.split('\r\n') if l] + ['']
            if self.s.get('whole') and body:
                lines += body.split('\r\n')
            if not self.s.get('nostuff'):
                lines = ['.' + l if l.startswith('.') else l for l in lines]
            return '+OK\r\n' + ''.join(l + '\r\n' for l in lines) + '.\r\n'
        return '-ERR no such message\r\n' if exists or number else '-ERR unknown command\r\n'

    def run(self):
        greeting = self.s.get('greeting', GREETING)
        if greeting is None:
            while self.conn.recv(4096):
                pass
            return
        self.send(greeting)
        cut = self.s.get('cut', {})
        while True:
            cmd = self.command()
            if cmd is None:
                return
            reply = self.s.get('replies', {}).get(cmd)
            if isinstance(reply, dict):
                reply = huge_reply(reply['huge'])
            if isinstance(reply, list):
                for piece in reply:
                    self.conn.sendall(piece.encode('latin-1'))
                    time.sleep(0.2)
                continue
            if reply is None:
                reply = self.answer(cmd)
            if cmd == cut.get('command'):
                self.conn.sendall(reply[:cut['bytes']].encode('latin-1'))
                if cut.get('stall'):
                    while self.conn.recv(4096):
                        pass
                return
            holds = self.s.get('hold', {})
            if cmd in holds:
                self.held[holds[cmd]] = reply
                continue
            self.send(reply + self.held.pop(cmd, ''))
            if cmd.upper() == 'QUIT':
                return


def serve(scenario):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(('127.0.0.1', 0))
    listener.listen(8)
    print('PORT %d' % listener.getsockname()[1], flush=True)
    number = 0
    while True:
        conn, _ = listener.accept()
        number += 1
        if scenario.get('nodelay', True):
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            Session(scenario, conn, number, scenario['log']).run()
            # Closed in order: pipelined commands still arriving are read and dropped, since
            # closing with them unread would reset the connection and lose the replies sent.
            conn.shutdown(socket.SHUT_WR)
            while conn.recv(4096):
                pass
        except OSError:
            pass  # the client went away; serve the next one
        finally:
            conn.close()
            with open(scenario['log'], 'a') as f:
                f.write('%d\n' % number)


class FakePop:
    """Runs one scenario in its own process; stop() ends it by its PID."""

    script = os.path.abspath(__file__)
    what = 'fake POP3 server'

    def __init__(self, scenario, log):
        self.scenario = dict(scenario, log=log)
        self.log = log
        self.process = None
        self.port = None

    def start(self):
        scenario = json.dumps(self.scenario)
        if len(scenario) > 65536:
            with open(self.log + '.json', 'w') as f:
                f.write(scenario)
            scenario = '@' + self.log + '.json'
        self.process = subprocess.Popen(
            [sys.executable, self.script, scenario],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = self.process.stdout.readline().decode()
        if not line.startswith('PORT '):
            self.stop()
            raise RuntimeError(self.what + ' did not start')
        self.port = int(line.split()[1])
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            self.process.wait(timeout=10)
        if self.process:
            self.process.stdout.close()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def deleted(self, connection=1, wait=10):
        """The messages that QUIT deleted on one connection; None when no QUIT came."""
        self.commands(connection, wait)
        with open(self.log) as f:
            for line in f:
                words = line.split()
                if words[:2] == [str(connection), 'UPDATE']:
                    return [int(n) for n in words[2:]]
        return None

    def commands(self, connection=1, wait=10):
        """The commands received on one connection, once the server is done with it."""
        end = time.monotonic() + wait
        while True:
            lines = []
            if os.path.exists(self.log):
                with open(self.log) as f:
                    lines = [l.rstrip('\n').split(' ', 1) for l in f]
            if [str(connection)] in lines or time.monotonic() > end:
                return [l[1] for l in lines if len(l) == 2 and l[0] == str(connection)
                        and not l[1].startswith('UPDATE')]
            time.sleep(0.01)


if __name__ == '__main__':
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    argument = sys.argv[1]
    if argument.startswith('@'):
        with open(argument[1:]) as f:
            argument = f.read()
    serve(json.loads(argument))
