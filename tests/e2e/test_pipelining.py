"""Pipelined against plain dialogue on a real POP3 server (a private Dovecot, which offers
PIPELINING): the same messages, the same rules, the same log lines at verbosity 5 and the same
deletions, in test mode and for real; afterwards the two mailboxes hold the same messages. And the
pipelined login against the scripted server: a USER refused while PASS is on its way, and a server
that lists PIPELINING but drops what comes with a command."""

import os
import re
import sys
import unittest

from harness import FIXTURES, DovecotTest, PollensiftTest, account

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'bench'))
import corpus  # noqa: E402  (the benchmark's generated mail)
import rules  # noqa: E402

USERS = {'pipelined': 'pw-p', 'plain': 'pw-s'}
GENERATED = 200


def mail():
    fixtures = sorted(os.listdir(os.path.join(FIXTURES, 'mail')))
    found = []
    for name in fixtures:
        with open(os.path.join(FIXTURES, 'mail', name), 'rb') as f:
            found.append(f.read())
    return found + [corpus.message(7, i)[0] for i in range(GENERATED)]


def settings(pipelining):
    lines = ['PIPELINING = "%s"' % pipelining, 'DEL_DUPLICATES = "yes"', 'NORMAL = "yes"',
             'MAXLENGTH = 4000', 'MAXSIZE_DENY = 600000', 'HIGHSCORE = 100',
             'REG_TYPE = "extended"']
    lines += [rules.statement(rule, rules.EXTENDED) for rule in rules.rules(100)]
    return '\n'.join(lines) + '\n'


def judged(out, user):
    """The lines of levels 1 to 5 (the trace of level 6 left out, its continuation lines of
    multi-line replies too), with the user name made neutral."""
    return [l.replace(user + '@', 'USER@') for l in out.splitlines()
            if l.startswith('pollensift: ') and not l.startswith('pollensift: Debugging: ')]


def deletions(out):
    return [int(n) for n in re.findall(r'^pollensift: Debugging: Wrote: DELE (\d+)$', out, re.M)]


class Pipelining(DovecotTest):
    USERS = USERS

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.mail = mail()
        for user in USERS:
            for message in cls.mail:
                cls.server.deliver(user, message)

    def run_on(self, user, pipelining, *args):
        rc = settings(pipelining) + account(user, USERS[user], self.server.port)
        r = self.pollensift(rc, *args)
        self.assertEqual(r.errors(), [])
        self.assertEqual(r.code, 0, r.err)
        return r

    def test_pipelined_and_plain_dialogues_agree(self):
        # Test mode first, both dialogues on the same mailbox.
        fast = self.run_on('pipelined', 'yes', '-t', '-v', '6')
        slow = self.run_on('pipelined', 'no', '-t', '-v', '6')
        self.assertEqual(judged(fast.out, 'pipelined'), judged(slow.out, 'pipelined'))
        self.assertGreater(len(judged(fast.out, 'pipelined')), len(self.mail), 'a verdict each')
        self.assertGreater(fast.out.count('Simulating DELE command.'), 10)
        self.assertEqual(fast.out.count('Simulating DELE command.'),
                         slow.out.count('Simulating DELE command.'))
        # The plain dialogue is one command at a time: CAPA only after the login, STAT from the
        # account check and again from the scan, every size from one LIST. The pipelined one asks
        # CAPA before the login and again with STAT after it (Dovecot lists no UTF8), sends PASS
        # with USER and STAT once, and pairs each TOP n 0 with LIST n.
        capa = 'pollensift: Debugging: Wrote: CAPA\n'
        self.assertEqual((slow.out.count(capa), fast.out.count(capa)), (1, 2))
        stat = 'pollensift: Debugging: Wrote: STAT\n'
        self.assertEqual((slow.out.count(stat), fast.out.count(stat)), (2, 1))
        self.assertIn('pollensift: Debugging: Wrote: USER pipelined\n'
                      'pollensift: Debugging: Wrote: PASS *****\n'
                      'pollensift: Debugging: Read: +OK', fast.out)
        self.assertNotIn(USERS['pipelined'], fast.out)
        self.assertEqual(slow.out.count('pollensift: Debugging: Wrote: LIST '), 0)
        self.assertEqual(slow.out.count('pollensift: Debugging: Wrote: LIST\n'), 1)
        self.assertEqual(fast.out.count('pollensift: Debugging: Wrote: LIST '), len(self.mail))
        # Pipelined: the second TOP went out before the first header was judged.
        self.assertLess(fast.out.index('Wrote: TOP 2 0'), fast.out.index('pollensift: Allow: '))
        self.assertEqual(len(self.server.messages('pipelined')), len(self.mail))

        # For real: each dialogue on its own copy of the mailbox.
        fast = self.run_on('pipelined', 'yes', '-v', '6')
        slow = self.run_on('plain', 'no', '-v', '6')
        self.assertEqual(judged(fast.out, 'pipelined'), judged(slow.out, 'plain'))
        deleted = deletions(fast.out)
        self.assertEqual(deleted, deletions(slow.out))
        self.assertGreater(len(deleted), 10)
        self.assertEqual(deleted, sorted(set(deleted)))
        # QUIT was confirmed, so the deletions are done by now.
        left = self.server.messages('pipelined')
        self.assertEqual(left, self.server.messages('plain'))
        self.assertEqual(len(left), len(self.mail) - len(deleted))
        kept = [m.replace(b'\r\n', b'\n') for i, m in enumerate(self.mail, 1) if i not in deleted]
        self.assertEqual([m.replace(b'\r\n', b'\n') for m in left], kept)


# Six messages, message 4 spam.
MESSAGES = ['From: s%d@example.org\r\nSubject: %s\r\nMessage-ID: <%d@example.org>\r\n'
            % (n, 'viagra now' if n == 4 else 'minutes %d' % n, n) for n in range(1, 7)]
CAPA = ['TOP', 'UIDL', 'USER', 'PIPELINING']
LOGIN_FAILED = 'pollensift: Error: Server login failure.'


class PipelinedLogin(PollensiftTest):
    def run_on(self, scenario, pipelining='yes'):
        server = self.fake_server(dict({'messages': MESSAGES, 'capa': CAPA}, **scenario))
        rc = ('DENY = "^Subject:.*viagra"\nTIMEOUT = 2\nPIPELINING = "%s"\n' % pipelining +
              account('jo', 'pw', server.port))
        return server, self.pollensift(rc, '-v', '6')

    def test_the_session_takes_four_round_trips_and_its_window(self):
        server, r = self.run_on({})
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(server.commands(), ['CAPA', 'USER jo', 'PASS pw', 'STAT', 'CAPA'] +
                         ['%s %d%s' % (c, n, ' 0' if c == 'TOP' else '')
                          for n in range(1, 7) for c in ('LIST', 'TOP')] + ['DELE 4', 'QUIT'])
        self.assertEqual(server.deleted(), [4])

    def test_a_refused_user_with_its_password_on_the_way(self):
        # PASS went out with USER; its reply is read, whatever it says, and the session ends as
        # after any refused login: no QUIT, nothing more sent.
        for pass_reply in ('-ERR [AUTH] no USER given\r\n', '+OK Logged in.\r\n'):
            with self.subTest(pass_reply=pass_reply):
                server, r = self.run_on({'replies': {'USER jo': '-ERR [AUTH] no such user\r\n',
                                                     'PASS pw': pass_reply}})
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors()[:2], [
                    'pollensift: Error: Error occurred while sending username to server.',
                    'pollensift: Error: The server replied: -ERR [AUTH] no such user (the user '
                    'name, password or token was not accepted)'])
                self.assertIn(LOGIN_FAILED, r.errors())
                self.assertEqual(server.commands(), ['CAPA', 'USER jo', 'PASS pw'])
                self.assertIsNone(server.deleted())
                self.assertIn('pollensift: Debugging: Read: ' + pass_reply[:-2], r.out)
                self.assertNotIn('Connection has timed out', r.out + r.err)

    def test_a_server_that_drops_commands_sent_together(self):
        # It answers USER and never hears PASS: the login fails, with the advice that helps.
        server, r = self.run_on({'first_only': True})
        self.assertEqual(r.code, 255)
        self.assertEqual(server.commands(), ['CAPA', 'USER jo'])
        self.assertIsNone(server.deleted())
        self.assertIn('pollensift: Error: Error occurred while sending password to server.',
                      r.errors())
        self.assertIn('pollensift: Error: The server did not answer PASS sent together with USER, '
                      'as it offers PIPELINING; with PIPELINING = "no" every command waits for '
                      'the reply before it.', r.errors())
        self.assertIn(LOGIN_FAILED, r.errors())
        # So told, the same server is checked through, one command at a time.
        server, r = self.run_on({'first_only': True}, pipelining='no')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(server.commands()[:4], ['USER jo', 'PASS pw', 'STAT', 'STAT'])
        self.assertEqual(server.deleted(), [4])


if __name__ == '__main__':
    unittest.main()
