"""pollensift against scripted servers that reproduce the bytes of POP3 servers other than
Dovecot: messages stored with CR LF served with "\\r\\r\\n" line ends, UTF8 listed only after the
login or refused with a stand-in header, and sessions that end before any login."""

import re
import time
import unittest

from harness import PollensiftTest, account

# The first message forwards another message's header in its body: only its own header counts.
FORWARD = ('From: ann@example.org\r\nSubject: fwd: minutes\r\nDate: Mon, 1 May 2023 10:00:00 +0000'
           '\r\nMessage-ID: <1@example.org>\r\n\r\n-------- Forwarded Message --------\r\n'
           'From: offers@spam.example\r\nSubject: cheap pills\r\n\r\nsee above\r\n')
SPAM = ('From: offers@spam.example\r\nSubject: hello\r\nDate: Mon, 1 May 2023 11:00:00 +0000\r\n'
        'Message-ID: <2@spam.example>\r\n\r\nbuy now\r\n')
# Condemns the forwarded Subject if the body were judged; the anchored rule condemns message 2
# only when the stray CR is taken for the line end.
RULES = 'DENY = "^Subject: cheap"\nDENY = "^From: offers@spam\\.example$"\n'
VERDICT = re.compile(r'^pollensift: (Deny|Allow|Pass|Score): ')


def verdicts(out):
    return [line for line in out.splitlines() if VERDICT.match(line)]


class StoredWithCrLf(PollensiftTest):
    def test_the_header_ends_at_a_line_of_nothing_but_cr(self):
        for capa in (None, ['TOP', 'USER', 'PIPELINING']):
            for pipelining in ('yes', 'no'):
                with self.subTest(capa=capa, pipelining=pipelining):
                    scenario = {'messages': [FORWARD, SPAM], 'crlf_stored': True}
                    if capa:
                        scenario['capa'] = capa
                    server = self.fake_server(scenario)
                    rc = 'PIPELINING = "%s"\n' % pipelining + RULES + \
                        account('jo', 'pw', server.port)
                    r = self.pollensift(rc, '-v', '5')
                    self.assertEqual((r.code, r.errors()), (0, []), r.err)
                    self.assertEqual(server.deleted(), [2])
                    # The lines shown carry no stray CR.
                    self.assertNotIn('\r', r.out + r.log)
                    self.assertTrue(verdicts(r.out)[1].endswith(
                        '["^From: offers@spam\\.example$" matches "From: offers@spam.example"].'),
                        r.out)
                    # --judge of the file as the server sent it gives the same verdicts.
                    saved = self.path('served.eml')
                    with open(saved, 'wb') as f:
                        f.write(SPAM.replace('\r\n', '\r\r\n').encode())
                    judged = self.pollensift(RULES, '-v', '5', '--judge', saved)
                    self.assertEqual(verdicts(judged.out), verdicts(r.out)[1:])
                    server.stop()


# Raw 8-bit header text, which Courier shows only to a client that has said UTF8.
UNICODE = ('From: J\u00fcrgen <juergen@example.de>\r\nSubject: Gr\u00fc\u00dfe\r\n'
           'Date: Mon, 1 May 2023 12:00:00 +0000\r\nMessage-ID: <3@example.de>\r\n')


class Utf8(PollensiftTest):
    def test_utf8_is_sent_wherever_the_capabilities_list_it(self):
        # (capabilities before the login, after it, PIPELINING setting)
        cases = [
            (['TOP', 'UTF8', 'PIPELINING', 'USER'], None, 'yes'),
            (['TOP', 'UTF8', 'PIPELINING', 'USER'], None, 'no'),
            (['TOP', 'UTF8'], None, 'yes'),
            (['TOP', 'UTF8'], None, 'no'),
            # perdition in front of Courier: UTF8 only after the login
            (['TOP', 'PIPELINING', 'USER'], ['TOP', 'UTF8', 'PIPELINING'], 'yes'),
            (['TOP'], ['TOP', 'UTF8'], 'yes'),
            (['TOP'], ['TOP', 'UTF8'], 'no'),
        ]
        for before, after, pipelining in cases:
            with self.subTest(before=before, after=after, pipelining=pipelining):
                scenario = {'messages': [UNICODE, SPAM], 'standin': True, 'capa': before}
                if after:
                    scenario['capa_after'] = after
                server = self.fake_server(scenario)
                rc = ('PIPELINING = "%s"\nDENY <> "^Date:"\nDENY = "^From: offers"\n'
                      % pipelining + account('jo', 'pw', server.port))
                r = self.pollensift(rc)
                self.assertEqual((r.code, r.errors()), (0, []), r.err)
                self.assertEqual(server.deleted(), [2])
                commands = server.commands()
                self.assertIn('UTF8', commands)
                self.assertLess(commands.index('UTF8'), commands.index('TOP 1 0'))
                server.stop()

    def test_a_stand_in_header_is_never_judged(self):
        # The server shows the stand-in and lists no UTF8 (or refuses it): the message stays,
        # unjudged, and a state file does not remember it as kept.
        for capa in (['TOP'], ['TOP', 'PIPELINING', 'USER'], None):
            with self.subTest(capa=capa):
                scenario = {'messages': [UNICODE, SPAM], 'standin': True}
                if capa:
                    scenario['capa'] = capa
                server = self.fake_server(scenario)
                rc = ('DENY <> "^Date:"\nDENY = "^From: offers"\nSTATEFILE = "%s"\n'
                      % self.path('state') + account('jo', 'pw', server.port))
                r = self.pollensift(rc)
                self.assertEqual(r.code, 0, r.err)
                self.assertEqual(server.deleted(), [2])
                self.assertIn('pollensift: Warning: Message 1: the server sent a stand-in ("Cannot '
                              'display Unicode content") instead of its header, as it does for '
                              '8-bit header text without UTF8; the message is not judged and '
                              'stays on the server.', r.out.splitlines())
                r = self.pollensift(rc)
                self.assertIn('TOP 1 0', server.commands(2))
                server.stop()


class NoLoginTried(PollensiftTest):
    def test_the_last_line_names_why_no_login_was_tried(self):
        last = 'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.'
        cases = [
            ({'greeting': '+OK no time stamp here\r\n'}, 'APOP',
             ["No login was tried: the server's greeting has no time stamp, which APOP needs; "
              'use USER/PASS instead (PROTOCOL = "POP3", "POP3/STLS" or "POP3/SSL").'], ['CAPA']),
            ({'capa': ['TOP']}, 'POP3/STLS',
             ['The server does not offer STLS, so the account is skipped: the password would go '
              'out in clear text.',
              'No login was tried: the connection could not be encrypted with STLS.'], ['CAPA']),
            ({'capa': ['TOP', 'STLS'], 'replies': {'STLS': ['+OK Begin TLS\r\n',
                                                          '-ERR Unknown error\r\n']}},
             'POP3/STLS',
             ['SSL connection could not be established.',
              'The server went on in clear text after agreeing to STLS; nothing more is sent on '
              'this connection.',
              'The server said "-ERR Unknown error" instead of starting TLS: the server could not '
              'start TLS on its side (such as for a missing certificate); ask its owner.',
              'No login was tried: the connection could not be encrypted with STLS.'],
             ['CAPA', 'STLS']),
            # The refusal right behind the consent, in the same read.
            ({'capa': ['TOP', 'STLS'],
              'replies': {'STLS': '+OK Begin TLS\r\n-ERR Unknown error\r\n'}}, 'POP3/STLS',
             ['The server sent more text after agreeing to start TLS.',
              'The server said "-ERR Unknown error" instead of starting TLS: the server could not '
              'start TLS on its side (such as for a missing certificate); ask its owner.',
              'No login was tried: the connection could not be encrypted with STLS.'],
             ['CAPA', 'STLS']),
        ]
        for scenario, protocol, errors, commands in cases:
            with self.subTest(protocol=protocol, errors=errors[0]):
                server = self.fake_server(scenario)
                r = self.pollensift('TIMEOUT = 5\n' + account('jo', 'pw', server.port, protocol))
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), ['pollensift: Error: ' + e for e in errors] + [last])
                self.assertEqual(server.commands(), commands)
                server.stop()


class ProbeOfAPortThatNeverGreets(PollensiftTest):
    def test_the_probe_gives_up_after_ten_seconds_whatever_timeout_says(self):
        silent = self.fake_server({'greeting': None})
        start = time.monotonic()
        r = self.pollensift('TIMEOUT = 30\n' + account('bob', 'pw', silent.port), '--probe',
                            timeout=60)
        waited = time.monotonic() - start
        self.assertEqual(r.code, 255)
        # The wait is the probe's ten seconds, not the thirty of TIMEOUT.
        self.assertGreater(waited, 9)
        self.assertLess(waited, 20)
        self.assertIn('pollensift: No greeting from the server after 3 seconds; waiting up to 7 '
                      'seconds more. A port that expects TLS at once (usually 995) stays silent '
                      'like this: it needs PROTOCOL = "POP3/SSL".', r.out.splitlines())
        self.assertEqual(silent.commands(), [])


if __name__ == '__main__':
    unittest.main()
