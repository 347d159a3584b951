"""--judge and --check through the built binary: saved mail judged offline must get the verdicts
that a live test-mode run against Dovecot gives the same messages, and the configuration check
shows what is configured without contacting a server, running a command or showing a secret."""

import os
import re
import socket
import subprocess
import unittest

from harness import BIN, STAMP, DovecotTest, PollensiftTest, account, fixture_mail

FIXTURES = ['01-meeting.eml', '02-invoice.eml', '03-pills.eml', '04-lottery.eml',
            '05-newsletter.eml', '06-bulk-long-header.eml']
MAIL = [fixture_mail(name).replace(b'\r\n', b'\n') for name in FIXTURES]
# A body line that an mbox must escape, and the same Message-ID as the pills message.
FROM_LINE = (b'From: "Best Pharmacy" <offers@cheap-meds.example>\nSubject: again\n'
             b'Message-ID: <9f8e7d6c5b4a@cheap-meds.example>\n\nFrom the desk of\n>From here\n')
MESSAGES = MAIL + [FROM_LINE]
BULK_SIZE = len(MAIL[5]) + MAIL[5].count(b'\n')  # as LIST counts it: CR LF line ends

RULES = ('DEL_DUPLICATES = "yes"\nDENY = "^Subject:.*cheap pills"\nALLOW = "^From:.*ann.baker"\n'
         'SCORE 60 = "^Subject:.*winner"\nSCORE 50 = "^From:.*lotto"\nDENY <> "^Date:"\n')
VERDICT = re.compile(r'^pollensift: (Deny|Allow|Pass|Score): ')


def verdicts(out):
    return [line for line in out.splitlines() if VERDICT.match(line)]


def mbox(messages):
    text = b''
    for m in messages:
        body = re.sub(rb'(?m)^(>*From )', rb'>\1', m)
        text += b'From sender@example.org Thu Mar  9 07:00:00 2023\n' + body.rstrip(b'\n') + b'\n\n'
    return text


def run(args, stdin=None):
    p = subprocess.run([BIN] + args, input=stdin, capture_output=True, timeout=60)
    return (p.returncode, STAMP.sub('', p.stdout.decode('latin-1')),
            STAMP.sub('', p.stderr.decode('latin-1')))


class JudgeLikeARun(DovecotTest):
    USERS = {'judged': 'pw'}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for message in MESSAGES:
            cls.server.deliver('judged', message)

    def test_maildir_mbox_and_standard_input_get_the_verdicts_of_a_live_run(self):
        maildir = os.path.join(self.server.root, 'mail', 'judged', 'Maildir')
        with open(self.path('mbox'), 'wb') as f:
            f.write(mbox(MESSAGES))
        # The size limit falls on the largest message: exact sizes decide its verdict.
        for limit in (BULK_SIZE - 1, BULK_SIZE):
            rc = RULES + 'MAXSIZE_DENY = %d\n' % limit
            live = self.pollensift(rc + account('judged', 'pw', self.server.port), '-t', '-v', '5')
            self.assertEqual(live.code, 0, live.err)
            expected = verdicts(live.out)
            self.assertEqual(len([l for l in expected if 'Maxsize_Deny' in l]),
                             1 if limit < BULK_SIZE else 0)
            self.assertEqual(len([l for l in expected if '[Duplicate]' in l]), 1)
            summary = ('pollensift: Judged 7 message(s): %s would be deleted (1 duplicate, %s1 '
                       'deny rule, 1 score), %s kept.'
                       % (('4', '1 Maxsize_Deny, ', '3') if limit < BULK_SIZE else ('3', '', '4')))
            for path in (maildir, self.path('mbox')):
                with self.subTest(limit=limit, path=path):
                    r = self.pollensift(rc, '-v', '5', '--judge', path)
                    self.assertEqual((r.code, r.err), (0, ''))
                    self.assertEqual(verdicts(r.out), expected)
                    self.assertEqual(r.out.splitlines()[-1], summary)
                    self.assertEqual(r.log, '', 'no log file is written')

            # One message on standard input, then the Maildir in the same run: its two copies
            # of that message's Message-ID are now duplicates.
            pills = [l for l in expected if '"^Subject:.*cheap pills" matches' in l]
            r = self.pollensift(rc, '-v', '5', '--judge', '-', stdin=MAIL[2])
            self.assertEqual((r.code, verdicts(r.out)), (0, pills))
            r = self.pollensift(rc, '-v', '5', '--judge', '-', maildir, stdin=MAIL[2])
            self.assertEqual(r.code, 0)
            self.assertEqual(verdicts(r.out)[0], pills[0])
            self.assertEqual(len([l for l in verdicts(r.out) if '[Duplicate]' in l]), 2)
        self.assertEqual(len(self.server.messages('judged')), len(MESSAGES))


class Judge(PollensiftTest):
    def write(self, name, data):
        with open(self.path(name), 'wb') as f:
            f.write(data)
        return self.path(name)

    def test_messages_that_cannot_be_judged_are_named_and_the_rest_is_judged(self):
        bad_id = self.write('bad-id.eml', b'Message-ID: 12345@example.org\nFrom: a@b\n'
                                          b'Subject: no brackets\n\nbody\n')
        pills = self.write('pills.eml', MAIL[2])
        long_header = self.write('long.eml', b'X-Long: ' + b'x' * (4 << 20) + b'\n\nbody\n')
        envelope = self.write('envelope.eml', b'Subject: a\nFrom someone Mon Mar  6\n\nbody\n')
        os.mkdir(self.path('plain'))
        r = self.pollensift(RULES, '--judge', self.path('missing'), bad_id, self.path('plain'),
                            long_header, pills, envelope)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.err.splitlines(), [
            'pollensift: Error: Could not read %s: No such file or directory.' % self.path('missing'),
            'pollensift: Error: Could not read %s: a directory without cur/ or new/, so not a '
            'Maildir.' % self.path('plain'),
            'pollensift: Error: The header of message 2 (%s) is longer than 4194304 bytes; it is '
            'not judged.' % long_header,
            # In words, not in the grammar's token names.
            'pollensift: Error: Parser reported syntax error: a line that begins with "From " and '
            'has no colon is an envelope line, not a header field.',
            'pollensift: Error: Parsing the header of message 4 failed.',
        ])
        # The message of the wrong Message-ID is judged all the same (it has no Date).
        self.assertEqual(r.out.splitlines()[-1], 'pollensift: Judged 4 message(s): 2 would be '
                                                 'deleted (1 deny rule, 1 negative deny rule), '
                                                 '0 kept, 2 not judged.')

    def test_a_malformed_message_id_is_judged_but_marks_no_duplicate(self):
        bad_id = self.write('bad-id.eml', b'Message-ID: 12345@example.org\nFrom: a@b\n'
                                          b'Subject: no brackets\nDate: today\n\nbody\n')
        r = self.pollensift(RULES, '--judge', bad_id, bad_id)
        self.assertEqual((r.code, r.err), (0, ''))
        # A warning for each message, from verbosity 4.
        loud = self.pollensift(RULES, '-v', '4', '--judge', bad_id, bad_id)
        self.assertEqual(loud.err, '')
        self.assertEqual([l for l in loud.out.splitlines() if 'wrong form' in l], [
            'pollensift: Warning: Message %d of %s (From: a@b, Subject: no brackets) has a '
            'Message-ID of the wrong form; -i (--ignore-time-stamps) accepts such IDs.'
            % (n, bad_id) for n in (1, 2)])
        self.assertEqual(r.out.splitlines()[-1], 'pollensift: Judged 2 message(s): 0 would be '
                                                 'deleted, 2 kept.')
        # With -i the ID is accepted, and the second copy is a duplicate.
        ok = self.pollensift(RULES, '-i', '--judge', bad_id, bad_id)
        self.assertEqual((ok.code, ok.err), (0, ''))
        self.assertEqual(ok.out.splitlines()[-1], 'pollensift: Judged 2 message(s): 1 would be '
                                                  'deleted (1 duplicate), 1 kept.')

    def test_no_password_command_runs_and_a_rule_command_is_named(self):
        pills = self.write('pills.eml', MAIL[2])
        marker = self.path('token-helper-ran')
        rc = ('DENY = "^Subject:.*`echo cheap\' pills"\n'
              'SERVER = "127.0.0.1"\nUSER = "jo"\nPASS = "`touch %s; echo tok\'"\n'
              'PROTOCOL = "POP3/SSL"\nPORT = 995\n' % marker)
        r = self.pollensift(rc, '--judge', pills)
        self.assertEqual(r.err, "pollensift: Warning: The deny rule in line 2 of your main rcfile "
                                "'%s' runs the command `echo cheap' and takes the first line it "
                                "prints into the rule.\n" % self.path('rc'))
        # The rule got the command's output: the message is deleted by it.
        self.assertEqual((r.code, r.out.splitlines()[-1]),
                         (0, 'pollensift: Judged 1 message(s): 1 would be deleted (1 deny rule), '
                             '0 kept.'))
        self.assertFalse(os.path.exists(marker), '--judge ran the PASS command')
        # A run still runs it, and names the rule the same way.
        r = self.pollensift(rc.replace('PORT = 995', 'PORT = 1'), '-t')
        self.assertTrue(os.path.exists(marker))
        self.assertIn("pollensift: Warning: The deny rule in line 2 ", r.err)

    def test_a_maildir_file_that_cannot_be_read_is_named_and_the_rest_is_judged(self):
        maildir = self.path('md')
        for sub in ('cur', 'new'):
            os.makedirs(os.path.join(maildir, sub))
        with open(os.path.join(maildir, 'cur', '1'), 'wb') as f:
            f.write(MAIL[2])
        # Root reads a file of any mode; this one fails at its first read, as a bad disk would.
        os.symlink('/proc/self/mem', os.path.join(maildir, 'cur', '2'))
        with open(os.path.join(maildir, 'new', '3'), 'wb') as f:
            f.write(MAIL[0])
        r = self.pollensift(RULES, '--judge', maildir)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.err, 'pollensift: Error: Could not read %s: read error.\n'
                         % os.path.join(maildir, 'cur', '2'))
        self.assertEqual(r.out.splitlines()[-1], 'pollensift: Judged 2 message(s): 1 would be '
                                                 'deleted (1 deny rule), 1 kept.')

    def test_usage_errors(self):
        rows = [
            (['--judge'], 'pollensift: Error: --judge needs at least one PATH: a message file, a '
                          'Maildir, an mbox file, or - for standard input.\n'),
            (['--judge', 'x', '--check'], 'pollensift: Error: --check and --judge cannot be '
                                          'combined.\n'),
            (['--release', 'x', '--quarantine'], 'pollensift: Error: --quarantine and --release '
                                                 'cannot be combined.\n'),
            (['--release'], 'pollensift: Error: --release needs at least one FILE: a message file '
                            'that --quarantine lists.\n'),
        ]
        for args, message in rows:
            with self.subTest(args=args):
                code, out, err = run(args)
                self.assertEqual((code, out), (255, ''))
                self.assertEqual(err, message + "Try '%s --help' for more information.\n" % BIN)


class Check(PollensiftTest):
    def setUp(self):
        super().setUp()
        # A server that must not be contacted.
        self.listener = socket.socket()
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(1)
        self.listener.settimeout(0)
        self.addCleanup(self.listener.close)
        self.port = self.listener.getsockname()[1]
        # The rc files these tests write are readable by others, which draws the warning.
        self.addCleanup(os.umask, os.umask(0o022))

    def assertNotContacted(self):
        with self.assertRaises(BlockingIOError):
            self.listener.accept()

    def expected(self, user, headers, commands, verdict='The configuration is usable.'):
        return ('Configuration of %s (no server contacted):\n' % self.path('rc') +
                'Accounts: 3\n'
                '  Account 1: SERVER "127.0.0.1", PORT %d, PROTOCOL APOP, USER %s, login APOP, '
                'PASS *****\n' % (self.port, user) +
                '  Account 2: SERVER "pop.example.org", PORT 110, PROTOCOL POP3, USER "ann", '
                'login USER/PASS, PASS *****\n'
                '  Account 3: SERVER "pop.example.org", PORT 110, PROTOCOL POP3/STLS, '
                'USER "bo", login AUTH XOAUTH2, PASS *****\n'
                '    TLS_FINGERPRINT ' + 'ab' * 32 + '\n'
                'Settings:\n'
                '  LOGFILE = "%s"\n' % self.path('log') +
                '  SHOW_HEADERS = %s\n' % headers +
                '  STATEFILE = "%s"\n' % self.path('state') +
                '  QUARANTINE = (none)\n'
                '  QUARANTINE_DAYS = 30\n'
                '  TEST = "yes"\n'
                '  VERBOSE = 3\n'
                '  TIMEOUT = 30\n'
                '  JOBS = 1\n'
                '  HIGHSCORE = 70\n'
                '  MAXLENGTH = 0\n'
                '  MAXSIZE_ALLOW = 0\n'
                '  MAXSIZE_DENY = 0\n'
                '  MAXSIZE_SCORE 10 = 5000\n'
                '  DEL_DUPLICATES = "no"\n'
                '  PIPELINING = "no"\n'
                '  NORMAL = "yes"\n'
                '  REG_CASE = "no" (for rules after the last REG_CASE)\n'
                '  REG_TYPE = "extended"\n'
                '  --ignore-time-stamps: off\n'
                '  --skip-ssl-verify: off\n'
                '  --return-value: off\n'
                'Rules: 1 allow (0 negative), 2 deny (1 negative), 1 score (0 negative), '
                'all compiled.\n'
                + commands +
                'Warning: Account 2 sends its password unencrypted (PROTOCOL POP3); prefer '
                'POP3/SSL.\n'
                + verdict + '\n')

    def test_accounts_settings_and_rules_with_secrets_hidden(self):
        marker = self.path('ran')
        # A command in a file name is shell syntax; a check does not run it either.
        rc = ('SHOW_HEADERS = "%s$(touch %s-too)"\n' % (self.path('headers'), marker) +
              'STATEFILE = "%s"\nPIPELINING = "no"\n' % self.path('state') +
              'TEST = "yes"\nHIGHSCORE = 70\nMAXSIZE_SCORE 10 = 5000\nNORMAL = "yes"\n'
              'REG_TYPE = "extended"\nALLOW = "^From:.*friend"\nDENY = "^Subject: (a|b)"\n'
              'DENY <> "^Date:"\nSCORE 30 = "x"\n'
              'SERVER = "127.0.0.1"\nUSER = "`touch %s; echo jo\'"\nPASS = "s3cret"\n'
              'PROTOCOL = "APOP"\nPORT = %d\n'
              'SERVER = "pop.example.org"\nUSER = "ann"\nPASS = "pw"\nPROTOCOL = "POP3"\n'
              'PORT = 110\n'
              'USER = "bo"\nPASS = "token"\nPROTOCOL = "POP3/STLS"\nAUTH = "xoauth2"\n'
              'TLS_FINGERPRINT = "%s"\nPORT = 110\n' % (marker, self.port, ':'.join(['AB'] * 32)))
        rows = [
            (['--check'], '(command, not run)', '(command, not run)',
             'Commands not run: 2; --check-commands runs them.\n', False),
            (['-n'], '(command, not run)', '(command, not run)',
             'Commands not run: 2; --check-commands runs them.\n', False),
            (['--check-commands'], '(command output, hidden)', '"%s"' % self.path('headers'),
             'Backquoted commands run: 1; the values they gave are hidden.\n', True),
        ]
        for args, user, headers, commands, ran in rows:
            with self.subTest(args=args):
                r = self.pollensift(rc, *args, mode=0o644)
                # The warnings of the rc file itself come first, as in a run.
                self.assertEqual((r.code, r.err), (0, (
                    "pollensift: Warning: The rcfile '{0}' holds a password but other users can "
                    "read or change it (mode 0644); protect it with: chmod 600 '{0}'\n"
                    .format(self.path('rc')))))
                self.assertEqual(r.out, self.expected(user, headers, commands))
                self.assertNotIn('s3cret', r.out)
                self.assertNotIn('token', r.out)
                self.assertEqual((os.path.exists(marker), os.path.exists(marker + '-too')),
                                 (ran, ran))
                for made in (marker, marker + '-too'):
                    if os.path.exists(made):
                        os.remove(made)
                self.assertEqual(r.log, '')
                self.assertNotContacted()

    def test_an_include_named_by_a_command_is_not_checked_and_no_error(self):
        with open(self.path('accounts.rc'), 'w') as f:
            f.write('SERVER = "127.0.0.1"\nUSER = "jo"\nPASS = "pw"\nPROTOCOL = "POP3"\n'
                    'PORT = %d\n' % self.port)
        os.chmod(self.path('accounts.rc'), 0o600)
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\nINCLUDE=$(pwd)/accounts.rc\n' % self.path('log'))
        os.chmod(rc, 0o600)

        def check(option):
            p = subprocess.run([BIN, '-M', rc, option], capture_output=True, text=True,
                               timeout=60, cwd=self.dir.name)
            return p.returncode, p.stdout, p.stderr

        code, out, err = check('--check')
        self.assertEqual((code, err), (0, ''))
        self.assertEqual(out.splitlines()[1], 'Accounts: 0')
        self.assertEqual(out.splitlines()[-3:], [
            'Warning: No account is configured; a run checks nothing.',
            'Warning: INCLUDE=$(pwd)/accounts.rc is not checked: its name needs a command, which '
            'a check does not run (--check-commands reads it).',
            'The configuration is usable.'])
        # With the commands run, the file is read as a run reads it.
        code, out, err = check('--check-commands')
        self.assertEqual((code, err), (0, ''))
        self.assertIn('Accounts: 1\n  Account 1: SERVER "127.0.0.1", PORT %d, ' % self.port, out)
        self.assertNotIn('not checked', out)
        self.assertNotContacted()

    def test_rules_left_to_the_c_library_are_named(self):
        r = self.pollensift('REG_TYPE = "extended"\nDENY = "^Subject: x"\nDENY = "(a)\\1"\n',
                            '--check')
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('Rules matched by the C library, on the first 2048 bytes of each line: 1\n'
                      '  deny rule 2 "(a)\\1": a back-reference.\n', r.out)

    def test_files_a_run_could_not_use_are_errors(self):
        d = self.dir.name
        with open(self.path('file'), 'w') as f:
            f.write('not a directory\n')
        os.makedirs(self.path('q/new'))
        os.rmdir(self.path('q/new'))
        with open(self.path('q/new'), 'w') as f:
            f.write('')
        account = ('SERVER = "127.0.0.1"\nUSER = "jo"\nPASS = "x"\nPROTOCOL = "POP3/SSL"\n'
                   'TLS_CA_FILE = "%s/ca.pem"\nPORT = %d\n' % (d, self.port))
        rows = [
            (['-L', '%s/none/log' % d],
             "Error: The log file '{0}/none/log' cannot be made: '{0}/none' does not exist; a "
             "run stops with \"Could not open log file '{0}/none/log' for writing.\"".format(d)),
            (['-L', '%s/file/log' % d],
             "Error: The log file '{0}/file/log' cannot be examined: Not a directory; a run "
             "stops with \"Could not open log file '{0}/file/log' for writing.\"".format(d)),
            ('STATEFILE = "%s/none/state"\n' % d,
             "Error: The state file '{0}/none/state' cannot be made: '{0}/none' does not exist; "
             "a run cannot keep its state there.".format(d)),
            ('STATEFILE = "%s"\n' % d,
             "Error: The state file '%s' is a directory; a run cannot keep its state there." % d),
            ('QUARANTINE = "%s/file"\n' % d,
             "Error: The quarantine cannot be used: '%s/file' is not a directory; a run without "
             "-t deletes no message." % d),
            ('QUARANTINE = "%s/file/q"\n' % d,
             "Error: The quarantine cannot be used: '%s/file' is not a directory; a run without "
             "-t deletes no message." % d),
            ('QUARANTINE = "%s/q"\n' % d,
             "Error: The quarantine cannot be used: '%s/q/new' is not a directory; a run without "
             "-t deletes no message." % d),
            (account, "Error: Account 1: The TLS_CA_FILE '%s/ca.pem' could not be loaded: No such "
             "file or directory; a run cannot connect to it." % d),
        ]
        if os.geteuid() != 0:
            # Root writes where permission bits say no, and so does a run as root.
            os.mkdir(self.path('ro'), 0o500)
            rows.append(('QUARANTINE = "%s/ro/q"\n' % d,
                         "Error: The quarantine cannot be used: '{0}/ro/q' cannot be made: "
                         "'{0}/ro' cannot be written: Permission denied; a run without -t "
                         "deletes no message.".format(d)))
        for rc, error in rows:
            with self.subTest(rc=rc):
                args = rc if isinstance(rc, list) else []
                r = self.pollensift('' if args else rc, *args, '--check')
                self.assertEqual((r.code, r.err), (255, ''))
                self.assertEqual([l for l in r.out.splitlines() if l.startswith('Error: ')],
                                 [error])
                self.assertEqual(r.out.splitlines()[-1], 'The configuration has errors.')
        # What a run makes when missing is not made by a check, and is no error: the quarantine
        # with its missing parents too.
        r = self.pollensift('QUARANTINE = "%s/new-parent/new-q"\nQUARANTINE_DAYS = 7\n' % d +
                            'STATEFILE = "%s/state"\n' % d, '-L', self.path('new.log'), '--check')
        self.assertEqual((r.code, r.err), (0, ''), r.out)
        self.assertIn('  STATEFILE = "{0}/state"\n  QUARANTINE = "{0}/new-parent/new-q"\n'
                      '  QUARANTINE_DAYS = 7\n'.format(d), r.out)
        self.assertEqual([os.path.exists(self.path(n)) for n in ('new-parent', 'state', 'new.log')],
                         [False, False, False])
        # A CA file with no certificate in it: the reason a connection would give.
        with open(self.path('ca.pem'), 'w') as f:
            f.write('no certificate\n')
        r = self.pollensift(account, '--check')
        self.assertEqual(r.code, 255)
        self.assertRegex(r.out, "Error: Account 1: The TLS_CA_FILE '%s/ca.pem' could not be "
                                "loaded: [a-z][^\n]+; a run cannot connect to it." % d)
        self.assertNotContacted()

    def test_a_configuration_that_a_run_would_stop_on(self):
        rc_path = self.path('rc')
        with open(rc_path, 'w') as f:
            f.write('SERVER = "127.0.0.1"\nUSER = "jo"\nPASS = "x"\nPROTOCOL = "POP3"\n'
                    'PORT = %d\n' % self.port)
        os.chmod(rc_path, 0o600)
        code, out, err = run(['-M', rc_path, '--check'])
        self.assertEqual((code, err), (255, ''))
        self.assertEqual(out.splitlines()[-2:], [
            'Error: No log file: a run stops with "Could not locate log file." (set LOGFILE or '
            'use -L).',
            'The configuration has errors.',
        ])
        self.assertNotContacted()
        # Errors in the rc file itself end the check as they end a run.
        with open(rc_path, 'a') as f:
            f.write('DENY = "[a"\n')
        code, out, err = run(['-M', rc_path, '-L', self.path('log'), '--check'])
        self.assertEqual((code, out), (255, ''))
        self.assertIn('Could not compile regular expression (deny).', err)


if __name__ == '__main__':
    unittest.main()
