"""QUARANTINE in a live run: every condemned message is fetched whole and stored in the Maildir
before its DELE. Against a private Dovecot: the messages that left the server are exactly those in
the quarantine, byte for byte apart from the added field and the line ends; a quarantine that
cannot be written deletes nothing; a large message costs no more memory than without it; a run
killed at any point leaves nothing missing that the quarantine lacks. Against the scripted server:
a RETR refused, cut off or stalled keeps its message, and the rest is judged.
"""

import glob
import os
import signal
import subprocess
import sys
import time
import unittest

from harness import (BIN, DovecotTest, PollensiftTest, account, fixture_mail, normalised,
                     peak_rss_kib)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'bench'))
import corpus  # noqa: E402  (the benchmark's generated mail)

FIELD = b'X-Pollensift-Verdict: '
RULES = ('REG_TYPE = "extended"\nDEL_DUPLICATES = "yes"\n'
         'DENY = "^Subject:.*(pills|lottery|[Vv]iagra|casino|winner|offer)"\n'
         'SCORE 60 = "^X-Spam-Flag: YES"\nHIGHSCORE = 50\n')
FIXTURES = ['01-meeting.eml', '02-invoice.eml', '03-pills.eml', '04-lottery.eml',
            '05-newsletter.eml', '06-bulk-long-header.eml']


def held(quarantine):
    """The messages in the quarantine: (field line, message with LF line ends)."""
    found = []
    for path in sorted(glob.glob(os.path.join(quarantine, 'new', '*'))):
        with open(path, 'rb') as f:
            field, _, message = f.read().partition(b'\n')
        found.append((field, message))
    return found


class QuarantineRun(DovecotTest):
    USERS = {'corpus': 'pw-c', 'locked': 'pw-l', 'big': 'pw-b', 'small': 'pw-s', 'killed': 'pw-k'}

    def rc(self, user, quarantine, extra=''):
        return (RULES + extra + 'QUARANTINE = "%s"\n' % quarantine +
                account(user, self.USERS[user], self.server.port))

    def test_what_left_the_server_is_in_the_quarantine(self):
        mail = [fixture_mail(name) for name in FIXTURES] + \
            [corpus.message(11, i)[0] for i in range(120)]
        for message in mail:
            self.server.deliver('corpus', message)
        quarantine = self.path('q')
        r = self.pollensift(self.rc('corpus', quarantine))
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        left = self.left('corpus')
        gone = [normalised(m) for m in mail if normalised(m) not in left]
        stored = held(quarantine)
        self.assertGreater(len(gone), 10)
        self.assertEqual(sorted(m for _, m in stored), sorted(gone))
        for field, _ in stored:
            self.assertTrue(field.startswith(FIELD), field)
            self.assertTrue(field.endswith(b')'), field)
            self.assertIn(b' (corpus@127.0.0.1, ', field)
        self.assertEqual(os.listdir(os.path.join(quarantine, 'tmp')), [])
        self.assertIn('pollensift: Examined %d message(s): %d deleted, %d kept, %d quarantined.'
                      % (len(mail), len(gone), len(mail) - len(gone), len(gone)), r.out)
        # Test mode writes nothing to the quarantine and deletes nothing.
        r = self.pollensift(self.rc('corpus', self.path('q2')), '-t')
        self.assertEqual(r.code, 0)
        self.assertFalse(os.path.exists(self.path('q2')))

    def test_a_quarantine_that_cannot_be_written_deletes_nothing(self):
        for name in FIXTURES:
            self.server.deliver('locked', fixture_mail(name))
        before = self.left('locked')
        with open(self.path('q'), 'w') as f:
            f.write('a file where the Maildir should be')
        r = self.pollensift(self.rc('locked', self.path('q')))
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors()[0],
                         "pollensift: Error: The quarantine cannot be used: '%s' is not a "
                         "directory. No message of this account is deleted." % self.path('q'))
        self.assertIn('pollensift: Error: 3 condemned message(s) could not be quarantined and '
                      'stay on the server; the next run tries again.', r.errors())
        self.assertEqual(self.left('locked'), before)

    def test_a_large_message_is_stored_in_bounded_memory(self):
        # 50 MB of body; without QUARANTINE only its header is read.
        body = (b'y' * 998 + b'\r\n') * 50000
        header = (b'From: x@spam.example\r\nSubject: casino night\r\n'
                  b'Message-ID: <big@spam.example>\r\n\r\n')
        self.server.deliver('big', header + body)
        self.server.deliver('small', b'From: x@spam.example\r\nSubject: casino night\r\n'
                                     b'Message-ID: <small@spam.example>\r\n\r\nsmall\r\n')
        peaks = {}
        for user in ('small', 'big'):
            rc = self.path('rc-' + user)
            with open(rc, 'w') as f:
                f.write('LOGFILE = "%s"\n' % self.path('log') +
                        self.rc(user, self.path('q-' + user)))
            os.chmod(rc, 0o600)
            code, peaks[user] = peak_rss_kib([BIN, '-M', rc])
            self.assertEqual(code, 0)
        stored = held(self.path('q-big'))
        self.assertEqual(len(stored), 1)
        self.assertEqual(stored[0][1], normalised(header + body))
        self.assertEqual(self.left('big'), [])
        # The same process with a message 50 MB larger: a few MiB more at most.
        self.assertLess(peaks['big'] - peaks['small'], 4096, peaks)

    def test_a_killed_run_leaves_nothing_missing_that_the_quarantine_lacks(self):
        mail = [corpus.message(13, i)[0] for i in range(300)]
        for message in mail:
            self.server.deliver('killed', message)
        quarantine = self.path('q')
        rc = self.path('rc-killed')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\n' % self.path('log') + self.rc('killed', quarantine))
        os.chmod(rc, 0o600)
        for delay in (0.02, 0.05, 0.1, 0.2, 0.4, 5):
            process = subprocess.Popen([BIN, '-M', rc], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            try:
                process.wait(timeout=delay)
            except subprocess.TimeoutExpired:
                os.kill(process.pid, signal.SIGKILL)
                process.wait()
            time.sleep(0.2)  # Dovecot ends the session
            left = set(self.left('killed'))
            stored = {m for _, m in held(quarantine)}
            missing = [n for n, m in enumerate(mail, 1) if normalised(m) not in left]
            # Counts and message numbers on failure, not megabytes of message text.
            lost = [n for n in missing if normalised(mail[n - 1]) not in stored]
            self.assertEqual(lost, [], 'killed after %s s: %d of %d deleted messages are not in '
                             'the quarantine (%d held)' % (delay, len(lost), len(missing),
                                                           len(stored)))
        # The last run was not killed: something was deleted, all of it held.
        self.assertTrue(missing)


WANTED = 'From: ann@example.org\r\nSubject: minutes\r\nMessage-ID: <1@example.org>\r\n'
SPAM = ('From: x@spam.example\r\nSubject: cheap pills\r\nMessage-ID: <%d@spam.example>\r\n'
        '\r\nbody\r\n.dotted\r\n')


class QuarantineFaults(PollensiftTest):
    def test_a_retr_that_fails_keeps_its_message_and_the_rest_is_judged(self):
        messages = [WANTED, SPAM % 2, SPAM % 3, WANTED.replace('<1@', '<4@')]
        stays = 'pollensift: Error: Message 2 is not quarantined and stays on the server.'
        cases = (
            ('refused', {'replies': {'RETR 2': '-ERR [SYS/TEMP] not now\r\n'}},
             ['pollensift: Error: The server refused RETR 2: -ERR [SYS/TEMP] not now', stays,
              'pollensift: Error: 1 condemned message(s) could not be quarantined and stay on '
              'the server; the next run tries again.'], [3]),
            ('cut off', {'cut': {'command': 'RETR 2', 'bytes': 30}},
             ['pollensift: Error: The server closed the connection in the middle of a reply.',
              'pollensift: Error: Error occurred while sending RETR to server.',
              'pollensift: Error: Scanning of mail account failed.'], None),
            ('stalled', {'cut': {'command': 'RETR 2', 'bytes': 30, 'stall': True}},
             ['pollensift: Error: Connection has timed out.',
              'pollensift: Error: Error occurred while sending RETR to server.',
              'pollensift: Error: Scanning of mail account failed.'], None),
        )
        for name, scenario, errors, deleted in cases:
            for pipelining in ('yes', 'no'):
                with self.subTest(name, pipelining=pipelining):
                    capa = ['TOP', 'PIPELINING'] if pipelining == 'yes' else ['TOP']
                    server = self.fake_server(dict(scenario, messages=messages, capa=capa))
                    q = self.path('q-%s-%s' % (name.replace(' ', '-'), pipelining))
                    r = self.pollensift('DENY = "^Subject: cheap"\nTIMEOUT = 2\nQUARANTINE = "%s"\n'
                                        % q + account('jo', 'pw', server.port), '-v', '4')
                    self.assertEqual(r.code, 255)
                    self.assertEqual(r.errors()[:len(errors)], errors)
                    commands = server.commands()
                    self.assertNotIn('DELE 2', commands)
                    if deleted is None:
                        self.assertFalse(server.deleted())
                    else:
                        # Message 3 was stored and deleted; message 4 was judged.
                        self.assertEqual(server.deleted(), deleted)
                        self.assertIn('TOP 4 0', commands)
                        self.assertEqual(len(held(q)), 1)
                        self.assertEqual(held(q)[0][1], b'From: x@spam.example\nSubject: cheap '
                                         b'pills\nMessage-ID: <3@spam.example>\n\nbody\n.dotted\n')


if __name__ == '__main__':
    unittest.main()
