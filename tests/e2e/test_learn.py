"""Learned scoring through the built binary: learning saved mail into LEARN_FILE, taking it back,
the learned points in a run's verdicts against a scripted server, and files that must not be
believed. Without both LEARN_FILE and LEARNED_SCORE a run must be what it was, byte for byte."""

import os
import re
import unittest

from harness import PollensiftTest, account


def spam(n):
    return ('Received: from bulk%d.offers.example (bulk.offers.example [203.0.113.%d]) by '
            'mx.home.example\r\nFrom: "Best Offer" <deals%d@offers.example>\r\n'
            'To: undisclosed-recipients:;\r\nSubject: =?UTF-8?B?Q2hlYXAgd2F0Y2hlcyE=?= %d\r\n'
            'Content-Type: text/html; charset="windows-1252"' % (n, 10 + n, n, n))


def ham(n):
    return ('Received: from mail.friends.example (mail.friends.example [198.51.100.7]) by '
            'mx.home.example\r\nFrom: Ann <ann@friends.example>\r\nTo: me@home.example\r\n'
            'Subject: Re: lunch on day %d\r\nMessage-ID: <%d.x@friends.example>\r\n'
            'Date: Mon, 3 Jun 2024 10:00:00 +0200\r\nUser-Agent: Mutt/2.2.12\r\n'
            'Content-Type: text/plain; charset=us-ascii' % (n, n))


def maildir(root, headers):
    for sub in ('cur', 'new', 'tmp'):
        os.makedirs(os.path.join(root, sub))
    for i, header in enumerate(headers):
        with open(os.path.join(root, 'cur', '%03d' % i), 'w') as f:
            f.write(header.replace('\r\n', '\n') + '\n\nbody\n')
    return root


def strip_stamps(log):
    return re.sub(r'(?m)^\w{3} [ 0-3]\d \d\d:\d\d:\d\d ', '', log)


class Learning(PollensiftTest):
    def setUp(self):
        super().setUp()
        self.spam = maildir(self.path('spam'), [spam(n) for n in range(10)])
        self.ham = maildir(self.path('ham'), [ham(n) for n in range(10)])
        self.learned = self.path('learned')
        self.rc = 'LEARN_FILE = "%s"\n' % self.learned

    def learn(self, *args, rc=None):
        return self.pollensift(self.rc if rc is None else rc, *args)

    def read_file(self):
        with open(self.learned, 'rb') as f:
            return f.read()

    def test_learning_twice_counts_once_and_unlearning_takes_back(self):
        r = self.learn('--learn-spam', self.spam)
        self.assertEqual((r.code, r.err), (0, ''))
        self.assertRegex(r.out, r'^pollensift: Learned 10 of 10 message\(s\) as spam; 10 spam and 0 '
                                r'ham message\(s\) learned, \d+ tokens\.\n$')
        r = self.learn('--learn-ham', self.ham)
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(os.stat(self.learned).st_mode & 0o777, 0o600)
        first = self.read_file()
        self.assertTrue(first.startswith(b'pollensift learned tokens 2\nmessages 10 10\n'))

        r = self.learn('--learn-spam', self.spam)
        self.assertIn('Learned 0 of 10 message(s) as spam, 10 learned before; 10 spam and 10 ham',
                      r.out)
        self.assertEqual(self.read_file(), first)

        # A wanted message learned as spam by mistake moves over; taking it back leaves the rest.
        one = maildir(self.path('one'), [ham(3)])
        r = self.learn('--learn-spam', one)
        self.assertIn('Learned 1 of 1 message(s) as spam (1 moved over from ham); 11 spam and 9 '
                      'ham', r.out)
        r = self.learn('--learn-ham', one)
        self.assertIn('(1 moved over from spam); 10 spam and 10 ham', r.out)
        self.assertEqual(self.read_file(), first)
        r = self.learn('--unlearn-spam', one)
        self.assertIn('Took back 0 of 1 message(s) from spam, 1 not learned as spam', r.out)
        r = self.learn('--unlearn-spam', self.spam)
        self.assertIn('Took back 10 of 10 message(s) from spam; 0 spam and 10 ham', r.out)
        self.assertNotIn(b'deals', self.read_file(), 'the spam tokens went with it')

        # Standard input is read as --judge reads it.
        r = self.pollensift(self.rc, '--learn-spam', '-',
                            stdin=(spam(42).replace('\r\n', '\n') + '\n\nbody\n').encode())
        self.assertIn('Learned 1 of 1 message(s) as spam; 1 spam and 10 ham', r.out)

    def test_usage_and_files_that_are_not_written_over(self):
        r = self.pollensift('', '--learn-spam', self.spam)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), ['pollensift: Error: Learning needs LEARN_FILE in the rcfile: '
                                      'the file that keeps what is learned.'])
        r = self.learn('--learn-spam')
        self.assertEqual(r.code, 255)
        self.assertIn('--learn-spam needs at least one PATH', r.err)
        r = self.learn('--learn-spam', '--judge', self.spam)
        self.assertIn('--judge and --learn-spam cannot be combined.', r.err)

        for text, reason in ((b'Some notes of mine\n', 'is not a learned-token file'),
                             (b'pollensift learned tokens 7\n',
                              'was written by a newer version (format 7)'),
                             (b'pollensift learned tokens 1\nmessages 0 0\nend\n',
                              'was written by an older version (format 1)'),
                             (b'pollensift learned tokens 2\nmessages 0 0\nt 1 0 x\nend\n',
                              'is damaged at line 3')):
            with self.subTest(reason):
                with open(self.learned, 'wb') as f:
                    f.write(text)
                r = self.learn('--learn-ham', self.ham)
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), [
                    "pollensift: Error: The learned-token file '%s' %s; nothing was learned "
                    "(move it away to start anew)." % (self.learned, reason)])
                self.assertEqual(self.read_file(), text)

        # A message that cannot be parsed is not learned; the others are, and the status says so.
        os.remove(self.learned)
        with open(os.path.join(self.ham, 'cur', 'zzz'), 'w') as f:
            f.write(' a header that starts with a blank\n')
        r = self.learn('--learn-ham', self.ham)
        self.assertEqual(r.code, 255)
        self.assertIn('Learned 10 of 11 message(s) as ham, 1 not read; 0 spam and 10 ham', r.out)


class LearnedScoreInARun(PollensiftTest):
    """Two messages: one the rules alone keep and the learned score condemns, one the rules
    alone condemn and the learned score keeps."""

    # 30 points from the rule and the spam sender; 60 from the rule and the friend.
    RULES = 'HIGHSCORE = 50\nSCORE 30 = "^Subject:.*watches"\nSCORE 60 = "^Subject:.*lunch"\n'
    MESSAGES = [spam(77).replace('B?Q2hlYXAgd2F0Y2hlcyE=?= 77', 'Q?Cheap_watches?= 77'), ham(77)]

    def setUp(self):
        super().setUp()
        self.learned = self.path('learned')
        learn_rc = 'LEARN_FILE = "%s"\n' % self.learned
        for option, headers in (('--learn-spam', [spam(n) for n in range(10)]),
                                ('--learn-ham', [ham(n) for n in range(10)])):
            box = maildir(self.path(option), headers)
            self.assertEqual(self.pollensift(learn_rc, option, box).code, 0)

    def run_with(self, learn_rc, *args):
        server = self.fake_server({'messages': self.MESSAGES, 'capa': ['TOP', 'PIPELINING']})
        r = self.pollensift(self.RULES + learn_rc + account('jo', 'pw', server.port), *args)
        self.assertEqual(r.code, 0, r.err)
        return r, server

    def test_the_learned_points_condemn_and_spare(self):
        r, server = self.run_with('LEARN_FILE = "%s"\nLEARNED_SCORE = 40\n' % self.learned, '-v', '5')
        self.assertEqual(server.deleted(), [1])
        self.assertRegex(r.log, r'Learned score: 10 spam and 10 ham message\(s\) learned, \d+ tokens')
        self.assertRegex(r.log, r'Score: learned spam probability 1\.000 \[40\]\.\n'
                                r'pollensift: Score: learned tokens for spam: \S+ \(0\.9\d\d\)')
        self.assertRegex(r.log, r'Score: learned spam probability 0\.000 \[-40\]\.\n'
                                r'pollensift: Score: learned tokens for ham: ')
        self.assertIn('Deny: "Best Offer" <deals77@offers.example>: =?UTF-8?Q?Cheap_watches?= 77, '
                      ' [Score: 70].', r.log)
        self.assertIn('Pass: Ann <ann@friends.example>: Re: lunch on day 77, Mon, 3 Jun 2024 '
                      '10:00:00 +0200 [Score: 20].', r.log)

        # LEARNED_SCORE below zero turns it round.
        r, server = self.run_with('LEARN_FILE = "%s"\nLEARNED_SCORE = -40\n' % self.learned)
        self.assertEqual(server.deleted(), [2])

    def test_without_both_keywords_a_run_is_unchanged(self):
        runs = []
        for learn_rc in ('', 'LEARN_FILE = "%s"\n' % self.learned, 'LEARNED_SCORE = 40\n'):
            r, server = self.run_with(learn_rc, '-v', '6')
            runs.append((strip_stamps(r.log).replace(str(server.port), 'PORT'), r.out == r.log,
                         server.commands(), server.deleted()))
        self.assertEqual(runs[0][3], [2], 'the rules alone condemn the ham message')
        self.assertEqual(runs[1], runs[0])
        # LEARNED_SCORE alone is named at the start, and the run is the same after that line.
        warning = ('pollensift: Warning: LEARNED_SCORE is set but LEARN_FILE is not, so no learned '
                   'score is added.\n')
        self.assertTrue(runs[2][0].startswith(warning), runs[2][0][:200])
        self.assertEqual((runs[2][0][len(warning):],) + runs[2][2:], (runs[0][0],) + runs[0][2:])
        self.assertNotIn('earned', runs[0][0])

    def test_a_file_that_cannot_serve_gives_a_warning_and_the_rules_alone(self):
        rc = 'LEARN_FILE = "%s"\nLEARNED_SCORE = 40\n' % self.learned
        with open(self.learned, 'rb') as f:
            good = f.read()
        cases = (('damaged', good[:len(good) // 2], 'is damaged at line'),
                 ('foreign', b'\x00\x01binary', 'is not a learned-token file'),
                 ('newer', b'pollensift learned tokens 3\n', 'was written by a newer version '
                                                              '(format 3)'),
                 ('older', b'pollensift learned tokens 1\nmessages 0 0\nend\n',
                  'was written by an older version (format 1)'),
                 ('missing', None, 'does not exist yet'))
        for name, text, reason in cases:
            with self.subTest(name):
                if text is None:
                    os.remove(self.learned)
                else:
                    with open(self.learned, 'wb') as f:
                        f.write(text)
                r, server = self.run_with(rc)
                self.assertEqual(server.deleted(), [2])
                self.assertIn("pollensift: Warning: The learned-token file '%s' %s"
                              % (self.learned, reason), r.log)
                self.assertTrue(r.log.splitlines()[0].endswith('; no learned score.'), r.log)
        with open(self.learned, 'wb') as f:
            f.write(good)
        os.chmod(self.learned, 0o666)
        r, server = self.run_with(rc)
        self.assertIn('can be changed by other users (mode 0666); no learned score.', r.log)
        self.assertEqual(server.deleted(), [2])

    def test_judge_and_check_tell_what_is_loaded(self):
        rc = 'LEARN_FILE = "%s"\nLEARNED_SCORE = 40\n' % self.learned
        saved = maildir(self.path('saved'), self.MESSAGES)
        r = self.pollensift(self.RULES + rc, '--judge', saved)
        self.assertEqual(r.code, 0, r.err)
        self.assertRegex(r.out, r'^pollensift: Learned score: 10 spam and 10 ham message\(s\) '
                                r'learned, \d+ tokens\.\n')
        self.assertIn('Judged 2 message(s): 1 would be deleted (1 score), 1 kept.', r.out)
        r = self.pollensift(self.RULES + rc, '--check')
        self.assertIn('  LEARN_FILE = "%s"\n  LEARNED_SCORE = 40\n' % self.learned, r.out)
        self.assertRegex(r.out, r'\nLearned tokens: loaded, 10 spam and 10 ham message\(s\) '
                                r'learned, \d+ tokens\.\n')
        os.remove(self.learned)
        r = self.pollensift(self.RULES + 'LEARN_FILE = "%s"\n' % self.learned, '--check')
        self.assertIn('\nLearned tokens: not loaded. LEARNED_SCORE is not set, so they add no '
                      'points.\n', r.out)
        self.assertIn("Warning: The learned-token file '%s' does not exist yet; no learned "
                      "score." % self.learned, r.out)


if __name__ == '__main__':
    unittest.main()
