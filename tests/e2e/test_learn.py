"""Learned scoring through the built binary: learning saved mail into LEARN_FILE, taking it back,
the learned points in a run's verdicts against a scripted server, and files that must not be
believed. Without both LEARN_FILE and LEARNED_SCORE a run must be what it was, byte for byte."""

import fcntl
import os
import re
import resource
import signal
import subprocess
import unittest

from harness import ASAN_OPTIONS, BIN, PollensiftTest, account, peak_rss_kib



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

    def test_the_file_is_locked_and_replaced_whole(self):
        self.assertEqual(self.learn('--learn-spam', self.spam).code, 0)
        first = self.read_file()
        # Another learner holds the lock for longer than the wait.
        with open(self.learned + '.lock', 'w') as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            r = self.learn('--learn-ham', self.ham)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), ["pollensift: Error: The learned-token file '%s' is held by "
                                      "another process; nothing was learned." % self.learned])
        self.assertEqual(self.read_file(), first)

        # A write cut short by a file-size limit leaves the old file whole and readable.
        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (len(first) // 2, len(first) // 2))
        with open(self.path('rc'), 'w') as f:
            f.write(self.rc)
        os.chmod(self.path('rc'), 0o600)
        p = subprocess.run([BIN, '-M', self.path('rc'), '--learn-ham', self.ham],
                           capture_output=True, text=True, timeout=60, preexec_fn=limited)
        self.assertEqual(p.returncode, 255)
        self.assertIn("The learned-token file '%s' cannot be written (File too large); nothing "
                      "was learned." % self.learned, p.stderr)
        self.assertEqual(self.read_file(), first)
        self.assertEqual(sorted(os.listdir(self.dir.name)).count('learned'), 1)
        self.assertEqual([n for n in os.listdir(self.dir.name) if n.startswith('learned.')],
                         ['learned.lock'], 'no half-written file is left beside it')
        r = self.learn('--learn-ham', self.ham)
        self.assertIn('Learned 10 of 10 message(s) as ham; 10 spam and 10 ham', r.out)

    def test_memory_is_bounded_whatever_the_input(self):
        # Headers of 6 KB whose every word is new: each adds a thousand tokens. The program's own
        # size (larger in a sanitizer build) does not count: one message measures it.
        def crafted(n):
            lines = ['X-Crafted-Field%05d-%03d: value' % (n, k) for k in range(180)]
            words = ' '.join('w%dx%d' % (n, k) for k in range(64))
            return '\n'.join(lines + ['Subject: ' + words, 'From: <a%d@d%d.example>' % (n, n)])
        with open(self.path('rc'), 'w') as f:
            f.write(self.rc)
        os.chmod(self.path('rc'), 0o600)
        peaks = {}
        for count in (1, 1000, 2000):
            box = maildir(self.path('crafted%d' % count), [crafted(n) for n in range(count)])
            if os.path.exists(self.learned):
                os.remove(self.learned)
            code, peaks[count] = peak_rss_kib([BIN, '-M', self.path('rc'), '--learn-spam', box],
                                              env=dict(os.environ, ASAN_OPTIONS=ASAN_OPTIONS))
            self.assertEqual(code, 0)
        self.assertLess(peaks[2000] - peaks[1], 60 * 1024, peaks)
        self.assertLess(peaks[2000] - peaks[1000], 16 * 1024, peaks)
        self.assertIn(b'\nmessages 2000 0\n', self.read_file())
        self.assertLessEqual(self.read_file().count(b'\nt '), 250000)

class QuarantineCopies(PollensiftTest):
    """The field the quarantine adds tells the old verdict: neither rules nor learning see it,
    and learning the quarantine as spam does not undo what the user learned as ham."""

    VERDICT = ('X-Pollensift-Verdict: Deny: "casino" matches (jo@pop.example, 2024-06-01 '
               '10:00)\r\n')

    def test_rules_and_learning_leave_the_verdict_field_out(self):
        quarantine = maildir(self.path('q'), [self.VERDICT + ham(3), self.VERDICT + spam(1)])
        # The size too is the server's: the copy's is larger by the field.
        size = len(ham(3) + '\r\n\r\nbody\r\n')
        r = self.pollensift('DENY = "casino"\nMAXSIZE_DENY = %d\n' % (size + 10), '--judge',
                            quarantine)
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('Judged 2 message(s): 0 would be deleted, 2 kept.', r.out)

        learned = self.path('learned')
        rc = 'LEARN_FILE = "%s"\n' % learned
        released = maildir(self.path('released'), [ham(3)])
        self.assertEqual(self.pollensift(rc, '--learn-ham', released).code, 0)
        r = self.pollensift(rc, '--learn-spam', quarantine)
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('Learned 1 of 2 message(s) as spam, 1 kept as ham (quarantine copies of '
                      'messages learned as ham); 1 spam and 1 ham', r.out)
        with open(learned, 'rb') as f:
            self.assertNotIn(b'casino', f.read())
        # The user's own copy still moves it: a mistake is corrected as before.
        r = self.pollensift(rc, '--learn-spam', released)
        self.assertIn('(1 moved over from ham); 2 spam and 0 ham', r.out)


class LearnedScoreInARun(PollensiftTest):
    """Two messages: one the rules alone keep and the learned score condemns, one the rules
    alone condemn and the learned score keeps."""

    # 30 points from the rule and the spam sender; 60 from the rule and the friend.
    RULES = 'HIGHSCORE = 50\nSCORE 30 = "^Subject:.*watches"\nSCORE 60 = "^Subject:.*lunch"\n'
    MESSAGES = [spam(77).replace('B?Q2hlYXAgd2F0Y2hlcyE=?= 77', 'Q?Cheap_watches?= 77'), ham(77)]

    LEARNED = 50  # of each kind: the least LEARN_MINIMUM allows

    def setUp(self):
        super().setUp()
        self.learned = self.path('learned')
        learn_rc = 'LEARN_FILE = "%s"\n' % self.learned
        for option, headers in (('--learn-spam', [spam(n) for n in range(self.LEARNED)]),
                                ('--learn-ham', [ham(n) for n in range(self.LEARNED)])):
            box = maildir(self.path(option), headers)
            self.assertEqual(self.pollensift(learn_rc, option, box).code, 0)

    def run_with(self, learn_rc, *args):
        server = self.fake_server({'messages': self.MESSAGES, 'capa': ['TOP', 'PIPELINING']})
        r = self.pollensift(self.RULES + learn_rc + account('jo', 'pw', server.port), *args)
        self.assertEqual(r.code, 0, r.err)
        return r, server

    def test_the_learned_points_condemn_and_spare(self):
        r, server = self.run_with('LEARN_FILE = "%s"\nLEARNED_SCORE = 40\nLEARN_MINIMUM = 50\n'
                                  % self.learned, '-v', '5')
        self.assertEqual(server.deleted(), [1])
        self.assertRegex(r.log, r'Learned score: 50 spam and 50 ham message\(s\) learned, \d+ tokens')
        self.assertNotIn('not applied', r.log)
        self.assertRegex(r.log, r'Score: learned spam probability 1\.000 \[40\]\.\n'
                                r'pollensift: Score: learned tokens for spam: \S+ \(0\.9\d\d\)')
        self.assertRegex(r.log, r'Score: learned spam probability 0\.000 \[-40\]\.\n'
                                r'pollensift: Score: learned tokens for ham: ')
        self.assertIn('Deny: "Best Offer" <deals77@offers.example>: =?UTF-8?Q?Cheap_watches?= 77, '
                      ' [Score: 70].', r.log)
        self.assertIn('Pass: Ann <ann@friends.example>: Re: lunch on day 77, Mon, 3 Jun 2024 '
                      '10:00:00 +0200 [Score: 20].', r.log)

    def test_too_few_learned_messages_add_no_points_and_say_how_many_more(self):
        rc = self.RULES + 'LEARN_FILE = "%s"\nLEARNED_SCORE = 40\n' % self.learned
        r, server = self.run_with('LEARN_FILE = "%s"\nLEARNED_SCORE = 40\n' % self.learned)
        self.assertEqual(server.deleted(), [2], 'the rules alone')
        self.assertIn('pollensift: Learned score: not applied until 150 more spam and 150 more '
                      'ham message(s) are learned (LEARN_MINIMUM = 200).\n', r.log)
        r, server = self.run_with('LEARN_FILE = "%s"\nLEARNED_SCORE = 40\nLEARN_MINIMUM = 51\n'
                                  % self.learned)
        self.assertEqual(server.deleted(), [2])
        self.assertIn('not applied until 1 more spam and 1 more ham message(s) are learned '
                      '(LEARN_MINIMUM = 51).', r.log)
        saved = maildir(self.path('saved'), self.MESSAGES)
        r = self.pollensift(rc, '--judge', saved)
        self.assertIn('Judged 2 message(s): 1 would be deleted (1 score), 1 kept.', r.out)
        self.assertIn('Learned score: not applied until 150 more spam and 150 more ham', r.out)
        r = self.pollensift(rc, '--check')
        self.assertIn('  LEARN_MINIMUM = 200\n', r.out)
        self.assertRegex(r.out, r'\nLearned tokens: loaded, 50 spam and 50 ham message\(s\) '
                                r'learned, \d+ tokens\. Not applied until 150 more spam and 150 '
                                r'more ham message\(s\) are learned \(LEARN_MINIMUM = 200\)\.\n')

    def test_rc_values_that_would_mislead_are_refused(self):
        for line, error in (('LEARNED_SCORE = -40', 'LEARNED_SCORE must be 0 or more points, '
                                                     'not -40'),
                            ('LEARN_MINIMUM = 49', 'LEARN_MINIMUM must be 50 or more messages, '
                                                    'not 49')):
            with self.subTest(line):
                r = self.pollensift('LEARN_FILE = "%s"\n%s\n' % (self.learned, line), '--check')
                self.assertEqual(r.code, 255)
                self.assertIn(error, r.err)

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
        rc = 'LEARN_FILE = "%s"\nLEARNED_SCORE = 40\nLEARN_MINIMUM = 50\n' % self.learned
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
        os.chmod(self.learned, 0o600)
        # A link would be replaced by a plain file on the next learning, its target never
        # updated again; a file of another user's decides which of this user's mail goes.
        real = self.path('real')
        os.rename(self.learned, real)
        os.symlink(real, self.learned)
        r, server = self.run_with(rc)
        self.assertIn("Warning: The learned-token file '%s' is a symbolic link (name the file "
                      "itself); no learned score." % self.learned, r.log)
        self.assertEqual(server.deleted(), [2])
        r = self.pollensift(rc, '--learn-ham', maildir(self.path('more'), [ham(99)]))
        self.assertEqual(r.code, 255)
        self.assertTrue(os.path.islink(self.learned))
        with open(real, 'rb') as f:
            self.assertEqual(f.read(), good)
        os.remove(self.learned)
        os.rename(real, self.learned)
        if os.geteuid() == 0:
            os.chown(self.learned, 65534, -1)
            r, server = self.run_with(rc)
            self.assertIn("Warning: The learned-token file '%s' belongs to another user (uid "
                          "65534); no learned score." % self.learned, r.log)
            self.assertEqual(server.deleted(), [2])

    def test_judge_and_check_tell_what_is_loaded(self):
        rc = 'LEARN_FILE = "%s"\nLEARNED_SCORE = 40\nLEARN_MINIMUM = 50\n' % self.learned
        saved = maildir(self.path('saved'), self.MESSAGES)
        r = self.pollensift(self.RULES + rc, '--judge', saved)
        self.assertEqual(r.code, 0, r.err)
        self.assertRegex(r.out, r'^pollensift: Learned score: 50 spam and 50 ham message\(s\) '
                                r'learned, \d+ tokens\.\n')
        self.assertIn('Judged 2 message(s): 1 would be deleted (1 score), 1 kept.', r.out)
        r = self.pollensift(self.RULES + rc, '--check')
        self.assertIn('  LEARN_FILE = "%s"\n  LEARNED_SCORE = 40\n  LEARN_MINIMUM = 50\n'
                      % self.learned, r.out)
        self.assertRegex(r.out, r'\nLearned tokens: loaded, 50 spam and 50 ham message\(s\) '
                                r'learned, \d+ tokens\.\n')
        os.remove(self.learned)
        r = self.pollensift(self.RULES + 'LEARN_FILE = "%s"\n' % self.learned, '--check')
        self.assertIn('\nLearned tokens: not loaded. LEARNED_SCORE is not set, so they add no '
                      'points.\n', r.out)
        self.assertIn("Warning: The learned-token file '%s' does not exist yet; no learned "
                      "score." % self.learned, r.out)


if __name__ == '__main__':
    unittest.main()
