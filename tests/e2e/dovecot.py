"""A private, throwaway Dovecot POP3 server on a free loopback port, for the tests and the demo.

Used as a context manager by the end-to-end tests, and from the command line by scripts/demo.sh:

    python3 dovecot.py run --user NAME:PASSWORD --deliver NAME:FILE... -- COMMAND...

starts the server, fills the mailboxes, runs COMMAND with DOVECOT_PORT set, stops the server by
its PID and exits with COMMAND's status.
"""

import argparse
import grp
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DOVECOT = shutil.which('dovecot') or '/usr/sbin/dovecot'
HOST = '127.0.0.1'


def available():
    """Whether Dovecot can be run privately here (it must be installed and we must be root)."""
    return os.path.exists(DOVECOT) and os.geteuid() == 0 and _mail_owner() is not None


def _mail_owner():
    try:
        return pwd.getpwnam('dovecot').pw_uid, grp.getgrnam('dovecot').gr_gid
    except KeyError:
        return None


def free_port(host=HOST):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


CONFIG = """\
# Written by the pollensift tests: a private POP3 server, loopback only.
base_dir = {run}
state_dir = {state}
log_path = {root}/dovecot.log
instance_name = pollensift-{port}
protocols = pop3
listen = {host}
ssl = no
disable_plaintext_auth = no
auth_mechanisms = {mechanisms}
# A failed login must not slow down every later test.
auth_failure_delay = 0
login_greeting = pollensift test server ready.
default_login_user = dovenull
default_internal_user = dovecot
mail_uid = {uid}
mail_gid = {gid}
first_valid_uid = {uid}
last_valid_uid = {uid}
mail_location = maildir:{root}/mail/%u/Maildir
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {root}/passwd
{passwd_mechanisms}}}
{oauth_passdb}userdb {{
  driver = static
  args = uid={uid} gid={gid} home={root}/mail/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = {host}
    port = {port}
  }}
}}
service imap-login {{
  inet_listener imap {{
    port = 0
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service anvil {{
  # No growing delay after failed logins from the same address.
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
"""


# Added for ready_processes: processes started ahead instead of one per connection as it comes.
READY_CONFIG = """\
service pop3-login {{
  service_count = 0
  process_min_avail = 2
}}
service pop3 {{
  process_min_avail = {processes}
}}
"""


# Added when OAuth tokens are given: XOAUTH2 and OAUTHBEARER checked by the test's endpoint.
OAUTH_PASSDB = """\
passdb {{
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = {root}/oauth2.conf
}}
"""

OAUTH_CONFIG = """\
introspection_mode = post
introspection_url = http://127.0.0.1:{port}/introspect
username_attribute = username
active_attribute = active
active_value = true
"""


# Added when a certificate is given: the same mailboxes over TLS on a second port.
TLS_CONFIG = """\
ssl = yes
ssl_cert = <{cert}
ssl_key = <{key}
service pop3-login {{
  inet_listener pop3s {{
    address = {host}
    port = {tls_port}
    ssl = yes
  }}
}}
"""


class Dovecot:
    """One private server. users maps names to plaintext passwords (so APOP works). tls, a pair
    (certificate chain file, key file), adds a POP3S listener on tls_port and STLS on the plain
    port. host is the IPv4 address it listens on: loopback, or for the benchmark's slow link an
    address of the network namespace that the caller stands in while it calls start().
    oauth_tokens, a map of access tokens to user names, adds XOAUTH2 and OAUTHBEARER, checked by
    an introspection endpoint that the server starts and stops with itself. lock_session makes a
    POP3 session hold its mailbox, so a second login gets "[IN-USE]". ready_processes, for
    benchmarks of many sessions at once, starts that many POP3 processes ahead, waiting for
    logins, and two login processes that serve many connections each, as a busy server runs;
    by default each connection gets a login process and a POP3 process of its own when it
    comes."""

    def __init__(self, users, tls=None, host=HOST, oauth_tokens=None, lock_session=False,
                 ready_processes=0):
        self.users = dict(users)
        self.host = host
        self.tls = tls
        self.oauth_tokens = oauth_tokens
        self.lock_session = lock_session
        self.ready_processes = ready_processes
        self.endpoint = None
        self.root = None
        self.port = None
        self.tls_port = None
        self.process = None

    # The socket directory path must stay short, so the whole tree lives in a short /tmp name.
    def start(self):
        owner = _mail_owner()
        if owner is None:
            raise RuntimeError('the dovecot system user is missing')
        uid, gid = owner
        self.root = tempfile.mkdtemp(prefix='psd', dir='/tmp')
        os.chmod(self.root, 0o755)  # the mail user must reach its Maildirs
        for sub in ('run', 'state', 'mail'):
            os.mkdir(os.path.join(self.root, sub), 0o755)
        with open(os.path.join(self.root, 'passwd'), 'w') as f:
            for name, password in self.users.items():
                f.write('%s:{PLAIN}%s\n' % (name, password))
        for name in self.users:
            self._maildir(name)
        mechanisms, passwd_mechanisms, oauth_passdb = 'plain apop', '', ''
        if self.oauth_tokens is not None:
            self._start_endpoint()
            mechanisms = 'plain login apop xoauth2 oauthbearer'
            passwd_mechanisms = '  mechanisms = plain login apop\n'
            oauth_passdb = OAUTH_PASSDB.format(root=self.root)
        for attempt in range(5):
            self.port = free_port(self.host)
            config = os.path.join(self.root, 'dovecot.conf')
            with open(config, 'w') as f:
                f.write(CONFIG.format(root=self.root, run=os.path.join(self.root, 'run'),
                                      state=os.path.join(self.root, 'state'), host=self.host,
                                      port=self.port, uid=uid, gid=gid,
                                      mechanisms=mechanisms,
                                      passwd_mechanisms=passwd_mechanisms,
                                      oauth_passdb=oauth_passdb))
                if self.lock_session:
                    f.write('pop3_lock_session = yes\n')
                if self.ready_processes:
                    f.write(READY_CONFIG.format(processes=self.ready_processes))
                if self.tls:
                    self.tls_port = free_port(self.host)
                    while self.tls_port == self.port:
                        self.tls_port = free_port(self.host)
                    f.write(TLS_CONFIG.format(cert=self.tls[0], key=self.tls[1], host=self.host,
                                              tls_port=self.tls_port))
            # The master keeps its caller's output streams open; never hand it a pipe.
            with open(os.path.join(self.root, 'master.out'), 'ab') as out:
                self.process = subprocess.Popen([DOVECOT, '-F', '-c', config],
                                                stdin=subprocess.DEVNULL, stdout=out,
                                                stderr=subprocess.STDOUT)
            if self._wait_ready(15):
                return self
            self._terminate()
        self.stop_endpoint()
        raise RuntimeError('Dovecot did not start; see ' + self.root)

    def _start_endpoint(self):
        here = os.path.dirname(os.path.abspath(__file__))
        self.endpoint = subprocess.Popen(
            [sys.executable, os.path.join(here, 'oauth_endpoint.py'),
             json.dumps(self.oauth_tokens)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = self.endpoint.stdout.readline().decode()
        if not line.startswith('PORT '):
            raise RuntimeError('the OAuth introspection endpoint did not start')
        with open(os.path.join(self.root, 'oauth2.conf'), 'w') as f:
            f.write(OAUTH_CONFIG.format(port=int(line.split()[1])))

    def stop_endpoint(self):
        """Ends the introspection endpoint by its PID (Dovecot then answers "[SYS/TEMP]")."""
        if self.endpoint is not None:
            if self.endpoint.poll() is None:
                os.kill(self.endpoint.pid, signal.SIGTERM)
                self.endpoint.wait(timeout=10)
            self.endpoint.stdout.close()
            self.endpoint = None

    def _wait_ready(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if self.process.poll() is not None:
                return False
            try:
                with socket.create_connection((self.host, self.port), timeout=2) as s:
                    if s.recv(512).startswith(b'+OK'):
                        return True
            except OSError:
                time.sleep(0.05)
        return False

    def _terminate(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process = None

    def stop(self):
        self._terminate()
        self.stop_endpoint()
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _maildir(self, user):
        uid, gid = _mail_owner()
        base = os.path.join(self.root, 'mail', user)
        for sub in ('', 'Maildir', 'Maildir/cur', 'Maildir/new', 'Maildir/tmp'):
            path = os.path.join(base, sub)
            os.makedirs(path, 0o700, exist_ok=True)
            os.chown(path, uid, gid)
        return os.path.join(base, 'Maildir')

    def deliver(self, user, message):
        """Puts one message (bytes, any line ends) into user's mailbox; returns its file name."""
        uid, gid = _mail_owner()
        if isinstance(message, str):
            message = message.encode()
        message = message.replace(b'\r\n', b'\n')
        maildir = self._maildir(user)
        self._serial = getattr(self, '_serial', 0) + 1
        name = '%d.M%dP%d.pollensift' % (int(time.time()) + self._serial, self._serial, os.getpid())
        path = os.path.join(maildir, 'new', name)
        with open(path, 'wb') as f:
            f.write(message)
        os.chown(path, uid, gid)
        return name

    def messages(self, user):
        """The messages in user's mailbox, in delivery order, as bytes."""
        maildir = self._maildir(user)
        found = []
        for sub in ('new', 'cur'):
            for name in os.listdir(os.path.join(maildir, sub)):
                with open(os.path.join(maildir, sub, name), 'rb') as f:
                    found.append((name.split('.', 1)[0], name, f.read()))
        return [body for _, _, body in sorted(found)]


def _run(args):
    users = dict(u.split(':', 1) for u in args.user)
    with Dovecot(users) as server:
        for spec in args.deliver:
            name, path = spec.split(':', 1)
            with open(path, 'rb') as f:
                server.deliver(name, f.read())
        env = dict(os.environ, DOVECOT_PORT=str(server.port))
        return subprocess.call(args.command, env=env)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest='action', required=True)
    run = sub.add_parser('run', help='serve mailboxes while COMMAND runs')
    run.add_argument('--user', action='append', default=[], metavar='NAME:PASSWORD')
    run.add_argument('--deliver', action='append', default=[], metavar='NAME:FILE')
    run.add_argument('command', nargs='+')
    args = parser.parse_args(argv)
    if not available():
        print('dovecot.py: Dovecot is not installed or this is not root', file=sys.stderr)
        return 2
    return _run(args)


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
