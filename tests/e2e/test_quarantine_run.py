"""QUARANTINE in a live run: every condemned message is fetched whole and stored in the Maildir
before its DELE. Against a private Dovecot: the messages that left the server are exactly those in
the quarantine, byte for byte apart from the added field and the line ends; a quarantine that
cannot be written deletes nothing; a large message costs no more memory than without it; a run
killed at any point leaves nothing missing that the quarantine lacks. Against the scripted server:
a RETR refused, cut off or stalled keeps its message, and the rest is judged.
"""

import collections
import glob
import hashlib
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

from harness import (BIN, DovecotTest, PollensiftTest, account, fixture_mail, normalised,
                     peak_rss_kib)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'bench'))
import corpus  # noqa: E402  (the benchmark's generated mail)

FIELD = b'X-Pollensift-Verdict: '
DAY = 24 * 3600
RULES = ('REG_TYPE = "extended"\nDEL_DUPLICATES = "yes"\n'
         'DENY = "^Subject:.*(pills|lottery|[Vv]iagra|casino|winner|offer)"\n'
         'SCORE 60 = "^X-Spam-Flag: YES"\nHIGHSCORE = 50\n')
FIXTURES = ['01-meeting.eml', '02-invoice.eml', '03-pills.eml', '04-lottery.eml',
            '05-newsletter.eml', '06-bulk-long-header.eml']


def digest(message):
    return hashlib.sha256(message).hexdigest()[:12]


def summary(message):
    """A message named in a few words: its digest and Subject."""
    subject = next((line for line in message.split(b'\n') if line.startswith(b'Subject:')), b'')
    return '%s %r' % (digest(message), subject[:60])


def difference(got, expected):
    """'' when got and expected hold the same messages (as many times each); else a short text
    naming what only one side holds. Comparing whole messages would print megabytes, and difflib
    would take minutes over them."""
    got_count = collections.Counter(digest(m) for m in got)
    expected_count = collections.Counter(digest(m) for m in expected)
    if got_count == expected_count:
        return ''
    by_digest = {digest(m): m for m in list(got) + list(expected)}
    extra = [summary(by_digest[d]) for d in (got_count - expected_count).elements()]
    missing = [summary(by_digest[d]) for d in (expected_count - got_count).elements()]
    return '%d message(s) too many: %s; %d missing: %s' % (
        len(extra), ', '.join(extra[:5]), len(missing), ', '.join(missing[:5]))


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
        self.assertEqual(difference([m for _, m in stored], gone), '')
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
        self.assertEqual(difference([stored[0][1]], [normalised(header + body)]), '')
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
            left = {digest(m) for m in self.left('killed')}
            stored = [m for _, m in held(quarantine)]
            missing = [normalised(m) for m in mail if digest(normalised(m)) not in left]
            lost = {digest(m) for m in missing} - {digest(m) for m in stored}
            self.assertEqual(sorted(lost), [], 'killed after %s s: %d of %d missing ones not held'
                             % (delay, len(lost), len(missing)))
            # A copy stored by a run killed before its DELE is not stored again by the next.
            twice = [d for d, n in collections.Counter(map(digest, stored)).items() if n > 1]
            self.assertEqual(twice, [], 'killed after %s s: %d message(s) held twice'
                             % (delay, len(twice)))
        # The last run was not killed: something was deleted, all of it held.
        self.assertTrue(missing)


WANTED = 'From: ann@example.org\r\nSubject: minutes\r\nMessage-ID: <1@example.org>\r\n'
SPAM = ('From: x@spam.example\r\nSubject: cheap pills\r\nMessage-ID: <%d@spam.example>\r\n'
        '\r\nbody\r\n.dotted\r\n')


class QuarantineFaults(PollensiftTest):
    def test_a_retr_that_fails_keeps_its_message_and_the_rest_is_judged(self):
        messages = [WANTED, SPAM % 2, SPAM % 3, WANTED.replace('<1@', '<4@')]
        stays = 'pollensift: Error: Message 2 is not quarantined and stays on the server.'
        unstored = ('pollensift: Error: 1 condemned message(s) could not be quarantined and stay '
                    'on the server; the next run tries again.')
        another = ("pollensift: Error: Message 2 could not be quarantined: The server's copy (RETR) "
                   "has another header than the one judged (TOP). It stays on the server.")
        retr3 = '+OK\r\n' + (SPAM % 3).replace('\r\n.', '\r\n..') + '.\r\n'
        # Message 2 with a body of 20 kB, so that its header alone is far from its listed size.
        long_spam = SPAM % 2 + 'filler\r\n' * 2500
        listed = len(SPAM % 2) + 100  # as the scripted server lists it
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
            # A copy that is not the message judged keeps it on the server.
            ('another message', {'replies': {'RETR 2': retr3}}, [another, unstored], [3]),
            ('an empty message', {'replies': {'RETR 2': '+OK\r\n.\r\n'}}, [another, unstored],
             [3]),
            ('the header alone',
             {'messages': [WANTED, long_spam, SPAM % 3, WANTED.replace('<1@', '<4@')],
              'replies': {'RETR 2': '+OK\r\n' + (SPAM % 2).split('\r\n\r\n')[0] +
                                    '\r\n\r\n.\r\n'}},
             ["pollensift: Error: Message 2 could not be quarantined: The server's copy (RETR) is "
              "%d octets long where LIST said %d. It stays on the server."
              % (len((SPAM % 2).split('\r\n\r\n')[0]) + 4, len(long_spam) + 100), unstored],
             [3]),
            # 64 MiB where LIST said some 200 octets: reading stops past the bound.
            ('64 MiB', {'replies': {'RETR 2': {'huge': 64 << 20}}},
             ["pollensift: Error: The server's reply is longer than %d bytes."
              % (max(2 * listed, listed + 65536) + 64),
              'pollensift: Error: Error occurred while sending RETR to server.',
              'pollensift: Error: Scanning of mail account failed.'], None),
        )
        for name, scenario, errors, deleted in cases:
            for pipelining in ('yes', 'no'):
                with self.subTest(name, pipelining=pipelining):
                    capa = ['TOP', 'PIPELINING'] if pipelining == 'yes' else ['TOP']
                    server = self.fake_server(dict(dict(messages=messages, capa=capa),
                                                   **scenario))
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

    def test_a_copy_that_cannot_be_moved_into_new_keeps_its_message(self):
        # new/ is replaced by a file while RETR 2 is being served, so the rename fails.
        retr2 = '+OK\r\n' + (SPAM % 2).replace('\r\n.', '\r\n..') + '.\r\n'
        pieces = [retr2[i:i + 20] for i in range(0, len(retr2), 20)]
        server = self.fake_server({'messages': [WANTED, SPAM % 2], 'capa': ['TOP'],
                                   'replies': {'RETR 2': pieces}})
        q = self.path('q')

        def replace_new():
            end = time.monotonic() + 30
            while time.monotonic() < end:
                if os.path.exists(server.log):
                    with open(server.log) as f:
                        if '1 RETR 2\n' in f.read():
                            os.rmdir(os.path.join(q, 'new'))
                            with open(os.path.join(q, 'new'), 'w') as blocker:
                                blocker.write('not a folder')
                            return
                time.sleep(0.01)

        watcher = threading.Thread(target=replace_new)
        watcher.start()
        r = self.pollensift('DENY = "^Subject: cheap"\nQUARANTINE = "%s"\n' % q +
                            account('jo', 'pw', server.port))
        watcher.join()
        self.assertEqual(r.code, 255)
        first = r.errors()[0]
        self.assertTrue(first.startswith("pollensift: Error: Message 2 could not be quarantined: "
                                         "Moving '%s/tmp/" % q), first)
        self.assertTrue(first.endswith("' into new/ failed: Not a directory. It stays on the "
                                       "server."), first)
        self.assertIn('pollensift: Error: 1 condemned message(s) could not be quarantined and stay '
                      'on the server; the next run tries again.', r.errors())
        commands = [c for c in server.commands() if c not in ('QUIT', 'RSET')]
        self.assertEqual(commands[-1], 'RETR 2')
        self.assertNotIn('DELE 2', commands)
        self.assertFalse(server.deleted())
        self.assertEqual(os.listdir(os.path.join(q, 'tmp')), [])

    def test_a_transfer_that_keeps_coming_outlasts_the_timeout(self):
        # 1.5 MB in 16 pieces 0.2 s apart: over 3 s, with TIMEOUT 2.
        big = SPAM % 2 + ('x' * 998 + '\r\n') * 1500
        retr2 = '+OK\r\n' + big.replace('\r\n.', '\r\n..') + '.\r\n'
        size = len(retr2) // 16 + 1
        server = self.fake_server({'messages': [WANTED, big], 'capa': ['TOP'],
                                   'replies': {'RETR 2': [retr2[i:i + size]
                                                          for i in range(0, len(retr2), size)]}})
        q = self.path('q')
        started = time.monotonic()
        r = self.pollensift('DENY = "^Subject: cheap"\nTIMEOUT = 2\nQUARANTINE = "%s"\n' % q +
                            account('jo', 'pw', server.port))
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertGreater(time.monotonic() - started, 3)  # the transfer did outlast TIMEOUT
        self.assertEqual(server.deleted(), [2])
        self.assertEqual(difference([m for _, m in held(q)], [normalised(big.encode())]), '')


class QuarantineFolder(PollensiftTest):
    """Which folder may be the quarantine: one that pollensift made (with its missing parents) or
    adopts, private to the user; never the home directory, a Maildir of real mail, or a folder
    whose parts are links elsewhere. A refused one gets no message and loses no file."""

    def setUp(self):
        super().setUp()
        self.home = self.path('home')
        os.mkdir(self.home, 0o755)
        saved = os.environ.get('HOME')
        os.environ['HOME'] = self.home
        self.addCleanup(lambda: os.environ.__setitem__('HOME', saved) if saved is not None
                        else os.environ.pop('HOME'))

    def test_the_readme_quarantine_is_made_with_its_parents(self):
        server = self.fake_server({'messages': [WANTED, SPAM % 2], 'capa': ['TOP']})
        rc = ('DENY = "^Subject: cheap"\nQUARANTINE = "~/.pollensift/quarantine"\n' +
              account('jo', 'pw', server.port))
        r = self.pollensift(rc, '--check')
        self.assertEqual(r.code, 0, r.out)
        self.assertFalse(os.path.exists(os.path.join(self.home, '.pollensift')))
        r = self.pollensift(rc)
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertEqual(server.deleted(), [2])
        q = os.path.join(self.home, '.pollensift', 'quarantine')
        self.assertEqual(len(held(q)), 1)
        for folder in (os.path.dirname(q), q):
            self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700, folder)
        self.assertTrue(os.path.isfile(os.path.join(q, '.pollensift-quarantine')))

    def test_a_folder_that_is_no_quarantine_is_refused_and_left_alone(self):
        old = time.time() - 40 * DAY
        # The user's real mail, old enough for QUARANTINE_DAYS.
        maildir = os.path.join(self.home, 'Maildir')
        for sub in ('tmp', 'new', 'cur'):
            os.makedirs(os.path.join(maildir, sub))
        real = os.path.join(maildir, 'cur', '1700000000.M1P1Q1.host:2,S')
        with open(real, 'w') as f:
            f.write('Subject: real mail\n\nkeep me\n')
        os.utime(real, (old, old))
        os.mkdir(os.path.join(self.home, 'tmp'))
        # A quarantine whose new/ leads into another user's folder.
        elsewhere = self.path('elsewhere')
        os.mkdir(elsewhere)
        linked = self.path('linked')
        for sub in ('tmp', 'cur'):
            os.makedirs(os.path.join(linked, sub))
        os.symlink(elsewhere, os.path.join(linked, 'new'))
        cases = (
            ('~/Maildir', "'%s' is a folder that pollensift did not make: '%s' is no message that "
             "it stored." % (maildir, real)),
            ('~/$UNSET_FOR_THIS_TEST', "'%s/' is the home directory." % self.home),
            (linked, "'%s/new' is a symbolic link." % linked),
        )
        for path, why in cases:
            with self.subTest(path):
                server = self.fake_server({'messages': [WANTED, SPAM % 2], 'capa': ['TOP']})
                rc = ('DENY = "^Subject: cheap"\nQUARANTINE = "%s"\nQUARANTINE_DAYS = 1\n' % path +
                      account('jo', 'pw', server.port))
                r = self.pollensift(rc, '--check')
                self.assertEqual(r.code, 255)
                self.assertIn('Error: The quarantine cannot be used: %s; a run without -t deletes '
                              'no message.' % why[:-1], r.out.splitlines())
                r = self.pollensift(rc)
                self.assertEqual(r.code, 255)
                self.assertIn('pollensift: Error: The quarantine cannot be used: %s No message of '
                              'this account is deleted.' % why, r.errors())
                self.assertIn('pollensift: Warning: The quarantine could not be cleaned up: %s'
                              % why, r.out.splitlines())
                self.assertNotIn('DELE 2', server.commands())
                self.assertTrue(os.path.exists(real))
                self.assertTrue(os.path.isdir(os.path.join(self.home, 'tmp')))
                self.assertEqual(os.listdir(elsewhere), [])
                self.assertFalse(os.path.exists(os.path.join(maildir, '.pollensift-quarantine')))

    def test_release_remove_takes_the_message_out(self):
        server = self.fake_server({'messages': [WANTED, SPAM % 2], 'capa': ['TOP']})
        q = self.path('q')
        rc = 'DENY = "^Subject: cheap"\nQUARANTINE = "%s"\n' % q + account('jo', 'pw', server.port)
        self.assertEqual(self.pollensift(rc).code, 0)
        name = 'new/' + os.listdir(os.path.join(q, 'new'))[0]
        r = self.pollensift(rc, '--release', '--remove', name)
        self.assertEqual((r.code, r.err), (0, ''))
        self.assertIn('Subject: cheap pills\n', r.out)
        self.assertEqual(os.listdir(os.path.join(q, 'new')), [])
        # A file outside the quarantine is released, and stays.
        outside = self.path('saved.eml')
        with open(outside, 'w') as f:
            f.write('X-Pollensift-Verdict: x (a@b, 2026-01-01 10:00)\nSubject: s\n\n')
        r = self.pollensift(rc, '--release', '--remove', outside)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), ["pollensift: Error: Could not remove a released message: '%s' "
                                      "is no message of the quarantine; it stays where it is."
                                      % outside])
        self.assertTrue(os.path.exists(outside))
        r = self.pollensift(rc, '--remove')
        self.assertEqual(r.code, 255)
        self.assertIn('--remove takes released messages out of the quarantine: it goes with '
                      '--release.', r.err)


if __name__ == '__main__':
    unittest.main()
