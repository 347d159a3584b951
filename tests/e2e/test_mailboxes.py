"""pollensift against a real POP3 server: a private Dovecot on a free loopback port."""

import hashlib
import os
import re
import signal
import subprocess
import unittest

from harness import BIN, STAMP, DovecotTest, account, fixture_mail, normalised

MEETING = fixture_mail('01-meeting.eml')
INVOICE = fixture_mail('02-invoice.eml')
PILLS = fixture_mail('03-pills.eml')
BULK = fixture_mail('06-bulk-long-header.eml')

DENY_PILLS = 'DENY = "^Subject:.*cheap pills"\n'
# Real mail is full of empty fields; the line after one is a field of its own.
EMPTY_CC = (b'Cc:\nFrom: Bob <bob@friend.example>\nSubject: cheap pills for the garden\n'
            b'Date: Tue, 07 Mar 2023 09:00:00 +0100\nMessage-ID: <cc1@friend.example>\n\nhi\n')
EMPTY_SUBJECT = (b'From: ann@example.org\nSubject:\nDate: Tue, 07 Mar 2023 09:01:00 +0100\n'
                 b'X-Keywords:\nMessage-ID: <s1@example.org>\n\nno subject\n')
# The Message-ID comes first: the notice still names From and Subject, which follow it.
MALFORMED_ID = (b'Message-ID: 12345@example.org\nFrom: someone@example.org\n'
                b'Subject: no angle brackets\x1b[2J\n\nbody\n')

# One mailbox per test, so no test sees another's messages.
USERS = {name: 'pw-' + name for name in (
    'login', 'plain', 'apop', 'empty', 'testmode', 'delete', 'first', 'second', 'headers',
    'dup1', 'dup2', 'malformed', 'emptyfield', 'summary', 'sigterm', 'negdeny', 'overlap',
    'beside', 'total1', 'total2', 'commented')}


class Mailboxes(DovecotTest):
    USERS = USERS

    def mailbox(self, user, *messages):
        for message in messages:
            self.server.deliver(user, message)
        return account(user, USERS[user], self.server.port)

    def test_wrong_password_skips_the_account_and_the_next_one_is_checked(self):
        rc = (account('login', 'wrong', self.server.port) +
              self.mailbox('plain', MEETING, INVOICE, PILLS))
        r = self.pollensift(DENY_PILLS + rc, '-t', '-r', '-v', '6')
        self.assertEqual(r.errors(), [
            'pollensift: Error: Error occurred while sending password to server.',
            # The server's own words, after the line of old.
            "pollensift: Error: The server replied: -ERR [AUTH] Authentication failed. "
            "(the user name, password or token was not accepted)",
            'pollensift: Error: Server login failure.',
            'pollensift: Error: Skipping account login@127.0.0.1 due to earlier errors.',
        ])
        first = r.out.split('querying plain@')[0]
        self.assertIn('Debugging: Wrote: PASS *****', first)
        self.assertNotIn('QUIT', first)
        self.assertIn('pollensift: Examining 3 message(s).', r.out)
        # Test mode: the second account leaves all 3 messages, and that is the exit status.
        self.assertEqual(r.code, 3)
        self.assertEqual(len(self.left('plain')), 3)

    def test_a_run_over_several_accounts_ends_with_their_total(self):
        self.server.deliver('total1', MEETING)
        self.server.deliver('total1', PILLS)
        for message in (INVOICE, PILLS, PILLS):
            self.server.deliver('total2', message)
        rc = (DENY_PILLS + account('total1', USERS['total1'], self.server.port) +
              account('login', 'wrong', self.server.port) +
              account('total2', USERS['total2'], self.server.port))
        total = ('pollensift: Total for 3 account(s): 5 message(s) examined, 3 would be deleted, '
                 '2 kept, 1 account(s) failed.\n')
        for jobs in ('1', '2'):
            with self.subTest(jobs=jobs):
                r = self.pollensift(rc, '-t', '-j', jobs)
                self.assertEqual(r.code, 255, r.err)
                # The last line of the run, on standard output and in the log.
                self.assertTrue(r.out.endswith(total), r.out)
                self.assertTrue(r.log.endswith(total), r.log)
        r = self.pollensift(rc, '-t', '-v', '2')
        self.assertNotIn('Total', r.out + r.log)
        # One account: its summary says it all.
        r = self.pollensift(DENY_PILLS + account('total1', USERS['total1'], self.server.port), '-t')
        self.assertNotIn('Total', r.out + r.log)
        # Live, with a quarantine: what left the servers is counted as stored.
        quarantine = 'QUARANTINE = "%s"\n' % self.path('quarantine')
        r = self.pollensift(quarantine + rc)
        self.assertEqual(r.code, 255, r.err)
        self.assertTrue(r.out.endswith(
            'pollensift: Total for 3 account(s): 5 message(s) examined, 3 deleted, 2 kept, '
            '3 quarantined, 1 account(s) failed.\n'), r.out)
        self.assertEqual(len(self.left('total1')) + len(self.left('total2')), 2)

    def test_apop_login(self):
        self.server.deliver('apop', MEETING)
        ok = self.pollensift(account('apop', USERS['apop'], self.server.port, 'APOP'), '-v', '6')
        self.assertEqual(ok.code, 0, ok.err)
        self.assertRegex(ok.out, r'Debugging: Wrote: APOP apop [0-9a-f]{32}\n')
        self.assertNotIn('PASS', ok.out)
        self.assertIn('pollensift: Examining 1 message(s).', ok.out)

        bad = self.pollensift(account('apop', 'wrong', self.server.port, 'APOP'))
        self.assertEqual(bad.code, 255)
        self.assertEqual(bad.errors(), [
            'pollensift: Error: APOP protocol initialisation error.',
            "pollensift: Error: The server replied: -ERR [AUTH] Authentication failed. "
            "(the user name, password or token was not accepted)",
            'pollensift: Error: Server login failure.',
            'pollensift: Error: Skipping account apop@127.0.0.1 due to earlier errors.',
        ])

    def test_empty_mailbox(self):
        r = self.pollensift(self.mailbox('empty'))
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.out, 'pollensift: 0.8.9 querying empty@127.0.0.1.\n'
                                'pollensift: Examining 0 message(s).\n'
                                'pollensift: Examined 0 message(s): 0 deleted, 0 kept.\n'
                                'pollensift: Summary for empty@127.0.0.1: 0 message(s) examined, '
                                '0 deleted, 0 kept.\n')
        self.assertEqual(r.log, r.out)

    def test_test_mode_deletes_nothing(self):
        rc = DENY_PILLS + self.mailbox('testmode', MEETING, PILLS)
        r = self.pollensift(rc, '-t', '-v', '6')
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('pollensift: Debugging: Simulating DELE command.\n', r.out)
        self.assertNotIn('DELE 2', r.out)
        self.assertEqual(self.left('testmode'), [normalised(MEETING), normalised(PILLS)])

    def test_condemned_messages_are_deleted_and_the_others_kept(self):
        rc = DENY_PILLS + 'MAXLENGTH = 8000\n' + self.mailbox('delete', MEETING, PILLS, INVOICE,
                                                                BULK)
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('Debugging: Wrote: DELE 2\n', r.out)
        self.assertIn('Debugging: Wrote: DELE 4\n', r.out)
        self.assertEqual(self.left('delete'), [normalised(MEETING), normalised(INVOICE)])

    def test_return_value_counts_what_is_left_on_both_servers(self):
        rc = (DENY_PILLS + self.mailbox('first', MEETING, PILLS, INVOICE) +
              self.mailbox('second', INVOICE, MEETING))
        r = self.pollensift(rc, '-r')
        self.assertEqual(r.errors(), [])
        self.assertEqual(r.code, 4)
        self.assertEqual(len(self.left('first')), 2)

    def test_show_headers_stores_every_fetched_header(self):
        store = self.path('headers')
        rc = ('SHOW_HEADERS = "%s"\n' % store + DENY_PILLS +
              self.mailbox('headers', MEETING, PILLS))
        r = self.pollensift(rc, '-t')
        self.assertEqual(r.code, 0, r.err)
        with open(store, 'rb') as f:
            stored = f.read()
        # Each TOP reply whole, status line and "." line included, then a newline.
        meeting_header = MEETING.split(b'\n\n', 1)[0].replace(b'\n', b'\r\n')
        pills_header = PILLS.split(b'\n\n', 1)[0].replace(b'\n', b'\r\n')
        self.assertEqual(stored, b'+OK\r\n' + meeting_header + b'\r\n\r\n.\r\n\n' +
                         b'+OK\r\n' + pills_header + b'\r\n\r\n.\r\n\n')

    def test_duplicates_across_two_mailboxes(self):
        rc = ('DEL_DUPLICATES = "yes"\n' + self.mailbox('dup1', MEETING, INVOICE) +
              self.mailbox('dup2', PILLS, MEETING))
        r = self.pollensift(rc)
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('Duplicate', r.out)
        self.assertEqual(len(self.left('dup1')), 2)
        self.assertEqual(self.left('dup2'), [normalised(PILLS)])

    def test_a_wanted_message_with_empty_fields_survives(self):
        # Without the allow rule the deny rule condemns message 1; without its Date field the
        # negative deny rule condemns message 3.
        rc = ('ALLOW = "^From:.*@friend\\.example"\n'
              'DENY_NOCASE = "^Subject:.*cheap pills"\nDENY <> "^Date:"\n' +
              self.mailbox('emptyfield', EMPTY_CC, PILLS, EMPTY_SUBJECT))
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('Debugging: Wrote: DELE 2\n', r.out)
        self.assertNotIn('DELE 1', r.out)
        self.assertNotIn('DELE 3', r.out)
        self.assertEqual(self.left('emptyfield'), [normalised(EMPTY_CC), normalised(EMPTY_SUBJECT)])

    def test_sigterm_mid_session_deletes_nothing(self):
        # Enough condemned mail that the verbose trace fills the pipe pollensift writes to: it then
        # waits in mid-session, with DELE sent for the messages before, until the signal comes.
        count = 300
        for n in range(count):
            self.server.deliver('sigterm', PILLS.replace(b'Message-ID: <', b'Message-ID: <%d.' % n))
        code, out = self.terminated_after_first_dele(
            DENY_PILLS + account('sigterm', USERS['sigterm'], self.server.port))
        self.assertEqual(code, 255)
        # No QUIT was sent, so the server has nothing to carry out once the connection drops.
        self.assertNotIn(b'Wrote: QUIT', out)
        # The line after the abort line counts the deletions decided: at least those sent, and
        # at most those whose Deny line was logged.
        undone = re.search(rb'\npollensift: Error: Program abort due to signal 15\.\n'
                           rb'pollensift: (\d+) deletion\(s\) logged for the interrupted account '
                           rb'are not carried out, since no QUIT was sent: the server keeps those '
                           rb'messages\.\n$', out)
        self.assertIsNotNone(undone, out[-300:])
        with open(self.path('log')) as f:
            logged = STAMP.sub('', f.read())
        self.assertTrue(logged.endswith(undone.group(0).decode()), logged[-300:])
        self.assertGreaterEqual(int(undone.group(1)), logged.count('Debugging: Wrote: DELE '))
        self.assertLessEqual(int(undone.group(1)), logged.count('pollensift: Deny: '))
        self.assertEqual(len(self.left('sigterm')), count, 'no QUIT, so the server deleted nothing')

    def test_a_mailbox_another_run_is_checking_is_skipped(self):
        for n in range(3):
            self.server.deliver('overlap', PILLS.replace(b'Message-ID: <', b'Message-ID: <o%d.' % n))
        self.server.deliver('overlap', MEETING)
        port = self.server.port
        rc = self.path('first.rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\n' % self.path('first.log') + DENY_PILLS +
                    account('overlap', USERS['overlap'], port))
        os.chmod(rc, 0o600)
        # The first run is held by a stop signal in the middle of its scan.
        first = subprocess.Popen([BIN, '-M', rc, '-v', '6'], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        self.addCleanup(lambda: first.poll() is None and (first.kill(), first.wait()))
        seen = b''
        while b'Wrote: DELE 1' not in seen:
            chunk = first.stdout.read1(4096)
            self.assertTrue(chunk, 'the first run ended before its first DELE')
            seen += chunk
        first.send_signal(signal.SIGSTOP)
        try:
            second = self.pollensift(DENY_PILLS + self.mailbox('beside', MEETING) +
                                     account('overlap', USERS['overlap'], port), timeout=60)
        finally:
            first.send_signal(signal.SIGCONT)
        out, err = first.communicate(timeout=60)
        # The lock lives in the user's own directory under /tmp, named by a digest of the mailbox.
        lock = '/tmp/pollensift-%d/%s.lock' % (os.geteuid(), hashlib.sha256(
            b'127.0.0.1\n%d\noverlap' % port).hexdigest())
        self.assertEqual(second.errors(), [
            "pollensift: Error: Another pollensift is checking this mailbox now (it holds the "
            "lock '%s'); this run skips it." % lock,
            'pollensift: Error: Skipping account overlap@127.0.0.1 due to earlier errors.'])
        self.assertEqual(second.code, 255)
        self.assertIn('querying beside@127.0.0.1.\npollensift: Examining 1 message(s).', second.out)
        self.assertNotIn('querying overlap@127.0.0.1.\npollensift: Examining', second.out)
        # The first run is undisturbed: every deletion it decided is carried out.
        self.assertEqual((first.returncode, err), (0, b''))
        self.assertIn(b'Examined 4 message(s): 3 deleted, 1 kept.', seen + out)
        self.assertEqual(self.left('overlap'), [normalised(MEETING)])
        # A run killed while it holds the lock leaves nothing behind that stops the next one.
        killed = subprocess.Popen([BIN, '-M', rc, '-v', '6'], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        seen = b''
        while b'Examining 1 message(s).' not in seen:
            chunk = killed.stdout.read1(4096)
            self.assertTrue(chunk, 'the run ended before its scan')
            seen += chunk
        killed.kill()
        killed.communicate()
        again = self.pollensift(DENY_PILLS + account('overlap', USERS['overlap'], port))
        self.assertEqual((again.code, again.errors()), (0, []))

    def test_deletion_by_a_negative_deny_rule_is_shown_at_level_2(self):
        rc = 'DENY <> "^X-Wanted:"\n' + self.mailbox('negdeny', MEETING)
        r = self.pollensift(rc, '-v', '2')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(len(r.out.splitlines()), 1, r.out)
        self.assertRegex(r.out, r'^pollensift: Deny: .* \[Negative deny rule "\^X-Wanted:" did not '
                                r'match\]\.\n$')
        self.assertEqual(self.left('negdeny'), [])

    def test_malformed_message_id_is_reported_and_the_scan_goes_on(self):
        # The second malformed message is spam: it is judged on all its fields like any other.
        malformed_pills = PILLS.replace(b'Message-ID: <', b'Message-ID: ', 1)
        self.assertNotEqual(malformed_pills, PILLS)
        rc = DENY_PILLS + self.mailbox('malformed', MEETING, MALFORMED_ID, PILLS, malformed_pills)
        r = self.pollensift(rc, '-v', '4')
        self.assertEqual(r.code, 0, r.err)
        # No longer an error: one warning a message, in the log, from verbosity 4.
        self.assertEqual(r.errors(), [])
        self.assertEqual([l for l in r.log.splitlines() if 'Message-ID' in l], [
            'pollensift: Warning: Message 2 (From: someone@example.org, Subject: no angle '
            'brackets\\x1b[2J) has a Message-ID of the wrong form; -i (--ignore-time-stamps) '
            'accepts such IDs.',
            'pollensift: Warning: Message 4 (From: "Best Pharmacy" <offers@cheap-meds.example>, '
            'Subject: Cheap pills, no prescription needed!!!) has a Message-ID of the wrong form; -i '
            '(--ignore-time-stamps) accepts such IDs.',
        ])
        self.assertIn('pollensift: Examined 4 message(s): 2 deleted, 2 kept.\n', r.out)
        self.assertEqual(self.left('malformed'), [normalised(MEETING), normalised(MALFORMED_ID)])
        # -i accepts such IDs: no line about them.
        self.server.deliver('malformed', malformed_pills)
        r = self.pollensift(rc, '-i', '-t')
        self.assertEqual((r.code, r.errors()), (0, []))
        self.assertNotIn('Message-ID', r.log)
        self.assertIn('pollensift: Examined 3 message(s): 1 would be deleted, 2 kept.\n', r.out)

    def test_a_message_id_with_comments_is_no_complaint(self):
        # RFC 5322 allows comments and blanks around the msg-id; the ID is what the brackets hold,
        # and a copy of the message is its duplicate. Nothing is said at any verbosity.
        commented = MEETING.replace(b'Message-ID: <', b'Message-ID: (relayed) <', 1).replace(
            b'>\n', b'> (added by postmaster@mta.example)\n', 1)
        self.assertNotEqual(commented, MEETING)
        r = self.pollensift('DEL_DUPLICATES = "yes"\n' +
                            self.mailbox('commented', MEETING, commented), '-v', '5', '-t')
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertNotIn('Message-ID of the wrong form', r.log)
        self.assertIn('Duplicate', r.log)

    def test_summary_lines_in_test_mode_and_live(self):
        rc = DENY_PILLS + self.mailbox('summary', MEETING, PILLS, INVOICE, PILLS)
        rows = [
            # (options, the lines at level 3 and below, messages left)
            (['-t'], ['Test mode: messages are judged, none will be deleted.',
                      '0.8.9 querying summary@127.0.0.1.', 'Examining 4 message(s).',
                      'Examined 4 message(s): 2 would be deleted, 2 kept.',
                      'Summary for summary@127.0.0.1: 4 message(s) examined, 2 would be deleted, '
                      '2 kept.'], 4),
            (['-t', '-v', '2'], [], 4),
            ([], ['0.8.9 querying summary@127.0.0.1.', 'Examining 4 message(s).',
                  'Examined 4 message(s): 2 deleted, 2 kept.',
                  'Summary for summary@127.0.0.1: 4 message(s) examined, 2 deleted, 2 kept.'], 2),
            ([], ['0.8.9 querying summary@127.0.0.1.', 'Examining 2 message(s).',
                  'Examined 2 message(s): 0 deleted, 2 kept.',
                  'Summary for summary@127.0.0.1: 2 message(s) examined, 0 deleted, 2 kept.'], 2),
        ]
        for options, lines, left in rows:
            with self.subTest(options=options):
                r = self.pollensift(rc, *options)
                self.assertEqual(r.code, 0, r.err)
                shown = [l[len('pollensift: '):] for l in r.out.splitlines()
                         if not l.startswith('pollensift: Deny: ')]
                self.assertEqual(shown, lines)
                self.assertEqual(len(self.left('summary')), left)


if __name__ == '__main__':
    unittest.main()
