"""Incremental runs with STATEFILE against a real POP3 server (a private Dovecot), and against the
fake server for what Dovecot will not do.

The differential test keeps two identical pairs of mailboxes and runs the same sequence of rc
files over both, one pair with the state file and one without: at every step the DELE commands
and the messages left must be the same.
"""

import fcntl
import os
import re
import subprocess
import unittest

from fakepop import FakePop
from harness import BIN, DovecotTest, PollensiftTest, account, normalised, peak_rss_kib

USERS = {name: 'pw-' + name for name in (
    'inc1', 'inc2', 'full1', 'full2', 'damaged', 'locked', 'busy1', 'busy2')}

RULES = ('DEL_DUPLICATES = "yes"\n'
         'ALLOW = "^From:.*@friend\\.example"\n'
         'DENY = "^Subject:.*pills"\n'
         'SCORE 60 = "^Subject:.*free"\n'
         'SCORE 50 = "^X-Spam: yes"\n')

DELE = re.compile(r'Debugging: Wrote: DELE (\d+)')


def message(serial, message_id, subject, sender='someone@example.org', extra=''):
    """A message; serial makes each one's text unique even when Message-IDs repeat."""
    return ('From: %s\nSubject: %s\nDate: Tue, 07 Mar 2023 09:%02d:00 +0100\n'
            'Message-ID: <%s@example.org>\nX-Serial: %d\n%s\nbody %d\n'
            % (sender, subject, serial % 60, message_id, serial, extra, serial)).encode()


class StateFile(DovecotTest):
    USERS = USERS

    def account(self, user):
        return account(user, USERS[user], self.server.port)

    def remove(self, user, text):
        """Deletes a message from the mailbox behind the server's back (another client)."""
        maildir = os.path.join(self.server.root, 'mail', user, 'Maildir')
        for sub in ('new', 'cur'):
            for name in os.listdir(os.path.join(maildir, sub)):
                path = os.path.join(maildir, sub, name)
                with open(path, 'rb') as f:
                    if normalised(f.read()) == normalised(text):
                        os.remove(path)
                        return
        self.fail('no such message in %s' % user)

    def deliver(self, first, second):
        """The same messages to both pairs: (first account's, second account's)."""
        for pair in (('inc1', 'inc2'), ('full1', 'full2')):
            for user, messages in zip(pair, (first, second)):
                for m in messages:
                    self.server.deliver(user, m)

    def step(self, rules, *args):
        """One run over each pair; checks that both sent the same DELE commands per account and
        left the same messages. Returns the run with the state file."""
        state = 'STATEFILE = "%s"\n' % self.path('state')
        incremental = self.pollensift(state + rules + self.account('inc1') + self.account('inc2'),
                                      '-v', '6', *args)
        full = self.pollensift(rules + self.account('full1') + self.account('full2'),
                               '-v', '6', *args)
        for r in (incremental, full):
            self.assertEqual(r.errors(), [], r.err)
            self.assertEqual(r.code, 0, r.err)
        self.assertEqual(self.deletions(incremental), self.deletions(full))
        self.assertEqual(self.left('inc1'), self.left('full1'))
        self.assertEqual(self.left('inc2'), self.left('full2'))
        return incremental

    @staticmethod
    def deletions(run):
        """The DELE commands of each account, in order."""
        return [DELE.findall(part) for part in run.out.split(' querying ')[1:]]

    def test_runs_with_and_without_the_state_file_delete_the_same(self):
        a = message(1, 'a', 'hello')
        pills = message(2, 'b', 'cheap pills')
        c = message(3, 'c', 'minutes')
        free = message(4, 'd', 'free coffee')
        e = message(5, 'e', 'plans')
        a_again = message(6, 'a', 'hello again')
        self.deliver([a, pills, c, free], [e, a_again])
        first = self.step(RULES)
        self.assertIn('pollensift: 0 message(s) judged in an earlier run, not fetched again.\n',
                      first.out)
        self.assertEqual(self.deletions(first), [['2'], ['2']])
        with open(self.path('state'), 'rb') as f:
            self.assertTrue(f.read().startswith(b'pollensift-state 1\n'))
        self.assertEqual(os.stat(self.path('state')).st_mode & 0o777, 0o600)

        # New mail: e's Message-ID in the first account, which is checked first, so the
        # remembered e in the second account is now the duplicate; c's again, a duplicate of a
        # remembered message; and an ordinary one.
        e_first = message(7, 'e', 'plans, forwarded')
        c_again = message(8, 'c', 'minutes again')
        plain = message(9, 'f', 'lunch')
        self.deliver([e_first, c_again, plain], [])
        second = self.step(RULES)
        self.assertEqual(len(re.findall(r'Wrote: TOP ', second.out)), 4, second.out)
        # Few new messages among kept ones: only their sizes are asked, one by one.
        for part in second.out.split(' querying ')[1:]:
            self.assertEqual(re.findall(r'Wrote: LIST (\d+)', part),
                             re.findall(r'Wrote: TOP (\d+)', part), part)
        self.assertNotIn('Wrote: LIST\n', second.out)
        self.assertIn('pollensift: 3 message(s) judged in an earlier run, not fetched again.\n',
                      second.out)
        self.assertIn('Examining 6 message(s).', second.out)

        # Another client deletes a; a new message with a's ID is no duplicate then.
        for user in ('inc1', 'full1'):
            self.remove(user, a)
        self.deliver([], [message(10, 'a', 'hello for the third time')])
        self.step(RULES)

        # A rule changes: everything is judged again.
        changed = RULES + 'DENY = "^Subject:.*coffee"\n'
        after_change = self.step(changed)
        self.assertIn('pollensift: 0 message(s) judged in an earlier run, not fetched again.\n',
                      after_change.out)

        # Test mode: kept verdicts are remembered, a message deleted only in test mode is not.
        pills_again = message(11, 'g', 'more pills')
        friend = message(12, 'h', 'free pills', sender='bob@friend.example')
        self.deliver([pills_again, friend], [])
        self.step(changed, '-t')
        self.step(changed)

        # Nothing new: after one STAT and UIDL nothing is asked but QUIT, no header, no size and
        # no second CAPA.
        quiet = self.step(changed)
        for part in quiet.out.split(' querying ')[1:]:
            after_login = part[part.index('Wrote: STAT'):]
            self.assertEqual(re.findall(r'Wrote: (\w+)', after_login), ['STAT', 'UIDL', 'QUIT'],
                             part)
        self.assertEqual(self.deletions(quiet), [[], []])

    def test_damaged_state_file_gives_a_warning_and_a_full_run(self):
        self.server.deliver('damaged', message(20, 'x', 'one'))
        self.server.deliver('damaged', message(21, 'y', 'two'))
        rc = 'STATEFILE = "%s"\n' % self.path('state') + RULES + self.account('damaged')
        for damage in (b'pollensift-state 1\naccount x', b'\x00\xff' * 50,
                       b'pollensift-state 9\nend\n'):
            with open(self.path('state'), 'wb') as f:
                f.write(damage)
            r = self.pollensift(rc, '-v', '6')
            self.assertEqual((r.code, r.errors()), (0, []), r.err)
            self.assertRegex(r.out, r"pollensift: Warning: The state file '.*/state' "
                                    r"(is damaged|is not a pollensift state file|is of another "
                                    r"version \(9\)); every message is judged.\n")
            self.assertEqual(len(re.findall(r'Wrote: TOP ', r.out)), 2)
            again = self.pollensift(rc, '-v', '6')
            self.assertNotIn('Warning', again.out)
            self.assertNotIn('Wrote: TOP', again.out)

    def test_runs_at_the_same_time_share_the_state_file(self):
        for n in range(30):
            self.server.deliver('busy1' if n % 2 else 'busy2', message(30 + n, 'busy%d' % n, 'x'))
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\nSTATEFILE = "%s"\n' % (self.path('log'), self.path('state')) +
                    RULES + self.account('busy1') + self.account('busy2'))
        runs = [subprocess.Popen([BIN, '-M', rc, '-t'], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for _ in range(3)]
        for proc in runs:
            out, err = proc.communicate(timeout=120)
            self.assertNotIn(b'Warning', out)
            # A mailbox that another of the runs is checking is left to it.
            errors = [line for line in err.decode().splitlines() if ' pollensift: Error: ' in line]
            others = [line for line in errors
                      if not re.search(r' pollensift: Error: (Another pollensift is checking this '
                                       r'mailbox now |Skipping account busy[12]@)', line)]
            self.assertEqual(others, [])
            self.assertEqual(proc.returncode, 255 if errors else 0, err)
        r = self.pollensift('STATEFILE = "%s"\n' % self.path('state') + RULES +
                            self.account('busy1') + self.account('busy2'), '-v', '6')
        self.assertNotIn('Wrote: TOP', r.out)
        self.assertEqual(r.out.count('15 message(s) judged in an earlier run'), 2)

    def test_another_run_holding_the_lock_means_a_full_run(self):
        self.server.deliver('locked', message(40, 'z', 'three'))
        rc = 'STATEFILE = "%s"\n' % self.path('state') + RULES + self.account('locked')
        self.pollensift(rc)
        with open(self.path('state') + '.lock', 'w') as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            r = self.pollensift(rc, '-v', '6')
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertIn("pollensift: Warning: Another run holds the state file '%s'; every message "
                      "is judged in this run.\n" % self.path('state'), r.out)
        self.assertIn('Wrote: TOP', r.out)
        self.assertNotIn('Wrote: UIDL', r.out)


class WithoutUidl(PollensiftTest):
    def fake(self, messages):
        return self.fake_server({'messages': messages})

    def test_a_server_without_uidl_gets_a_full_run(self):
        server = self.fake(['Subject: a\r\nMessage-ID: <a@x>\r\n'])
        rc = 'STATEFILE = "%s"\n' % self.path('state') + account('jo', 'pw', server.port)
        for connection in (1, 2):
            r = self.pollensift(rc)
            self.assertEqual((r.code, r.errors()), (0, []), r.err)
            self.assertIn('pollensift: The server does not list unique ids (UIDL); every message '
                          'is judged.\n', r.out)
            commands = server.commands(connection)
            self.assertIn('UIDL', commands)
            self.assertIn('TOP 1 0', commands)

    def test_a_uidl_listed_twice_is_never_trusted(self):
        # Messages 1 and 2 share a UIDL, message 3 is listed with two; only message 4 can be
        # remembered, and every other one is fetched in every run.
        server = FakePop({'messages': ['Subject: %d\r\nMessage-ID: <%d@x>\r\n' % (n, n)
                                       for n in range(1, 5)],
                          'replies': {'UIDL': '+OK\r\n1 same\r\n2 same\r\n3 one\r\n'
                                              '3 two\r\n4 four\r\n.\r\n'}},
                         self.path('commands'))
        server.start()
        self.addCleanup(server.stop)
        rc = 'STATEFILE = "%s"\n' % self.path('state') + account('jo', 'pw', server.port)
        for connection, tops, passed in ((1, ['1', '2', '3', '4'], 0), (2, ['1', '2', '3'], 1)):
            r = self.pollensift(rc)
            self.assertEqual((r.code, r.errors()), (0, []), r.err)
            self.assertIn('pollensift: %d message(s) judged in an earlier run, not fetched again.'
                          % passed, r.out)
            self.assertEqual([c.split()[1] for c in server.commands(connection)
                              if c.startswith('TOP ')], tops)

    def test_a_repeat_run_asks_only_for_what_it_must_judge(self):
        # Message 3 is listed with two UIDLs, so it is judged in every run; 1 and 2 are
        # remembered after the first. The second run's dialogue after the login: CAPA after the
        # login (for UTF8, whatever PIPELINING says) only where a message is to be fetched.
        clean = '+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n'
        unsure = '+OK\r\n1 a\r\n2 b\r\n3 c\r\n3 d\r\n.\r\n'
        cases = (
            (clean, 'yes', ['PIPELINING'], ['STAT', 'UIDL', 'QUIT']),
            (clean, 'no', None, ['STAT', 'UIDL', 'QUIT']),
            (unsure, 'yes', ['PIPELINING'], ['STAT', 'UIDL', 'CAPA', 'LIST 3', 'TOP 3 0', 'QUIT']),
            (unsure, 'yes', None, ['STAT', 'UIDL', 'CAPA', 'LIST 3', 'TOP 3 0', 'QUIT']),
            (unsure, 'no', None, ['STAT', 'UIDL', 'CAPA', 'LIST 3', 'TOP 3 0', 'QUIT']),
        )
        for n, (listing, pipelining, capa, expected) in enumerate(cases):
            with self.subTest(listing=listing, pipelining=pipelining, capa=capa):
                scenario = {'messages': ['Subject: %d\r\nMessage-ID: <%d@x>\r\n' % (m, m)
                                         for m in range(1, 4)],
                            'replies': {'UIDL': listing}}
                if capa is not None:
                    scenario['capa'] = capa
                log = self.path('commands%d' % n)
                server = FakePop(scenario, log)
                server.start()
                self.addCleanup(server.stop)
                rc = ('STATEFILE = "%s"\nPIPELINING = "%s"\n' % (self.path('state%d' % n),
                                                                    pipelining) +
                      account('jo', 'pw', server.port))
                for connection in (1, 2):
                    r = self.pollensift(rc)
                    self.assertEqual((r.code, r.errors()), (0, []), r.err)
                commands = server.commands(2)
                self.assertEqual(commands[commands.index('PASS pw') + 1:], expected)

    def test_without_statefile_no_uidl_is_sent(self):
        server = self.fake(['Subject: a\r\n'])
        r = self.pollensift(account('jo', 'pw', server.port))
        self.assertEqual(r.code, 0, r.err)
        commands = server.commands()
        self.assertIn('TOP 1 0', commands)
        self.assertNotIn('UIDL', commands)


class HostileState(PollensiftTest):
    """What a server or the file system can do to a run with a state file."""

    LISTED = {'UIDL': '+OK\r\n1 a\r\n.\r\n'}

    def fake(self, replies=None):
        return self.fake_server({'messages': ['Subject: a\r\nMessage-ID: <a@x>\r\n'],
                                 'replies': dict(self.LISTED, **(replies or {}))})

    def test_a_quit_answered_with_err_remembers_nothing(self):
        """Without QUIT's +OK the session's deletions may not have been carried out: the state
        file must hold none of its UIDLs, with one job and with two (where the running process
        writes the file). The same run with QUIT answered +OK does write them, so the assertion
        can fail."""
        messages = ['Subject: %d\r\nMessage-ID: <%d@x>\r\n' % (n, n) for n in range(1, 4)]

        def listing(user):
            return {'UIDL': '+OK\r\n' + ''.join('%d %s-%d\r\n' % (n, user, n)
                                                  for n in range(1, 4)) + '.\r\n'}
        other = self.fake_server({'messages': messages, 'replies': listing('ann')})
        for quit_reply, code, remembered in (('-ERR [SYS/TEMP] not now\r\n', 255, False),
                                             ('+OK bye\r\n', 0, True)):
            for jobs in ('1', '2'):
                with self.subTest(quit=quit_reply, jobs=jobs):
                    if os.path.exists(self.path('state')):
                        os.remove(self.path('state'))
                    server = self.fake_server({'messages': messages,
                                               'replies': dict(listing('jo'), QUIT=quit_reply)})
                    rc = ('STATEFILE = "%s"\n' % self.path('state') +
                          account('jo', 'pw', server.port) + account('ann', 'pw', other.port))
                    r = self.pollensift(rc, '-j', jobs)
                    self.assertEqual(r.code, code, r.err)
                    with open(self.path('state'), 'rb') as f:
                        state = f.read()
                    # The other account's session ended cleanly: its UIDLs are there.
                    self.assertIn(b'ann-2', state)
                    self.assertEqual(b'jo-2' in state, remembered, state)

    def test_a_huge_stat_count_fails_its_account_only(self):
        # Arrays sized by this count took 32 GB; a listing of one line must cost one line.
        liar = self.fake({'STAT': '+OK 2147483647 0\r\n'})
        honest = self.fake()
        rc = ('STATEFILE = "%s"\n' % self.path('state') + account('jo', 'pw', liar.port) +
              account('ann', 'pw', honest.port))
        r = self.pollensift(rc, timeout=60)
        self.assertEqual(r.code, 255, r.err)
        self.assertEqual(r.errors(), [
            'pollensift: Error: Error occurred while sending LIST to server.',
            'pollensift: Error: The server replied: -ERR no such message',
            'pollensift: Error: Scanning of mail account failed.',
            'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.'])
        self.assertIn('TOP 1 0', honest.commands())
        self.assertIn('QUIT', honest.commands())

    def test_a_fifo_is_refused_before_any_server_is_asked(self):
        server = self.fake()
        os.mkfifo(self.path('state'))
        r = self.pollensift('STATEFILE = "%s"\n' % self.path('state') +
                            account('jo', 'pw', server.port), timeout=20)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), ["pollensift: Error: The state file '%s' is a FIFO, not a "
                                      "regular file." % self.path('state')])
        self.assertEqual(server.commands(wait=0), [])

    def test_a_huge_file_is_refused_without_reading_it_all(self):
        # Sparse files of 2.5 GB: reading one whole took 4.2 GB of memory and 23 s.
        server = self.fake()
        rc = 'STATEFILE = "%s"\n' % self.path('state') + account('jo', 'pw', server.port)
        for first_line, reason in ((b'garbage\n', 'is not a pollensift state file'),
                                   (b'pollensift-state 1\n', 'is too large')):
            with self.subTest(reason=reason):
                def huge():
                    with open(self.path('state'), 'wb') as f:
                        f.write(first_line)
                        f.truncate(5 << 29)
                huge()
                r = self.pollensift(rc, '-v', '6', timeout=20)
                self.assertEqual((r.code, r.errors()), (0, []), r.err)
                self.assertIn("pollensift: Warning: The state file '%s' %s; every message is "
                              "judged.\n" % (self.path('state'), reason), r.out)
                self.assertIn('Wrote: TOP 1 0', r.out)
                self.assertLess(os.path.getsize(self.path('state')), 1000)
                # The memory of this one run, whatever ran before in this interpreter.
                huge()
                code, peak = peak_rss_kib([BIN, '-M', self.path('rc')])
                self.assertEqual(code, 0)
                self.assertLess(peak, 200 << 10)

    def test_a_file_others_can_change_is_not_believed_and_made_private(self):
        server = self.fake()
        rc = 'STATEFILE = "%s"\n' % self.path('state') + account('jo', 'pw', server.port)
        self.assertEqual(self.pollensift(rc).code, 0)
        os.chmod(self.path('state'), 0o666)
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertIn("pollensift: Warning: The state file '%s' can be changed by other users "
                      "(mode 0666); every message is judged, and the file is written anew with "
                      "mode 0600.\n" % self.path('state'), r.out)
        self.assertIn('Wrote: TOP 1 0', r.out)
        self.assertEqual(os.stat(self.path('state')).st_mode & 0o777, 0o600)
        again = self.pollensift(rc, '-v', '6')
        self.assertNotIn('Warning', again.out)
        self.assertNotIn('Wrote: TOP', again.out)


if __name__ == '__main__':
    unittest.main()
