"""--probe: what each server offers, asked without any secret, through the built binary."""

import os
import re
import unittest

from harness import DovecotTest, PollensiftTest
from test_tls import TlsDovecotTest, fingerprint

NOT_ENCRYPTED = ('  Warning: this connection is not encrypted: the mail and the password cross '
                 'the network readable. Ask whether the server has a TLS port (usually 995) and '
                 'probe it with PROTOCOL = "POP3/SSL".')


def probe_account(user, port, protocol='POP3', server='127.0.0.1', password='pw'):
    return ('SERVER = "%s"\nUSER = "%s"\nPASS = "%s"\nPROTOCOL = "%s"\nPORT = %d\n'
            % (server, user, password, protocol, port))


class ProbeScripted(PollensiftTest):
    """Against the scripted server, which logs every command it receives."""

    def probe(self, rc, *args):
        return self.pollensift(rc, '--probe', *args, timeout=60)

    def test_a_server_without_capa_gets_only_capa_and_quit_and_no_password_command_runs(self):
        server = self.fake_server({'greeting': '+OK old server\r\n'})
        marker = self.path('ran')
        rc = probe_account('ann', server.port, password="`touch %s'" % marker)
        r = self.probe(rc)
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.out.splitlines(), [
            'Probing ann@127.0.0.1 on port %d (PROTOCOL = "POP3"); no password is sent.'
            % server.port,
            '  Greeting: +OK old server',
            '  APOP: no time stamp in the greeting, so no APOP login.',
            '  CAPA: refused or not answered; the server gets the commands of RFC 1939 alone.',
            '  Suggested for the rc file:',
            '    PROTOCOL = "POP3"',
            '    PORT     = %d' % server.port,
            '    (no AUTH: USER and PASS)',
            NOT_ENCRYPTED,
        ])
        self.assertEqual(server.commands(), ['CAPA', 'QUIT'])
        self.assertFalse(os.path.exists(marker))
        self.assertFalse(os.path.exists(self.path('log')))  # a probe writes no log

    def test_odd_capabilities_are_explained_escaped_and_stls_refused_is_said(self):
        server = self.fake_server({
            'capa': ['STLS', 'SASL plain SCRAM-SHA-256', 'LOGIN-DELAY 900', 'EXPIRE NEVER',
                     'EXPIRE 31', 'PIPELINING', 'UIDL', 'X-\x1b[31mODD',
                     'X-\xe2\x80\xaeODD'],  # U+202E in UTF-8
            'replies': {'STLS': '-ERR not today\r\n'}})
        r = self.probe(probe_account('ann', server.port, 'POP3'))
        self.assertEqual(r.code, 0, r.err)
        lines = r.out.splitlines()
        start = lines.index('  CAPA:')
        self.assertEqual(lines[start - 2:], [
            '  Greeting: +OK fake server ready <4711.1700000000@fake.example>',
            '  APOP: the greeting carries the time stamp <4711.1700000000@fake.example>, so APOP '
            'can log in without sending the password.',
            '  CAPA:',
            '    STLS: upgrades this connection to TLS (PROTOCOL = "POP3/STLS")',
            '    SASL plain SCRAM-SHA-256: logins with AUTH: PLAIN SCRAM-SHA-256 (not in '
            'pollensift)',
            '    LOGIN-DELAY 900: wants 900 seconds between logins: run pollensift no more often',
            '    EXPIRE NEVER: keeps retrieved messages (NEVER): it deletes none on its own',
            '    EXPIRE 31: deletes messages on its own 31 day(s) after they were retrieved (0: at '
            'the end of the session that retrieved them)',
            '    PIPELINING: takes several commands at once; the scan keeps a window of them in '
            'flight',
            '    UIDL: names every message lastingly; STATEFILE uses it to skip messages judged '
            'before',
            '    X-\\x1b[31mODD: not used by pollensift',
            '    X-\\u202eODD: not used by pollensift',
            '  STLS: offered, but the upgrade failed (see above).',
            '  Suggested for the rc file:',
            # Configured without TLS: the greeting's stamp keeps the password off the wire.
            '    PROTOCOL = "APOP"',
            '    PORT     = %d' % server.port,
            '    (no AUTH: APOP)',
            '  Warning: this connection is not encrypted: the mail crosses the network readable. '
            'Ask whether the server has a TLS port (usually 995) and probe it with PROTOCOL = '
            '"POP3/SSL".',
        ])
        self.assertEqual(server.commands(), ['CAPA', 'STLS', 'QUIT'])

    def test_an_stls_account_whose_stls_is_tampered_with_gets_no_weaker_suggestion(self):
        cases = [
            ('refused', {'capa': ['STLS', 'USER'], 'replies': {'STLS': '-ERR not today\r\n'}},
             'the upgrade to TLS failed'),
            ('text after its +OK', {'capa': ['STLS', 'USER'],
                                    'replies': {'STLS': '+OK begin\r\n+OK injected\r\n'}},
             'the upgrade to TLS failed'),
            ('a broken hand-shake', {'capa': ['STLS', 'USER'],
                                     'replies': {'STLS': '+OK begin\r\n'}},
             'the upgrade to TLS failed'),
            ('stripped from CAPA', {'capa': ['USER']},
             'CAPA does not list STLS, as if it had been stripped on the way'),
        ]
        for name, scenario, why in cases:
            for protocol in ('POP3/STLS', 'APOP/STLS'):
                with self.subTest(name, protocol=protocol):
                    server = self.fake_server(dict(scenario, **{'greeting': '+OK ready\r\n'}))
                    r = self.probe('TIMEOUT = 3\n' + probe_account('ann', server.port, protocol))
                    self.assertEqual(r.code, 255, r.out)
                    self.assertEqual(r.out.splitlines()[-1],
                                     '  Warning: the server\'s STLS looks tampered with: %s. '
                                     'Nothing less than PROTOCOL = "%s" is suggested; a run skips '
                                     'the account rather than send the password in clear text. '
                                     'Probe again from another network, or ask the server\'s '
                                     'owner.' % (why, protocol))
                    self.assertNotIn('Suggested', r.out)
                    self.assertNotIn('PROTOCOL = "POP3"', r.out)
                    server.stop()

    def test_a_huge_capability_line_is_cut(self):
        server = self.fake_server({'capa': ['X-' + 'a' * (8 << 20), 'UIDL']})
        r = self.probe(probe_account('ann', server.port))
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('    X-' + 'a' * 198 + '... (%d more bytes): not used by pollensift'
                      % ((8 << 20) + 2 - 200), r.out.splitlines())
        self.assertLess(len(r.out), 4000)

    def test_one_account_is_chosen_and_a_silent_server_fails_the_probe(self):
        talking = self.fake_server({'capa': ['USER']})
        silent = self.fake_server({'greeting': None})
        rc = ('TIMEOUT = 4\n' + probe_account('ann', talking.port) +
              probe_account('bob', silent.port))
        r = self.probe(rc, '--account', 'ann@127.0.0.1')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.out.count('Probing'), 1)
        self.assertEqual(talking.commands(), ['CAPA', 'QUIT'])

        r = self.probe(rc, '--account=bob@127.0.0.1')
        self.assertEqual(r.code, 255)
        self.assertEqual(r.out.splitlines(), [
            'Probing bob@127.0.0.1 on port %d (PROTOCOL = "POP3"); no password is sent.'
            % silent.port,
            'pollensift: No greeting from the server after 3 seconds; waiting up to 1 seconds '
            'more. A port that expects TLS at once (usually 995) stays silent like this: it needs '
            'PROTOCOL = "POP3/SSL".',
            '  The server sent no greeting.',
        ])
        self.assertEqual(silent.commands(), [])

        r = self.probe(rc, '--account', 'carl@127.0.0.1')
        self.assertEqual(r.code, 255)
        self.assertEqual(r.err, 'pollensift: Error: No account carl@127.0.0.1 in the rcfile.\n')

    def test_account_and_probe_go_together_only(self):
        r = self.pollensift('', '--account', 'ann@example.org')
        self.assertEqual(r.code, 255)
        self.assertIn('pollensift: Error: --account names the account for --probe, which is '
                      'missing.\n', r.err)
        r = self.pollensift('', '--probe', '--check')
        self.assertEqual(r.code, 255)
        self.assertIn('pollensift: Error: --check and --probe cannot be combined.\n',
                      r.err)


@unittest.skipUnless(os.geteuid() == 0, 'a private Dovecot needs root (mail files owned by dovecot)')
class ProbeDovecot(TlsDovecotTest):
    """Against Dovecot with STLS on its plain port and a POP3S port."""
    USERS = {'pop': 'pw-pop'}

    def tls_lines(self, problem=None):
        return [
            re.compile(r'  TLS: TLSv1\.[23], cipher \S+$'),
            '  Certificate names: CN=pollensift server, DNS:localhost',
            '  Issued by: CN=pollensift intermediate',
            re.compile(r'  Valid from \d{4}-\d\d-\d\d [0-9:]+ UTC until \d{4}-\d\d-\d\d [0-9:]+ '
                       r'UTC$'),
            '  SHA-256 fingerprint: TLS_FINGERPRINT = "%s"'
            % fingerprint(self.pki.name, 'server.pem'),
            '  Verified: yes' if problem is None else '  Verified: no: ' + problem,
        ]

    def assertLines(self, out, wanted, start):
        lines = out.splitlines()
        at = lines.index(start)
        for line, want in zip(lines[at:], wanted):
            self.assertTrue(want.match(line) if hasattr(want, 'match') else line == want,
                            '%r is not %r in:\n%s' % (line, want, out))
        self.assertGreaterEqual(len(lines) - at, len(wanted), out)

    def test_stls_on_the_plain_port(self):
        r = self.pollensift(probe_account('pop', self.server.port, 'POP3', 'localhost'),
                            '--probe', '-v', '6')
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('  CAPA before STLS:', r.out)
        self.assertIn('    STLS: upgrades this connection to TLS (PROTOCOL = "POP3/STLS")', r.out)
        self.assertLines(r.out, ['  STLS: the connection is now encrypted.'] + self.tls_lines(),
                         '  STLS: the connection is now encrypted.')
        self.assertIn('  CAPA after STLS:', r.out)
        self.assertLines(r.out, ['  Suggested for the rc file:', '    PROTOCOL = "POP3/STLS"',
                                 '    PORT     = %d' % self.server.port,
                                 '    (no AUTH: USER and PASS)'], '  Suggested for the rc file:')
        written = re.findall(r'Debugging: Wrote: (\S+)', r.out)
        self.assertEqual(written, ['CAPA', 'STLS', 'CAPA', 'QUIT'])

    def test_the_ssl_port_by_address_shows_why_it_does_not_verify(self):
        r = self.pollensift(probe_account('pop', self.server.tls_port, 'POP3/SSL'), '--probe')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.errors(), [])
        self.assertLines(r.out, self.tls_lines('IP address mismatch'), r.out.splitlines()[1])
        self.assertLines(r.out, ['  Suggested for the rc file:', '    PROTOCOL = "POP3/SSL"',
                                 '    PORT     = %d' % self.server.tls_port,
                                 '    (no AUTH: USER and PASS)',
                                 '    SERVER   = "localhost"   (a name the certificate carries)'],
                         '  Suggested for the rc file:')
        self.assertNotIn('not encrypted', r.out)


class ProbePlainDovecot(DovecotTest):
    """Dovecot without TLS: APOP suggested, and a warning about the clear text."""
    USERS = {'pop': 'pw-pop'}

    def test_a_plain_server(self):
        r = self.pollensift(probe_account('pop', self.server.port), '--probe')
        self.assertEqual(r.code, 0, r.err)
        lines = r.out.splitlines()
        self.assertRegex(lines[1], r'^  Greeting: \+OK ')
        self.assertRegex(lines[2], r'^  APOP: the greeting carries the time stamp <[^>]+>, so '
                                   r'APOP can log in without sending the password\.$')
        self.assertNotIn('STLS', r.out)
        self.assertIn('    PIPELINING: takes several commands at once; the scan keeps a window of '
                      'them in flight', lines)
        # Without TLS the greeting's stamp keeps the password off the wire.
        self.assertEqual(lines[-5:], [
            '  Suggested for the rc file:', '    PROTOCOL = "APOP"',
            '    PORT     = %d' % self.server.port, '    (no AUTH: APOP)',
            '  Warning: this connection is not encrypted: the mail crosses the network readable. '
            'Ask whether the server has a TLS port (usually 995) and probe it with PROTOCOL = '
            '"POP3/SSL".'])

if __name__ == '__main__':
    unittest.main()
