"""Secrets and private files through the built binary: the password shows in no output at any
verbosity, a file holding it that others can reach draws a warning, and the files pollensift
creates for people's mail headers are private."""

import base64
import os
import signal
import stat
import subprocess
import time
import unittest

import dovecot
from fakepop import FakePop
from harness import BIN, STAMP, PollensiftTest, account, fixture_mail
from test_tls import TlsDovecotTest

# Dovecot's password file would split a colon; everything else may be in it.
PASSWORD = 'Pw-9f2c41 s3cret.word'
MESSAGES = (fixture_mail('01-meeting.eml'), fixture_mail('03-pills.eml'))
DENY_PILLS = 'DENY = "^Subject:.*cheap pills"\n'


def read(path):
    with open(path, 'rb') as f:
        return f.read().decode('latin-1')


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


ACCOUNTS = ('plain', 'apop', 'stls', 'sasl', 'oauth')
TOKEN = 'ya29.a0Af' + 'Q7-_x' * 300
LOGIN_PATHS = (('POP3/STLS', 'stls', None, PASSWORD), ('POP3', 'sasl', 'PLAIN', PASSWORD),
               ('POP3/STLS', 'sasl', 'PLAIN', PASSWORD), ('POP3', 'oauth', 'XOAUTH2', TOKEN),
               ('POP3/STLS', 'oauth', 'OAUTHBEARER', TOKEN))


def b64(text):
    return base64.b64encode(text.encode()).decode()


def sasl_responses(user, secret, port, host='localhost'):
    """Each SASL mechanism's response, as it is before base64."""
    return {'PLAIN': '\0%s\0%s' % (user, secret),
            'XOAUTH2': 'user=%s\x01auth=Bearer %s\x01\x01' % (user, secret),
            'OAUTHBEARER': 'n,a=%s,\x01host=%s\x01port=%d\x01auth=Bearer %s\x01\x01'
                           % (user, host, port, secret)}


def secret_forms(user, secret, port, host='localhost'):
    """The secret and the base64 forms that carry it: alone and in each SASL response."""
    return [secret, b64(secret)] + [b64(r) for r in sasl_responses(user, secret, port,
                                                                      host).values()]


@unittest.skipUnless(os.geteuid() == 0, 'a private Dovecot needs root (mail files owned by dovecot)')
class PasswordNeverShown(TlsDovecotTest):
    USERS = {user: PASSWORD for user in ACCOUNTS}
    DOVECOT_OPTIONS = {'oauth_tokens': {TOKEN: 'oauth'}}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for user in cls.USERS:
            for message in MESSAGES:
                cls.server.deliver(user, message)

    def session(self, user, password, protocol, auth=None):
        """A full run at -v6 in test mode; every output it made, by name."""
        headers = self.path('headers')
        if os.path.exists(headers):
            os.remove(headers)
        login = 'AUTH = "%s"\n' % auth if auth else ''
        r = self.pollensift('SHOW_HEADERS = "%s"\n' % headers + DENY_PILLS + login +
                            account(user, password, self.server.port, protocol)
                            .replace('127.0.0.1', 'localhost'), '-v', '6', '-t')
        outputs = {'stdout': r.out, 'stderr': r.err, 'log': r.log}
        if os.path.exists(headers):
            outputs['headers store file'] = read(headers)
        return r, outputs

    def test_full_session_at_verbosity_6(self):
        for protocol, user in (('POP3', 'plain'), ('APOP', 'apop')):
            with self.subTest(protocol=protocol):
                r, outputs = self.session(user, PASSWORD, protocol)
                # The session went all the way: logged in, both headers fetched, stored, judged.
                self.assertEqual(r.code, 0, r.err)
                self.assertIn('pollensift: Examining 2 message(s).', r.out)
                self.assertIn('Debugging: Simulating DELE command.', r.out)
                self.assertIn('Subject: Cheap pills', outputs['headers store file'])
                self.assertIn('Debugging: Read: +OK', r.log)
                # The trace shows every command in full but the password's.
                self.assertIn('Debugging: Wrote: %s %s' % ('USER' if protocol == 'POP3' else
                                                           'APOP', user), r.out)
                if protocol == 'POP3':
                    self.assertIn('Debugging: Wrote: PASS *****\n', r.out)
                for name, text in outputs.items():
                    self.assertNotIn(PASSWORD, text, name)

    def test_every_login_path_at_verbosity_6(self):
        # The secret as the rc file gives it, and every form in which it crosses the wire.
        for protocol, user, auth, secret in LOGIN_PATHS:
            with self.subTest(protocol=protocol, auth=auth):
                r, outputs = self.session(user, secret, protocol, auth)
                self.assertEqual(r.code, 0, r.err)
                self.assertIn('pollensift: Examining 2 message(s).', r.out)
                self.assertIn('Debugging: Simulating DELE command.', r.out)
                if auth:
                    self.assertIn('Debugging: Wrote: AUTH %s\n' % auth, r.out)
                    self.assertIn('Debugging: Wrote: *****\n', r.out)
                for name, text in outputs.items():
                    for form in secret_forms(user, secret, self.server.port):
                        self.assertNotIn(form, text, name)

    def test_refused_secret_on_every_new_path(self):
        for protocol, user, auth, secret in LOGIN_PATHS:
            with self.subTest(protocol=protocol, auth=auth):
                wrong = 'Wrong-' + secret[::-1]
                r, outputs = self.session(user, wrong, protocol, auth)
                self.assertEqual(r.code, 255)
                self.assertIn('pollensift: Error: Server login failure.', r.errors())
                for name, text in outputs.items():
                    for form in secret_forms(user, wrong, self.server.port):
                        self.assertNotIn(form, text, name)

    def test_refused_password_is_not_shown_either(self):
        wrong = 'Wrong-7c1e pass.word'
        for protocol, user in (('POP3', 'plain'), ('APOP', 'apop')):
            with self.subTest(protocol=protocol):
                r, outputs = self.session(user, wrong, protocol)
                self.assertEqual(r.code, 255)
                self.assertIn('pollensift: Error: Server login failure.', r.errors())
                for name, text in outputs.items():
                    self.assertNotIn(wrong, text, name)


class TokenCommand(PollensiftTest):
    def test_a_helper_that_ends_its_line_in_cr_lf_and_runs_on(self):
        # The token alone goes out, and the run does not wait for the helper to end: the helper
        # is left running on its own and stopped here.
        server = self.fake_server({'password': 'tok', 'messages': [
            'Subject: hello\r\nMessage-ID: <1@example.org>\r\n']})
        pid_file = self.path('helper.pid')
        rc = ('SERVER = "127.0.0.1"\nUSER = "ann"\n'
              'PASS = "`echo $$ >%s; printf \'tok\\r\\n\'; exec sleep 60 2>/dev/null\'"\n'
              'PROTOCOL = "POP3"\nPORT = %d\n' % (pid_file, server.port))
        started = time.monotonic()
        r = self.pollensift(rc, '-t', timeout=55)
        elapsed = time.monotonic() - started
        with open(pid_file) as f:
            helper = int(f.read())
        self.addCleanup(lambda: os.kill(helper, signal.SIGKILL))
        self.assertEqual(r.code, 0, r.err)
        self.assertLess(elapsed, 30, 'the run waited for the helper')
        self.assertIn('pollensift: Examining 1 message(s).', r.out)
        with open(self.path('commands-1')) as f:
            self.assertIn('1 PASS tok\n', f.read())
        os.kill(helper, 0)  # still running: it was not stopped, only no longer read


class SecretsSentBack(PollensiftTest):
    """A hostile server sends back what carried the secret: the SASL response as its error
    challenge (which is shown decoded) and in its -ERR line, the password in its -ERR line."""

    def test_no_form_of_the_secret_is_shown_at_verbosity_6(self):
        refused = ' (the user name, password or token was not accepted)'
        for auth in ('XOAUTH2', 'OAUTHBEARER', 'PLAIN', None):
            with self.subTest(auth=auth):
                server = self.fake_server({
                    'capa': ['USER', 'SASL PLAIN XOAUTH2 OAUTHBEARER'], 'echo_auth': True,
                    'password': TOKEN, 'replies': {'PASS ' + TOKEN: '-ERR [AUTH] not %s\r\n'
                                                   % TOKEN}})
                r = self.pollensift(('AUTH = "%s"\n' % auth if auth else '') +
                                    account('ann', TOKEN, server.port), '-v', '6')
                if auth:
                    raw = sasl_responses('ann', TOKEN, server.port, '127.0.0.1')[auth]
                    forms = [TOKEN, raw, b64(raw), b64(TOKEN)]
                    errors = ['Error occurred while sending AUTH %s to server.' % auth,
                              "The server's error: *****",
                              'The server replied: -ERR [AUTH] not ***** nor *****' + refused]
                    read = 'Debugging: Read: -ERR [AUTH] not ***** nor *****\n'
                    # The dialogue went as scripted: the response was sent back to the client.
                    self.assertIn(b64(raw), server.commands())
                else:
                    forms = [TOKEN]
                    errors = ['Error occurred while sending password to server.',
                              'The server replied: -ERR [AUTH] not *****' + refused]
                    read = 'Debugging: Read: -ERR [AUTH] not *****\n'
                self.assertEqual(r.code, 255, r.err)
                self.assertEqual(r.errors(), ['pollensift: Error: ' + e for e in
                                              errors + ['Server login failure.',
                                                        'Skipping account ann@127.0.0.1 due to '
                                                        'earlier errors.']])
                self.assertIn(read, r.out)
                self.assertIn('Debugging: Wrote: %s*****\n' % ('' if auth else 'PASS '), r.out)
                for name, text in (('stdout', r.out), ('stderr', r.err), ('log', r.log)):
                    for form in forms:
                        # Nor the part of one that a cut to a shown length would leave.
                        self.assertNotIn(form[:16], text, name)


def warning(path, octal):
    return ("pollensift: Warning: The rcfile '%s' holds a password but other users can read or "
            "change it (mode %s); protect it with: chmod 600 '%s'\n" % (path, octal, path))


class PrivateFiles(PollensiftTest):
    def write(self, name, text, file_mode):
        path = self.path(name)
        with open(path, 'w') as f:
            f.write(text)
        os.chmod(path, file_mode)
        return path

    def run_rc(self, rc, *args):
        # With no umask at all, only the modes pollensift asks for protect the files it makes.
        p = subprocess.run([BIN, '-M', rc] + list(args), capture_output=True, text=True,
                           timeout=60, preexec_fn=lambda: os.umask(0))
        return p.returncode, p.stdout, p.stderr

    def empty_mailbox(self):
        server = FakePop({'messages': []}, self.path('commands'))
        server.start()
        self.addCleanup(server.stop)
        return account('ann', 'pw', server.port)

    def test_password_in_a_file_others_can_reach_draws_a_warning(self):
        log = self.path('log')
        body = 'LOGFILE = "%s"\nVERBOSE = 1\n' % log + self.empty_mailbox()
        rows = [(0o600, None), (0o700, None), (0o640, '0640'), (0o604, '0604'), (0o620, '0620'),
                (0o644, '0644')]
        for file_mode, shown in rows:
            with self.subTest(mode=oct(file_mode)):
                if os.path.exists(log):
                    os.remove(log)
                rc = self.write('rc', body, file_mode)
                code, out, err = self.run_rc(rc)
                # A warning, not a refusal: the run goes on.
                self.assertEqual((code, out), (0, ''))
                self.assertEqual(err, warning(rc, shown) if shown else '')
                # Given before the log is opened, and written to it once it is.
                self.assertEqual(STAMP.sub('', read(log)), err)

    def test_warning_names_the_included_file_that_holds_the_password(self):
        inc = self.write('accounts.rc', self.empty_mailbox(), 0o640)
        rc = self.write('rc', 'LOGFILE = "%s"\nVERBOSE = 1\nINCLUDE=%s\n' % (self.path('log'), inc),
                        0o600)
        self.assertEqual(self.run_rc(rc), (0, '', warning(inc, '0640')))
        os.chmod(inc, 0o600)
        os.chmod(rc, 0o644)
        self.assertEqual(self.run_rc(rc), (0, '', ''), 'the open main file holds no password')

    def test_a_file_others_can_change_draws_a_warning(self):
        # Whoever can change an rc file can make it run a command as its owner.
        inc = self.write('rules.rc', 'DENY = "^Subject: x"\n', 0o664)
        rc = self.write('rc', 'LOGFILE = "%s"\nVERBOSE = 1\nINCLUDE=%s\n' % (self.path('log'), inc),
                        0o602)
        code, out, err = self.run_rc(rc)
        self.assertEqual((code, out), (0, ''))
        self.assertEqual(err.splitlines(), [
            "pollensift: Warning: The rcfile '%s' can be changed by other users (mode %s), and a "
            "command in backquotes in it runs as you; protect it with: chmod go-w '%s'"
            % (path, octal, path) for path, octal in ((rc, '0602'), (inc, '0664'))])
        os.chmod(inc, 0o644)
        os.chmod(rc, 0o604)
        self.assertEqual(self.run_rc(rc), (0, '', ''), 'others may read rules without a password')

    def test_log_and_headers_store_files_are_created_private(self):
        server = FakePop({'messages': ['Subject: hello\r\nMessage-ID: <1@example.org>\r\n']},
                         self.path('commands'))
        server.start()
        self.addCleanup(server.stop)
        log, headers = self.path('new.log'), self.path('new.headers')
        rc = self.write('rc', 'LOGFILE = "%s"\nSHOW_HEADERS = "%s"\n' % (log, headers) +
                        account('jo', 'pw', server.port), 0o600)
        for existing in (False, True):
            with self.subTest(existing=existing):
                if existing:
                    os.chmod(log, 0o644)
                    os.chmod(headers, 0o640)
                code, _, err = self.run_rc(rc, '-t')
                self.assertEqual((code, err), (0, ''))
                self.assertIn('pollensift: Examining 1 message(s).', read(log))
                self.assertIn('Subject: hello', read(headers))
                # Created 0600; a file that already exists keeps the mode its owner gave it.
                self.assertEqual((mode(log), mode(headers)),
                                 (0o644, 0o640) if existing else (0o600, 0o600))
        self.assertEqual(read(headers).count('Subject: hello'), 2, 'appended, not replaced')


if __name__ == '__main__':
    unittest.main()
