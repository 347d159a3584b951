"""Pipelined against plain dialogue on a real POP3 server (a private Dovecot, which offers
PIPELINING): the same messages, the same rules, the same log lines at verbosity 5 and the same
deletions, in test mode and for real; afterwards the two mailboxes hold the same messages."""

import os
import re
import sys
import unittest

from harness import FIXTURES, DovecotTest, account

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
        # The plain dialogue is one command at a time: no CAPA at all. The pipelined one asks CAPA
        # before the login and again after it. Both pair each TOP n 0 with LIST n.
        capa = 'pollensift: Debugging: Wrote: CAPA\n'
        self.assertEqual((slow.out.count(capa), fast.out.count(capa)), (0, 2))
        self.assertEqual(slow.out.count('pollensift: Debugging: Wrote: LIST '), len(self.mail))
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


if __name__ == '__main__':
    unittest.main()
