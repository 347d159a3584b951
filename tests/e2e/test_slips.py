"""A reply stream that slips out of step with the commands, against the scripted server: however it
slips, pipelined or not, the server deletes nothing the rules do not condemn, the account fails and
the state file remembers nothing of the session. And a server that sends the whole message for
TOP n 0: only the header is judged, as with --judge.
"""

import os
import unittest

from harness import PollensiftTest, account


def header(n, subject):
    return ('From: sender%d@example.org\r\nSubject: %s\r\nMessage-ID: <%d@example.org>\r\n'
            % (n, subject, n))


# Six messages, only message 4 spam.
MESSAGES = [header(n, 'viagra now' if n == 4 else 'minutes %d' % n) for n in range(1, 7)]
DENY = 'DENY = "^Subject:.*viagra"\nTIMEOUT = 5\n'
# Message 2's header as any remote sender may write it; a server that does not dot-stuff sends its
# "." line as the end of the reply.
FORGED = ('From: sender2@example.org\r\nSubject: minutes 2\r\n.\r\n+OK\r\n'
          'Subject: viagra\r\nMessage-ID: <2@example.org>\r\n')
WITHDRAWN = ('pollensift: Error: No message of this session is deleted: it ends with RSET and '
             'without QUIT, so the server keeps the %d message(s) marked for deletion.')


def top(text):
    return '+OK\r\n' + text + '\r\n.\r\n'


SLIPS = {
    'TOP 2 without its final line': {'replies': {'TOP 2 0': top(MESSAGES[1])[:-3]}},
    'no reply to TOP 2': {'replies': {'TOP 2 0': ''}},
    'the reply to TOP 3 after the one to TOP 4': {'hold': {'TOP 3 0': 'TOP 4 0'}},
    'a header line "." not dot-stuffed': {'nostuff': True,
                                          'messages': MESSAGES[:1] + [FORGED] + MESSAGES[2:]},
    # One command at a time the sizes come from one LIST, so no LIST n names the next reply: a
    # server that sends the body for TOP as well has each later TOP paired with LIST n again.
    'a body line "." not dot-stuffed, the body sent for TOP': {
        'nostuff': True, 'whole': True,
        'messages': [MESSAGES[0] + '\r\nhello\r\n.\r\n+OK\r\nSubject: viagra\r\n'] + MESSAGES[1:]},
}


class Slips(PollensiftTest):
    def run_on(self, scenario, pipelining, extra=''):
        scenario = dict({'messages': MESSAGES, 'capa': ['TOP', 'UIDL', 'PIPELINING']}, **scenario)
        server = self.fake_server(scenario)
        rc = DENY + 'PIPELINING = "%s"\n' % pipelining + extra + account('jo', 'pw', server.port)
        return server, self.pollensift(rc, '-v', '5')

    def test_a_stream_that_slips_deletes_nothing(self):
        for name, scenario in SLIPS.items():
            for pipelining in ('yes', 'no'):
                with self.subTest(name, pipelining=pipelining):
                    server, r = self.run_on(scenario, pipelining)
                    self.assertEqual(r.code, 255)
                    self.assertIn('pollensift: Error: Scanning of mail account failed.',
                                  r.errors())
                    self.assertFalse(server.deleted())
                    commands = server.commands()
                    deles = [c for c in commands if c.startswith('DELE')]
                    self.assertLessEqual(set(deles), {'DELE 3', 'DELE 4'})
                    if name.startswith('the reply to TOP 3') and pipelining == 'yes':
                        # Message 3 was judged on message 4's header before the slip showed; its
                        # DELE went out only if the scan had to wait for the reply that showed it.
                        self.assertLessEqual(set(deles), {'DELE 3'})
                    if deles:
                        # Once a DELE went out, the session ends with RSET and without QUIT.
                        self.assertEqual(commands[-1], 'RSET')
                        self.assertNotIn('QUIT', commands)
                        self.assertIn(WITHDRAWN % len(deles), r.errors())

    def test_the_same_servers_in_step_delete_only_the_spam(self):
        for pipelining in ('yes', 'no'):
            with self.subTest(pipelining=pipelining):
                server, r = self.run_on({}, pipelining)
                self.assertEqual((r.code, r.errors()), (0, []))
                self.assertEqual(server.deleted(), [4])
                # At level 5 every verdict follows a line naming its message.
                self.assertIn('pollensift: Message 4 of 6, %d octets:\n'
                              'pollensift: Deny: sender4@example.org: viagra now' %
                              (len(MESSAGES[3]) + 100), r.out)

    def test_a_state_file_remembers_nothing_of_a_session_that_slipped(self):
        state = self.path('state')
        extra = 'STATEFILE = "%s"\n' % state
        scenario = dict(SLIPS['the reply to TOP 3 after the one to TOP 4'],
                        replies={'UIDL': '+OK\r\n' + ''.join('%d u%d\r\n' % (n, n)
                                                             for n in range(1, 7)) + '.\r\n'})
        server, r = self.run_on(scenario, 'yes', extra)
        self.assertEqual(r.code, 255)
        self.assertFalse(server.deleted())
        if os.path.exists(state):
            with open(state) as f:
                self.assertNotIn('u3', f.read())

    def test_a_refused_dele_fails_the_account_and_deletes_nothing(self):
        for pipelining in ('yes', 'no'):
            with self.subTest(pipelining=pipelining):
                server, r = self.run_on({'replies': {'DELE 4': '-ERR [SYS/TEMP] busy\r\n'}},
                                        pipelining)
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), [
                    'pollensift: Error: The server refused to delete message 4: '
                    '-ERR [SYS/TEMP] busy',
                    'pollensift: Error: Scanning of mail account failed.',
                    WITHDRAWN % 1,
                    'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.'])
                self.assertIn('Examined', r.out)
                self.assertNotIn(' 1 deleted', r.out)
                self.assertIsNone(server.deleted())

    def test_only_the_header_of_a_whole_message_is_judged(self):
        forwarded = header(1, 'fwd: our meeting') + '\r\n---- Forwarded ----\r\nSubject: buy viagra\r\n'
        for pipelining in ('yes', 'no'):
            with self.subTest(pipelining=pipelining):
                server, r = self.run_on({'whole': True, 'messages': [forwarded] + MESSAGES[1:]},
                                        pipelining)
                self.assertEqual((r.code, r.errors()), (0, []))
                self.assertEqual(server.deleted(), [4])
        # --judge reads the same message the same way.
        with open(self.path('forwarded.eml'), 'w', newline='') as f:
            f.write(forwarded)
        r = self.pollensift(DENY, '--judge', self.path('forwarded.eml'), '-v', '4')
        self.assertEqual(r.code, 0)
        self.assertNotIn('Deny:', r.out)


if __name__ == '__main__':
    unittest.main()
