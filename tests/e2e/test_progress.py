"""What the person at the keyboard sees of a long scan: its progress, redrawn in place on a
terminal and nowhere else, and the summary line that names the account."""

import re
import unittest

from harness import PollensiftTest, account

PILLS = ('From: offers@cheap-meds.example\r\nSubject: Cheap pills\r\n'
         'Message-ID: <1@cheap-meds.example>\r\n')
PLAIN = 'From: ann@example.org\r\nSubject: minutes %d\r\nMessage-ID: <%d@example.org>\r\n'
# Judged last, when the progress line is shown: its warning (from verbosity 4) must not mix with
# it.
BAD_ID = 'From: bob@example.org\r\nSubject: late\r\nMessage-ID: no-brackets@example.org\r\n'
MESSAGES = [PILLS] + [PLAIN % (n, n) for n in range(2, 8)] + [BAD_ID]
RULES = 'DENY = "^Subject:.*cheap pills"\n'
WARNING = ['pollensift: Warning: Message 8 (From: bob@example.org, Subject: late) has a '
           'Message-ID of the wrong form; -i (--ignore-time-stamps) accepts such IDs.']
DENY = ('pollensift: Deny: offers@cheap-meds.example: Cheap pills,  ["^Subject:.*cheap pills" '
        'matches "Subject: Cheap pills"].')
ACCOUNT_LINES = ['pollensift: Test mode: messages are judged, none will be deleted.',
                 'pollensift: 0.8.9 querying jo@127.0.0.1.',
                 'pollensift: Examining 8 message(s).']
SUMMARY = ['pollensift: Examined 8 message(s): 1 would be deleted, 7 kept.',
           'pollensift: Summary for jo@127.0.0.1: 8 message(s) examined, 1 would be deleted, '
           '7 kept.']
PROGRESS = re.compile(r'\rScanning jo@127\.0\.0\.1: [1-8] of 8 judged, 1 would be deleted')


class Progress(PollensiftTest):
    def test_a_slow_scan_shows_its_progress_on_a_terminal_only(self):
        # Every reply comes in two pieces 0.3 s apart: LIST and TOP take 0.6 s a message, so
        # the scan of eight takes about five seconds.
        rows = [
            # (verbosity, on a terminal, progress shown, what the screen or stderr shows)
            ('4', True, True, ACCOUNT_LINES + [DENY] + WARNING + SUMMARY),
            ('3', True, True, ACCOUNT_LINES + [DENY] + SUMMARY),
            ('2', True, False, [DENY]),
            ('3', False, False, []),
        ]
        for level, terminal, shown, lines in rows:
            with self.subTest(level=level, terminal=terminal):
                server = self.fake_server({'messages': MESSAGES, 'delivery': 'split',
                                           'pause': 0.3})
                r = self.pollensift(RULES + account('jo', 'pw', server.port), '-t', '-v', level,
                                    terminal=terminal)
                self.assertEqual(r.code, 0, r.err)
                # Erased before every line and at the end: the screen holds the lines alone.
                self.assertEqual(r.err.splitlines(), lines)
                if terminal:
                    self.assertEqual(bool(PROGRESS.search(r.terminal)), shown, repr(r.terminal))
                    self.assertEqual('Scanning' in r.terminal, shown)
                    # A longer line would hide what it overwrites: each drawing is followed by
                    # the next one or by blanks over it, never by other text.
                    for drawn in re.finditer(r'\rScanning[^\r\n]*', r.terminal):
                        after = r.terminal[drawn.end():]
                        self.assertRegex(after, r'^\r(Scanning|( {%d,}\r))'
                                         % (len(drawn.group()) - 1))
                self.assertNotIn('Scanning', r.log)
                if level in ('3', '4'):
                    self.assertEqual([l for l in r.log.splitlines() if 'xamined' in l], SUMMARY)

    def test_jobs_show_one_line_for_the_accounts_being_checked(self):
        # Two slow accounts at once: one progress line sums them up, drawn and erased as the
        # line of one account is, and the screen is left with the lines of one job.
        servers = [self.fake_server({'messages': MESSAGES, 'delivery': 'split', 'pause': 0.3})
                   for _ in range(2)]
        rc = RULES + account('jo', 'pw', servers[0].port) + account('ann', 'pw', servers[1].port)
        one = self.pollensift(rc, '-t', terminal=True)
        many = self.pollensift(rc, '-t', '-j', '2', terminal=True)
        self.assertEqual((many.code, many.err.splitlines()), (one.code, one.err.splitlines()))
        summed = re.compile(r'\rScanning 2 accounts: \d+ of 16 judged, \d+ would be deleted')
        self.assertRegex(many.terminal, summed)
        for drawn in re.finditer(r'\rScanning[^\r\n]*', many.terminal):
            after = many.terminal[drawn.end():]
            self.assertRegex(after, r'^\r(Scanning|( {%d,}\r))' % (len(drawn.group()) - 1))
        self.assertNotIn('Scanning', many.log)


if __name__ == '__main__':
    unittest.main()
