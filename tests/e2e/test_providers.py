"""What real providers ask for, against a private Dovecot: STLS on the plain port, SASL PLAIN,
XOAUTH2 and OAUTHBEARER with a token from a command, the server's own words when a login fails,
and the trust of one server through TLS_FINGERPRINT or TLS_CA_FILE. What Dovecot will not do on
demand (refusing or breaking STLS, endless AUTH continuations) comes from the fake server.
"""

import base64
import os
import socket
import subprocess
import time
import unittest

import dovecot
from harness import PollensiftTest, account, fixture_mail
from test_tls import TlsDovecotTest

MEETING = fixture_mail('01-meeting.eml')
INVOICE = fixture_mail('02-invoice.eml')
USERS = {name: 'pw-' + name for name in ('stls', 'apop', 'plain', 'ssl', 'oauth', 'bearer',
                                         'trust', 'locked', 'down')}
# Microsoft's access tokens run to a few thousand characters.
TOKEN = 'EwB4A8l6BAAU' + 'x7Y-_' * 500
TOKENS = {TOKEN: 'oauth', TOKEN + 'b': 'bearer'}

VERIFIED = 'pollensift: Debugging: SSL certificate verification successful.'
NO_CONNECTION = 'pollensift: Error: Could not establish network connection.'
LOGIN_FAILURE = 'pollensift: Error: Server login failure.'
STLS_FAILED = ('pollensift: Error: No login was tried: the connection could not be encrypted with '
               'STLS.')


def rc_account(user, port, protocol, host='localhost', password=None, auth=None, extra=''):
    text = 'SERVER = "%s"\nUSER = "%s"\nPASS = "%s"\n' % (
        host, user, USERS.get(user) if password is None else password)
    if auth:
        text += 'AUTH = "%s"\n' % auth
    return text + extra + 'PROTOCOL = "%s"\nPORT = %d\n' % (protocol, port)


def fingerprint(pem_path):
    out = subprocess.run(['openssl', 'x509', '-in', pem_path, '-noout', '-fingerprint',
                          '-sha256'], check=True, capture_output=True, text=True).stdout
    return out.strip().split('=', 1)[1]


def skipped(user, host='localhost'):
    return 'pollensift: Error: Skipping account %s@%s due to earlier errors.' % (user, host)


@unittest.skipUnless(os.geteuid() == 0, 'a private Dovecot needs root (mail files owned by dovecot)')
class Providers(TlsDovecotTest):
    USERS = USERS
    DOVECOT_OPTIONS = {'oauth_tokens': TOKENS, 'lock_session': True}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Failed OAuth logins earn the client a growing delay; they get a server of their own.
        cls.refusing = dovecot.Dovecot(USERS, tls=cls.tls, oauth_tokens=TOKENS).start()
        for user in USERS:
            cls.server.deliver(user, MEETING)
            cls.server.deliver(user, INVOICE)

    @classmethod
    def tearDownClass(cls):
        cls.refusing.stop()
        super().tearDownClass()

    def token_command(self, token):
        path = self.path('token')
        with open(path, 'w') as f:
            f.write(token + '\n')
        return "`cat %s'" % path

    def test_stls_on_the_plain_port_is_verified_before_the_login(self):
        for protocol, user in (('POP3/STLS', 'stls'), ('apop/stls', 'apop')):
            with self.subTest(protocol):
                r = self.pollensift(rc_account(user, self.server.port, protocol), '-v', '6', '-t')
                self.assertEqual(r.code, 0, r.err)
                self.assertEqual(r.errors(), [])
                lines = r.out.splitlines()
                stls = lines.index('pollensift: Debugging: Wrote: STLS')
                login = next(i for i, l in enumerate(lines)
                             if l.startswith(('pollensift: Debugging: Wrote: USER',
                                              'pollensift: Debugging: Wrote: APOP')))
                # Root, intermediate and server certificate verified between the two.
                self.assertEqual(lines[stls:login].count(VERIFIED), 3)
                self.assertNotIn('Wrote: USER', '\n'.join(lines[:stls]))
                self.assertIn('pollensift: Examining 2 message(s).', lines)

    def test_stls_verification_fails_like_pop3_ssl_and_s_never_means_clear_text(self):
        untrusted = ('pollensift: Error: SSL connection could not be established: '
                     'unable to get local issuer certificate')
        mismatch = 'pollensift: Error: SSL connection could not be established: IP address mismatch'
        cases = (('by address', 'root.pem', '127.0.0.1', mismatch),
                 ('untrusted CA', 'stranger.pem', 'localhost', untrusted))
        for name, store, host, reason in cases:
            with self.subTest(name):
                self.trust(store)
                rc = rc_account('stls', self.server.port, 'POP3/STLS', host=host)
                r = self.pollensift(rc, '-v', '6', '-t')
                self.assertEqual(r.code, 255)
                errors = r.errors()
                self.assertEqual(errors[:2], [
                    reason, 'pollensift: Error: SSL connection could not be established.'])
                # What the certificate is and what to do, as for POP3/SSL.
                self.assertEqual(len(errors), 8, r.err)
                self.assertEqual(errors[4], 'pollensift: Error: Its SHA-256 fingerprint: '
                                 'TLS_FINGERPRINT = "%s"' % fingerprint(
                                     os.path.join(self.pki.name, 'server.pem')))
                self.assertEqual(errors[-2:], [STLS_FAILED, skipped('stls', host)])
                self.assertNotIn('Wrote: USER', r.out)
                # -s accepts the certificate, not a connection without TLS; it says so once.
                r = self.pollensift(rc, '-v', '6', '-t', '-s')
                self.assertEqual(r.code, 0, r.err)
                self.assertEqual(r.errors(), [])
                self.assertIn("pollensift: Warning: The server's certificate was not verified "
                              "(-s): %s.\n" % reason.split('established: ')[1], r.out)
                self.assertIn('Debugging: SSL certificate verification failed, but continuing '
                              'anyway.', r.out)
                self.assertLess(r.out.index('Wrote: STLS'), r.out.index('Wrote: USER'))

    def test_auth_plain_over_stls_and_over_pop3_ssl(self):
        for protocol, port in (('POP3/STLS', self.server.port), ('POP3/SSL', self.server.tls_port)):
            with self.subTest(protocol):
                r = self.pollensift(rc_account('plain', port, protocol, auth='plain'), '-v', '6',
                                    '-t')
                self.assertEqual(r.code, 0, r.err)
                self.assertIn('Debugging: Wrote: AUTH PLAIN\n', r.out)
                self.assertIn('Debugging: Wrote: *****\n', r.out)
                self.assertNotIn('Wrote: USER', r.out)
                self.assertIn('pollensift: Examining 2 message(s).', r.out)

    def test_oauth_token_from_a_command(self):
        for mechanism, user, token in (('XOAUTH2', 'oauth', TOKEN),
                                       ('OAUTHBEARER', 'bearer', TOKEN + 'b')):
            with self.subTest(mechanism):
                rc = rc_account(user, self.server.tls_port, 'POP3/SSL', auth=mechanism,
                                password=self.token_command(token))
                r = self.pollensift(rc, '-v', '6', '-t')
                self.assertEqual(r.code, 0, r.err)
                self.assertEqual(r.errors(), [])
                self.assertIn('Debugging: Wrote: AUTH %s\n' % mechanism, r.out)
                self.assertIn('pollensift: Examining 2 message(s).', r.out)
                self.assertNotIn(token, r.out + r.err + r.log)

    def test_rejected_token_is_explained_in_the_servers_words(self):
        cases = (('XOAUTH2', '{"status":"401","schemes":"bearer","scope":"mail"}'),
                 ('OAUTHBEARER', '{"status":"invalid_token"}'))
        for mechanism, error in cases:
            with self.subTest(mechanism):
                rc = rc_account('oauth', self.refusing.port, 'POP3/STLS', auth=mechanism,
                                password=self.token_command('expired-' + TOKEN))
                r = self.pollensift(rc)
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), [
                    'pollensift: Error: Error occurred while sending AUTH %s to server.'
                    % mechanism,
                    "pollensift: Error: The server's error: " + error,
                    'pollensift: Error: The server replied: -ERR [AUTH] Authentication failed. '
                    '(the user name, password or token was not accepted)',
                    LOGIN_FAILURE, skipped('oauth')])

    def test_fingerprint_or_ca_file_trusts_one_server_without_s(self):
        self.trust('stranger.pem')  # the system's store knows nothing of this server
        server_pem = os.path.join(self.pki.name, 'server.pem')
        good = fingerprint(server_pem)
        wrong = good[:-2] + ('00' if not good.endswith('00') else '11')
        cases = (
            # By address: neither the chain nor the name would pass; the certificate does.
            ('fingerprint', '127.0.0.1', 'TLS_FINGERPRINT = "%s"\n' % good.lower(), []),
            ('CA file', 'localhost',
             'TLS_CA_FILE = "%s"\n' % os.path.join(self.pki.name, 'root.pem'), []),
            ('wrong fingerprint', 'localhost', 'TLS_FINGERPRINT = "%s"\n' % wrong, [
                'pollensift: Error: SSL connection could not be established: the server '
                "certificate's SHA-256 fingerprint %s is not the one of TLS_FINGERPRINT."
                % good.replace(':', '').lower(),
                'pollensift: Error: SSL connection could not be established.',
                "pollensift: Error: The server's certificate names: CN=pollensift server, "
                "DNS:localhost.",
                None,  # its issuer and dates
                'pollensift: Error: Its SHA-256 fingerprint: TLS_FINGERPRINT = "%s"' % good,
                "pollensift: Error: It is not the certificate TLS_FINGERPRINT names. If the "
                "server's owner has replaced it, compare the fingerprint above with the one they "
                "give you and put it in TLS_FINGERPRINT.",
                NO_CONNECTION, skipped('trust')]),
        )
        for name, host, extra, errors in cases:
            with self.subTest(name):
                rc = rc_account('trust', self.server.tls_port, 'POP3/SSL', host=host, extra=extra)
                r = self.pollensift(rc, '-t')
                self.assertEqual([l if want else None for l, want in zip(r.errors(), errors)],
                                 errors)
                self.assertEqual(len(r.errors()), len(errors), r.err)
                self.assertEqual(r.code, 255 if errors else 0, r.err)
                if name == 'wrong fingerprint':
                    # -s does not make another certificate acceptable.
                    self.assertEqual(self.pollensift(rc, '-t', '-s').errors(), r.errors())
        rc = rc_account('trust', self.server.port, 'POP3/STLS', host='127.0.0.1',
                        extra='TLS_FINGERPRINT = "%s"\n' % good)
        r = self.pollensift(rc, '-t')
        self.assertEqual((r.code, r.errors()), (0, []))

    def test_a_mailbox_held_by_another_session_is_explained(self):
        port = self.server.port
        # The run cannot wait for the server to fall idle while this test holds a session.
        self.server = None
        self.addCleanup(delattr, self, 'server')
        holder = socket.create_connection((dovecot.HOST, port), timeout=30)
        self.addCleanup(holder.close)
        holder.recv(512)
        holder.sendall(b'USER locked\r\n')
        holder.recv(512)
        holder.sendall(b'PASS pw-locked\r\n')
        self.assertTrue(holder.recv(512).startswith(b'+OK'))
        r = self.pollensift('TIMEOUT = 60\n' + rc_account('locked', port, 'POP3'),
                            timeout=120)
        self.assertEqual(r.code, 255)
        self.assertIn('(another client has the mailbox open; try again later)', r.errors()[1])
        self.assertRegex(r.errors()[1], r'^pollensift: Error: The server replied: -ERR \[IN-USE\] ')
        holder.sendall(b'QUIT\r\n')

    def test_hints_for_a_protocol_that_does_not_fit_the_port(self):
        r = self.pollensift(rc_account('ssl', self.server.port, 'POP3/SSL'))
        self.assertEqual(r.errors(), [
            'pollensift: Error: SSL connection could not be established.',
            'pollensift: Error: The server answered in clear text, not TLS: this port probably '
            'serves plain POP3. Use PROTOCOL = "POP3/STLS" on it, or PROTOCOL = "POP3/SSL" with '
            "the server's TLS port (usually 995).", NO_CONNECTION, skipped('ssl')])
        r = self.pollensift('TIMEOUT = 1\n' + rc_account('ssl', self.server.tls_port, 'POP3'))
        self.assertEqual(r.errors(), [
            'pollensift: Error: Connection has timed out.',
            'pollensift: Error: No greeting came from the server. If this port expects TLS from '
            'the start (usually 995), use PROTOCOL = "POP3/SSL".',
            'pollensift: Error: No login was tried: no greeting came from the server (a port that '
            'expects TLS from the start stays silent like this).', skipped('ssl')])

    def test_introspection_down_is_a_temporary_fault(self):
        server = dovecot.Dovecot(USERS, oauth_tokens=TOKENS).start()
        self.addCleanup(server.stop)
        server.stop_endpoint()
        rc = rc_account('down', server.port, 'POP3', auth='XOAUTH2', password='x')
        r = self.pollensift(rc)
        self.assertEqual(r.code, 255)
        self.assertIn('(a temporary fault on the server; try again later)', '\n'.join(r.errors()))


def b64(text):
    return base64.b64encode(text.encode()).decode()


class ProvidersFake(PollensiftTest):
    """Servers that break STLS or AUTH in ways Dovecot will not."""

    CAPA = ['USER', 'STLS', 'SASL PLAIN XOAUTH2']

    def fake(self, **scenario):
        scenario.setdefault('messages', ['Subject: hello\r\nMessage-ID: <1@example.org>\r\n'])
        scenario.setdefault('capa', self.CAPA)
        if scenario['capa'] is None:  # a server without CAPA
            del scenario['capa']
        return self.fake_server(scenario)

    def run_account(self, server, protocol='POP3/STLS', auth=None, password='pw'):
        text = account('jo', password, server.port, protocol)
        if auth:
            text = 'AUTH = "%s"\n' % auth + text
        return self.pollensift('TIMEOUT = 3\n' + text, '-v', '6')

    def test_nothing_goes_out_in_clear_text_when_stls_fails(self):
        begin = '+OK Begin TLS\r\n'
        cases = (
            ('no STLS in CAPA', {'capa': ['USER']}, ['CAPA'],
             ['pollensift: Error: The server does not offer STLS, so the account is skipped: the '
              'password would go out in clear text.']),
            ('STLS refused', {'replies': {'STLS': '-ERR [SYS/TEMP] not now\r\n'}},
             ['CAPA', 'STLS'],
             ['pollensift: Error: Error occurred while sending STLS to server.',
              'pollensift: Error: The server replied: -ERR [SYS/TEMP] not now (a temporary fault '
              'on the server; try again later)']),
            ('closed after STLS', {'cut': {'command': 'STLS', 'bytes': 0}}, ['CAPA', 'STLS'],
             ['pollensift: Error: The server closed the connection.',
              'pollensift: Error: Error occurred while sending STLS to server.']),
            ('clear text behind the consent', {'replies': {'STLS': begin + '+OK Logged in.\r\n'}},
             ['CAPA', 'STLS'],
             ['pollensift: Error: The server sent more text after agreeing to start TLS.']),
            ('clear text instead of TLS', {'replies': {'STLS': [begin, '+OK Logged in.\r\n']}},
             ['CAPA', 'STLS'],
             ['pollensift: Error: SSL connection could not be established.',
              'pollensift: Error: The server went on in clear text after agreeing to STLS; '
              'nothing more is sent on this connection.']),
        )
        for name, scenario, commands, errors in cases:
            with self.subTest(name):
                server = self.fake(**scenario)
                r = self.run_account(server)
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), errors + [STLS_FAILED, skipped('jo', '127.0.0.1')])
                # Whatever a client hello may have carried, no command came after STLS.
                self.assertEqual(server.commands()[:len(commands)], commands)
                self.assertFalse([c for c in server.commands() if c.startswith(('USER', 'PASS'))])

    def test_a_ca_file_that_cannot_be_used_is_named_with_the_reason(self):
        server = self.fake()
        empty = self.path('empty.pem')
        open(empty, 'w').close()
        for path, reason in ((self.path('missing.pem'), 'No such file or directory'),
                             (empty, 'no certificate or crl found')):
            with self.subTest(reason):
                rc = 'TLS_CA_FILE = "%s"\n' % path + account('jo', 'pw', server.port, 'POP3/SSL')
                r = self.pollensift(rc)
                self.assertEqual(r.errors(), [
                    "pollensift: Error: The TLS_CA_FILE '%s' could not be loaded: %s." % (path,
                                                                                        reason),
                    'pollensift: Error: SSL connection could not be established.', NO_CONNECTION,
                    skipped('jo', '127.0.0.1')])

    def test_utf8_is_said_before_the_login_only_when_listed(self):
        # A server that would otherwise show a stand-in for headers with raw 8-bit bytes.
        for capa, said in ((['USER', 'UTF8'], ['UTF8']), (['USER'], []), (None, [])):
            with self.subTest(capa=capa):
                server = self.fake(capa=capa)
                r = self.run_account(server, 'POP3')
                self.assertEqual(r.code, 0, r.err)
                expected = ['CAPA'] + said + ['USER jo', 'PASS pw']
                self.assertEqual(server.commands()[:len(expected)], expected)

    def test_two_step_auth_and_a_continuation_that_never_ends(self):
        plain = b64('\0jo\0pw')
        server = self.fake(replies={'AUTH PLAIN': '+ \r\n', plain: '+OK Logged in.\r\n'})
        r = self.run_account(server, 'POP3', auth='PLAIN')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(server.commands()[:3], ['CAPA', 'AUTH PLAIN', plain])
        self.assertIn('Debugging: Wrote: *****\n', r.out)
        self.assertNotIn(plain, r.out)

        xoauth2 = b64('user=jo\x01auth=Bearer pw\x01\x01')
        server = self.fake(replies={'AUTH XOAUTH2': '+ \r\n', xoauth2: '+ \r\n', '': '+ \r\n'})
        r = self.run_account(server, 'POP3', auth='XOAUTH2')
        self.assertEqual(r.code, 255)
        self.assertEqual(server.commands(), ['CAPA', 'AUTH XOAUTH2', xoauth2, '', '*'])
        self.assertIn("pollensift: Error: The server's AUTH dialogue does not end; the login is "
                      'given up.', r.errors())


if __name__ == '__main__':
    unittest.main()
