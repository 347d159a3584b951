"""Living with the quarantine: --quarantine lists it, --release gives its messages back as an
mbox, and QUARANTINE_DAYS clears out old ones at the start of a live run."""

import mailbox
import os
import re
import time
import unittest

from harness import BIN, PollensiftTest, account, run_with_terminal

DAY = 24 * 3600

# (file in the quarantine, verdict field's reason, account, time, the message as the server had it)
HELD = [
    ('new/1765400700.M1P10Q1.host', 'deny rule "^Subject:.*casino"', 'alice@pop.example.org',
     '2026-12-10 21:05',
     b'From: Casino <win@casino.example>\nSubject: casino night\nTo: alice@example.org\n\n'
     b'From the desk of the manager:\n>From a quoted line\n>>From deeper\nFromage\n\nbye\n'),
    ('cur/1765300000.M2P10Q1.host:2,S', '"^Subject: (cheap|free)" matches "Subject: free (really)"',
     'bob@mail.example.com', '2026-12-11 08:00',
     b'From: =?UTF-8?Q?Bj=C3=B6rn?= <b@example.net>\nSubject: free (really)\n\t\x1b[2Jnow\n\n'
     b'From here on\n'),
    ('new/1765200000.M3P10Q1.host', 'Duplicate', 'alice@pop.example.org', '2026-12-09 06:30',
     b'Subject: no sender\n\nno final line end'),
]


def verdict_line(reason, who, when):
    return ('X-Pollensift-Verdict: %s (%s, %s)\n' % (reason, who, when)).encode()


def unquoted(message):
    """A message read from an mboxrd file, with its From-line quoting undone."""
    return re.sub(rb'(?m)^>(>*From )', rb'\1', message)


class Quarantine(PollensiftTest):
    def setUp(self):
        super().setUp()
        self.q = self.path('quarantine')
        for sub in ('tmp', 'new', 'cur'):
            os.makedirs(os.path.join(self.q, sub), mode=0o700)
        self.rc = 'QUARANTINE = "%s"\n' % self.q

    def put(self, name, text, age=0):
        file = os.path.join(self.q, name)
        with open(file, 'wb') as f:
            f.write(text)
        if age:
            os.utime(file, (time.time() - age, time.time() - age))
        return file

    def hold_all(self):
        for name, reason, who, when, message in HELD:
            self.put(name, verdict_line(reason, who, when) + message)

    def test_the_listing_shows_every_held_message_newest_first(self):
        self.hold_all()
        self.put('tmp/1765400800.M4P10Q1.host', verdict_line('Duplicate', 'a@b', '2026-12-12 00:00'))
        r = self.pollensift(self.rc, '--quarantine')
        self.assertEqual((r.code, r.err), (0, ''))
        # Encoded words are decoded (UTF-8 bytes, read here as Latin-1); a count ends the list.
        self.assertEqual(r.out, (
            '2026-12-11 08:00  bob@mail.example.com  From: Bj\xc3\xb6rn <b@example.net>  '
            'Subject: free (really) \\x1b[2Jnow  '
            '["^Subject: (cheap|free)" matches "Subject: free (really)"]  '
            'cur/1765300000.M2P10Q1.host:2,S\n'
            '2026-12-10 21:05  alice@pop.example.org  From: Casino <win@casino.example>  '
            'Subject: casino night  [deny rule "^Subject:.*casino"]  new/1765400700.M1P10Q1.host\n'
            '2026-12-09 06:30  alice@pop.example.org  From: (none)  Subject: no sender  '
            '[Duplicate]  new/1765200000.M3P10Q1.host\n'
            '3 message(s) in the quarantine.\n'))
        self.assertEqual(r.log, '')  # no log is written, no server contacted

    def test_the_listing_of_one_account_or_since_a_date_and_of_an_empty_quarantine(self):
        r = self.pollensift(self.rc, '--quarantine')
        self.assertEqual((r.code, r.out, r.err), (0, 'The quarantine is empty.\n', ''))
        self.hold_all()
        rows = [
            # (options, the files listed, the count line)
            (['--account=alice@POP.example.org'], [HELD[0][0], HELD[2][0]], '2 of 3'),
            (['--account', 'bob@mail.example.com'], [HELD[1][0]], '1 of 3'),
            (['--account=ALICE@pop.example.org'], [], '0 of 3'),
            (['--since=2026-12-10'], [HELD[1][0], HELD[0][0]], '2 of 3'),
            (['--since', '2026-12-11', '--account=alice@pop.example.org'], [], '0 of 3'),
            (['--since=2026-12-09'], [HELD[1][0], HELD[0][0], HELD[2][0]], '3 of 3'),
        ]
        for args, files, count in rows:
            with self.subTest(args=args):
                r = self.pollensift(self.rc, '--quarantine', *args)
                self.assertEqual((r.code, r.err), (0, ''))
                lines = r.out.splitlines()
                self.assertEqual([l.split('  ')[-1] for l in lines[:-1]], files)
                self.assertEqual(lines[-1], count + ' message(s) in the quarantine match.')
        rows = [
            (['--quarantine', '--since=10.12.2026'],
             "--since takes a date: YYYY-MM-DD, not '10.12.2026'."),
            (['--quarantine', '--since=2026-12-10x'],
             "--since takes a date: YYYY-MM-DD, not '2026-12-10x'."),
            (['--since=2026-12-10'], '--since is for --quarantine, which is missing.'),
            (['--check', '--account=a@b'],
             '--account names the account for --probe, which is missing.'),
        ]
        for args, error in rows:
            with self.subTest(args=args):
                r = self.pollensift(self.rc, *args)
                self.assertEqual((r.code, r.out), (255, ''))
                self.assertTrue(r.err.startswith('pollensift: Error: %s\n' % error), r.err)

    def test_hostile_fields_are_escaped_and_cut_in_the_listing(self):
        long_line = 'Subject: ' + 'x' * 70000
        reason = '"^Subject: x" matches "%s"' % long_line
        self.put('new/1.long', verdict_line(reason, 'jo@127.0.0.1', '2026-12-10 10:00') +
                 b'From: Long <l@example.org>\n' + long_line.encode() + b'\n\nbody\n')
        # Right-to-left override and an OSC 52 clipboard sequence, raw and as encoded words.
        self.put('new/2.bidi', verdict_line('Duplicate', 'jo@127.0.0.1', '2026-12-10 09:00') +
                 b'From: =?UTF-8?B?YWRtaW7igK5nbnAuZXhl?= <a@example.org>\n'
                 b'Subject: invoice\xe2\x80\xaefdp.exe \x1b]52;c;cm0gLXJmIH4=\x07 ' +
                 b'y' * 100 + b'\n\nbody\n')
        r = self.pollensift(self.rc, '--quarantine')
        self.assertEqual((r.code, r.err), (0, ''))
        lines = r.out.splitlines()
        self.assertEqual(len(lines), 3, r.out)
        self.assertNotRegex(r.out, '[\x00-\x08\x0b-\x1f\x7f]')
        self.assertNotIn('\xe2\x80\xae', r.out)  # U+202E as UTF-8 read as Latin-1
        # The verdict field quotes a line over 64 KiB: the account, From and Subject are found
        # after it, and the reason is cut.
        self.assertTrue(lines[0].startswith('2026-12-10 10:00  jo@127.0.0.1  From: Long '
                                            '<l@example.org>  Subject: ' + 'x' * 60 + '...  '
                                            '["^Subject: x" matches "Subject: '), lines[0][:300])
        self.assertTrue(lines[0].endswith('...]  new/1.long'), lines[0][-100:])
        self.assertLess(len(lines[0]), 400)
        self.assertEqual(lines[1], '2026-12-10 09:00  jo@127.0.0.1  '
                                   'From: admin\\xe2\\x80\\xaegnp.exe <a@example.org>  '
                                   'Subject: invoice\\xe2\\x80\\xaefdp.exe \\x1b]52;c;cm0gLXJmIH4=\\x07 '
                                   + 'y' * 21 + '...  [Duplicate]  new/2.bidi')

    def test_release_to_a_terminal_shows_control_characters_escaped(self):
        osc = b'\x1b]52;c;cm0gLXJmIH4=\x07'
        message = (b'From: a@example.org\nSubject: \xe2\x80\xae clip' + osc + b'\n\n'
                   b'body \x1b[2J\ttab\n')
        self.put('new/1.osc', verdict_line('Duplicate', 'jo@127.0.0.1', '2026-12-10 09:00') +
                 message)
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write(self.rc)
        os.chmod(rc, 0o600)
        code, received = run_with_terminal([BIN, '-M', rc, '--release', 'new/1.osc'], 30)
        self.assertEqual(code, 0, received)
        self.assertNotIn(b'\x1b', received)
        self.assertIn(b'Subject: \\xe2\\x80\\xae clip\\x1b]52;c;cm0gLXJmIH4=\\x07', received)
        self.assertIn(b'body \\x1b[2J\ttab', received)
        # To a pipe the bytes stay exact.
        r = self.pollensift(self.rc, '--release', 'new/1.osc')
        self.assertEqual(r.code, 0, r.err)
        self.assertIn(message, r.out.encode('latin-1'))

    def test_judging_the_quarantine_shows_what_the_rules_would_keep_now(self):
        self.hold_all()
        # Not held: a message without the field, which the count leaves out.
        self.put('new/1765000000.M9P10Q1.host', b'From: x@example.org\nSubject: casino too\n\nb\n')
        rc = self.rc + 'DENY = "^Subject:.*casino"\n'
        r = self.pollensift(rc, '--judge', self.q)
        self.assertEqual((r.code, r.err), (0, ''))
        # In the order judged: new/, then cur/.
        now_kept = [l for l in r.out.splitlines() if 'Now kept:' in l]
        self.assertEqual(now_kept, [
            'pollensift: Now kept: 2026-12-09 06:30  alice@pop.example.org  From: (none)  '
            'Subject: no sender  [Duplicate]  %s/new/1765200000.M3P10Q1.host' % self.q,
            'pollensift: Now kept: 2026-12-11 08:00  bob@mail.example.com  '
            'From: Bj\xc3\xb6rn <b@example.net>  Subject: free (really) \\x1b[2Jnow  '
            '["^Subject: (cheap|free)" matches "Subject: free (really)"]  '
            '%s/cur/1765300000.M2P10Q1.host:2,S' % self.q,
        ])
        self.assertTrue(r.out.endswith(
            'pollensift: Judged 4 message(s): 2 would be deleted (2 deny rule), 2 kept.\n'
            'pollensift: 2 of 3 quarantined message(s) would now be kept.\n'), r.out)
        # Below the default verbosity only the condemned are shown.
        r = self.pollensift(rc, '-v', '2', '--judge', self.q)
        self.assertNotIn('Now kept', r.out)
        self.assertNotIn('would now be kept', r.out)
        # Saved mail without the field gives no such line.
        r = self.pollensift(rc, '--judge', os.path.join(self.q, 'new', '1765000000.M9P10Q1.host'))
        self.assertEqual(r.out.splitlines()[-1],
                         'pollensift: Judged 1 message(s): 1 would be deleted (1 deny rule), 0 kept.')

    def test_a_quarantine_that_is_not_there_is_an_error(self):
        rows = [
            ('', 'pollensift: Error: No quarantine is configured: QUARANTINE = "PATH" in the '
                 'rcfile names one.\n'),
            ('QUARANTINE = "%s"\n' % self.path('none'),
             "pollensift: Error: Could not read the quarantine: '%s': No such file or directory.\n"
             % self.path('none')),
        ]
        for rc, error in rows:
            with self.subTest(rc=rc):
                r = self.pollensift(rc, '--quarantine')
                self.assertEqual((r.code, r.out, r.err), (255, '', error))

    def test_released_messages_are_the_originals_as_an_mbox(self):
        self.hold_all()
        files = [HELD[0][0], os.path.join(self.q, HELD[1][0]), 'new/gone', HELD[2][0]]
        r = self.pollensift(self.rc, '--release', *files)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.err, "pollensift: Error: Could not release 'new/gone': No such file or "
                                "directory.\n")
        mbox = r.out.encode('latin-1')
        with open(self.path('released'), 'wb') as f:
            f.write(mbox)
        box = mailbox.mbox(self.path('released'))
        self.addCleanup(box.close)
        released = [unquoted(box.get_bytes(key)) for key in box.keys()]
        self.assertEqual(len(released), 3, mbox)
        for (name, _, _, _, original), message in zip(HELD, released):
            with self.subTest(file=name):
                expected = original if original.endswith(b'\n') else original + b'\n'
                self.assertEqual(message.replace(b'\r\n', b'\n'), expected)
        for line in mbox.split(b'\n'):
            if line.startswith(b'From '):
                self.assertRegex(line, rb'^From MAILER-DAEMON [A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\d '
                                       rb'\d\d:\d\d:00 2026$')
        # Releasing leaves the files where they are.
        for name, *_ in HELD:
            self.assertTrue(os.path.exists(os.path.join(self.q, name)), name)

    def expiry_files(self):
        """Files of several ages; QUARANTINE_DAYS = 10 keeps those marked True."""
        files = {
            'new/1.M1P1Q1.host': (40 * DAY, False), 'cur/2.M2P2Q2.host:2,S': (20 * DAY, False),
            'new/3.M3P3Q3.host': (5 * DAY, True), 'cur/4.M4P4Q4.host:2,S': (DAY, True),
            'tmp/5.M5P5Q5.host': (2 * DAY, False), 'tmp/6.M6P6Q6.host': (60, True),
        }
        for name, (age, _) in files.items():
            self.put(name, verdict_line('Duplicate', 'jo@127.0.0.1', '2026-01-01 00:00'), age)
        # Files that pollensift did not write stay however old: the clean-up removes only its
        # own names with its field on the first line.
        self.put('.pollensift-quarantine', b'made by pollensift\n')
        foreign = {'new/old': verdict_line('Duplicate', 'jo@127.0.0.1', '2026-01-01 00:00'),
                   'cur/7.M7P7Q7.host:2,S': b'Subject: a client put this here\n\n'}
        for name, text in foreign.items():
            self.put(name, text, 40 * DAY)
            files[name] = (40 * DAY, True)
        return files

    def test_a_live_run_removes_what_is_older_than_quarantine_days(self):
        files = self.expiry_files()
        server = self.fake_server({'messages': []})
        rc = self.rc + 'QUARANTINE_DAYS = 10\n' + account('jo', 'pw', server.port)
        r = self.pollensift(rc)
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertIn('pollensift: Removed 2 message(s) older than 10 day(s) from the quarantine, '
                      'and 1 unfinished file(s) from its tmp/.\n', r.log)
        for name, (_, kept) in files.items():
            self.assertEqual(os.path.exists(os.path.join(self.q, name)), kept, name)

    def test_test_mode_and_the_offline_modes_remove_nothing(self):
        files = self.expiry_files()
        server = self.fake_server({'messages': []})
        rc = self.rc + 'QUARANTINE_DAYS = 10\n' + account('jo', 'pw', server.port)
        for args in (['-t'], ['--check'], ['--judge', self.q], ['--quarantine']):
            with self.subTest(args=args):
                r = self.pollensift(rc, *args)
                self.assertEqual(r.errors(), [], r.err)
                self.assertNotIn('Removed', r.out + r.log)
                for name in files:
                    self.assertTrue(os.path.exists(os.path.join(self.q, name)), name)

    def test_a_quarantine_that_cannot_be_cleaned_does_not_stop_the_run(self):
        server = self.fake_server({'messages': []})
        blocker = self.path('file')
        with open(blocker, 'w') as f:
            f.write('x')
        rc = 'QUARANTINE = "%s"\n' % blocker + account('jo', 'pw', server.port)
        r = self.pollensift(rc)
        self.assertIn("pollensift: Warning: The quarantine could not be cleaned up: '%s' is not a "
                      "directory.\n" % blocker, r.out)
        self.assertIn(' querying jo@127.0.0.1.\n', r.out)


if __name__ == '__main__':
    unittest.main()
