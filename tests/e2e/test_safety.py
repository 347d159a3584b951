"""The safety valves: MAX_DELETE holds back every deletion of a mailbox that its rules would mostly
empty, against the scripted server (pipelined and one command at a time) and a real Dovecot; deny
rules that condemn an ordinary header are refused; an rc file of another user that holds a secret
or a command is not read; settings that do nothing where they stand are named; a short password
is hidden only where it stands as a word."""

import os
import subprocess
import unittest

from harness import BIN, DovecotTest, PollensiftTest, account


def message(number, subject):
    return ('From: ann%d@example.org\r\nSubject: %s\r\nMessage-ID: <%d@example.org>\r\n'
            % (number, subject, number))


def mailbox(condemned, kept, other=0):
    """condemned messages with "cheap" in their Subject, other with "lottery", then kept ones."""
    subjects = ['cheap pills'] * condemned + ['lottery win'] * other + ['minutes'] * kept
    return [message(i + 1, s) for i, s in enumerate(subjects)]


RULES = 'DENY = "^Subject: cheap"\nDENY = "^Subject: lottery"\n'
PIPELINED = ['TOP', 'USER', 'PIPELINING']
REFUSED = ('pollensift: Error: MAX_DELETE = 50 holds back every deletion: 15 of the mailbox\'s '
           '20 messages (75%) are condemned, 12 of them by the deny rule "^Subject: cheap"; none '
           'is deleted.')
FAILED = ['pollensift: Error: Scanning of mail account failed.',
          'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.']


class MaxDeleteOnFakeServer(PollensiftTest):
    def run_on(self, messages, limit, capa, *options, extra=''):
        scenario = {'messages': messages}
        if capa:
            scenario['capa'] = capa
        server = self.fake_server(scenario)
        rc = RULES + extra + ('MAX_DELETE = %d\n' % limit if limit is not None else '')
        return server, self.pollensift(rc + account('jo', 'pw', server.port), *options)

    def test_a_mailbox_mostly_condemned_loses_nothing(self):
        for capa in (None, PIPELINED):
            with self.subTest(pipelined=bool(capa)):
                server, r = self.run_on(mailbox(12, 5, other=3), 50, capa)
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), [REFUSED] + FAILED)
                self.assertIn('Examined 20 message(s): 0 deleted, 20 kept.', r.out)
                commands = server.commands()
                self.assertFalse([c for c in commands if c.startswith(('DELE', 'RETR'))], commands)
                self.assertEqual(commands[-1], 'QUIT')
                self.assertEqual(server.deleted(), [])
                server.stop()

    def test_deletions_within_the_limit_go_out_after_the_last_verdict(self):
        # 10 of 20 is 50%, not more: all ten go, each DELE after every TOP.
        for capa in (None, PIPELINED):
            with self.subTest(pipelined=bool(capa)):
                server, r = self.run_on(mailbox(10, 10), 50, capa)
                self.assertEqual((r.code, r.errors()), (0, []), r.err)
                commands = server.commands()
                dele = [c for c in commands if c.startswith('DELE')]
                self.assertEqual(dele, ['DELE %d' % n for n in range(1, 11)])
                self.assertLess(commands.index('TOP 20 0'), commands.index('DELE 1'))
                self.assertEqual(server.deleted(), list(range(1, 11)))
                server.stop()

    def test_where_the_limit_does_not_apply(self):
        # A mailbox of fewer than 10 messages, MAX_DELETE = 0, and none at all: no limit, and
        # the DELEs go out as the verdicts come.
        cases = [(mailbox(9, 0), 50), (mailbox(20, 0), 0), (mailbox(20, 0), None),
                 (mailbox(20, 0), 100)]
        for messages, limit in cases:
            with self.subTest(messages=len(messages), limit=limit):
                server, r = self.run_on(messages, limit, None)
                self.assertEqual((r.code, r.errors()), (0, []), r.err)
                self.assertEqual(server.deleted(), list(range(1, len(messages) + 1)))
                commands = server.commands()
                if limit != 100:
                    self.assertLess(commands.index('DELE 1'), commands.index('TOP 2 0'))
                server.stop()

    def test_test_mode_says_what_a_live_run_would_do(self):
        server, r = self.run_on(mailbox(12, 5, other=3), 50, PIPELINED, '-t')
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors()[0], REFUSED.replace(
            'holds back every deletion:', 'would hold back every deletion of a run without -t:')
            .replace('none is deleted.', 'none would be deleted.'))
        self.assertEqual(r.errors()[1:], FAILED)
        self.assertIn('Examined 20 message(s): 15 would be deleted, 5 kept.', r.out)
        self.assertEqual(server.deleted(), [])

    def test_no_message_is_quarantined_either(self):
        quarantine = self.path('q')
        server, r = self.run_on(mailbox(12, 5, other=3), 50, PIPELINED,
                                extra='QUARANTINE = "%s"\n' % quarantine)
        self.assertEqual(r.errors()[0], REFUSED)
        self.assertFalse([c for c in server.commands() if c.startswith(('DELE', 'RETR'))])
        self.assertEqual(os.listdir(os.path.join(quarantine, 'new')), [])

    def test_the_rc_file_takes_0_to_100(self):
        for value, error in [('101', 'MAX_DELETE must be from 0 to 100 percent, not 101'),
                             ('-1', 'MAX_DELETE must be from 0 to 100 percent, not -1')]:
            with self.subTest(value=value):
                r = self.pollensift('MAX_DELETE = %s\n' % value, '--check')
                self.assertEqual(r.code, 255)
                self.assertIn(error, r.err + r.out)
        r = self.pollensift('MAX_DELETE = 50\n', '--check')
        self.assertIn("  MAX_DELETE = 50 (percent of a mailbox's messages)\n", r.out)
        r = self.pollensift('MAX_DELETE = 0\n', '--check')
        self.assertIn('  MAX_DELETE = 0 (no limit)\n', r.out)
        r = self.pollensift('', '--check')
        self.assertNotIn('MAX_DELETE', r.out)


class MaxDeleteOnDovecot(DovecotTest):
    USERS = {'many': 'pw-m', 'few': 'pw-f'}

    def test_twenty_messages_fifteen_condemned(self):
        for user in self.USERS:
            for m in mailbox(15, 5):
                self.server.deliver(user, m.encode())
        rc = 'DENY = "^Subject: cheap"\n'
        r = self.pollensift(rc + 'MAX_DELETE = 50\n' + account('many', 'pw-m', self.server.port))
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors()[0],
                         'pollensift: Error: MAX_DELETE = 50 holds back every deletion: 15 of the '
                         'mailbox\'s 20 messages (75%) are condemned, 15 of them by the deny rule '
                         '"^Subject: cheap"; none is deleted.')
        self.assertEqual(len(self.left('many')), 20)
        # A limit the verdicts stay within: the fifteen go.
        r = self.pollensift(rc + 'MAX_DELETE = 80\n' + account('few', 'pw-f', self.server.port))
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertEqual(len(self.left('few')), 5)


class RulesThatCondemnEveryMessage(PollensiftTest):
    def test_a_deny_rule_that_matches_an_ordinary_header_is_refused(self):
        rows = [('^Received:', 'Received: from mx1.olsen-family.net'),
                ('^From:.*@', 'From: Mara Olsen <mara.olsen@olsen-family.net>'),
                ('^Subject:.*(viagra|lottery|sunday)', 'Subject: Dinner on Sunday'),
                ('^content-type: text/plain', 'Content-Type: text/plain; charset=utf-8')]
        for expression, line in rows:
            with self.subTest(expression=expression):
                keyword = 'DENY_NOCASE' if expression.startswith('^content') else 'DENY'
                rc = 'REG_TYPE = "extended"\n%s = "%s"\n' % (keyword, expression)
                for options in ([], ['--check']):
                    r = self.pollensift(rc, *options)
                    self.assertEqual(r.code, 255)
                    self.assertTrue(r.err.startswith(
                        'pollensift: Error: The deny rule "%s" in line 3 of your main rcfile %r '
                        'matches "%s' % (expression, self.path('rc'), line)), r.err)
                    self.assertTrue(r.err.endswith(
                        '" of an ordinary header, so it would delete nearly every message.\n'))
        # Negative rules, rules aimed at spam and a spam score below HIGHSCORE pass.
        r = self.pollensift('REG_TYPE = "extended"\nDENY <> "^Received:"\n'
                            'DENY = "^Subject:.*(viagra|lottery)"\nSCORE 40 = "^From:"\n',
                            '--check')
        self.assertEqual((r.code, r.err), (0, ''), r.out)

    def test_a_score_rule_whose_points_alone_condemn_an_ordinary_header_is_warned_about(self):
        r = self.pollensift('HIGHSCORE = 50\nSCORE 50 = "^Date:"\n', '--check')
        self.assertEqual(r.code, 0)
        self.assertEqual(r.err, 'pollensift: Warning: The score rule "^Date:" in line 3 of your '
                                'main rcfile %r matches "Date: Sun, 6 Dec 2026 18:04:11 +0100" of '
                                'an ordinary header; its 50 points alone reach HIGHSCORE 50, so '
                                'nearly every message that reaches scoring is deleted.\n'
                         % self.path('rc'))


@unittest.skipUnless(os.geteuid() == 0, 'giving a file to another user needs root')
class AnotherUsersRcFile(PollensiftTest):
    OTHER = 65534  # nobody

    def run_as_root(self, rc):
        return subprocess.run([BIN, '-M', rc, '--check'], capture_output=True, text=True,
                              timeout=60)

    def test_a_file_of_another_user_with_a_secret_or_a_command_is_refused(self):
        marker = self.path('ran')
        rows = [('a password', 'SERVER = "s"\nUSER = "u"\nPASS = "pw"\nPORT = 110\n'),
                ('a command', 'LOGFILE = "`touch %s\'"\n' % marker),
                ('a command', 'SHOW_HEADERS = "$(touch %s)"\n' % marker)]
        for what, text in rows:
            for included in (False, True):
                with self.subTest(what, included=included, text=text):
                    foreign = self.path('foreign.rc')
                    with open(foreign, 'w') as f:
                        f.write(text)
                    os.chown(foreign, self.OTHER, self.OTHER)
                    rc = foreign
                    if included:
                        rc = self.path('rc')
                        with open(rc, 'w') as f:
                            f.write('VERBOSE = 3\nINCLUDE=%s\n' % foreign)
                    os.chmod(foreign, 0o600)
                    p = self.run_as_root(rc)
                    self.assertEqual(p.returncode, 255)
                    self.assertEqual(p.stdout, '')
                    self.assertEqual(p.stderr,
                                     "pollensift: Error: The %s '%s' holds %s but belongs to user "
                                     "%d, not to you: it must be owned by you (or root).\n"
                                     % ('Nested rcfile' if included else 'rcfile', foreign, what,
                                        self.OTHER))
                    self.assertFalse(os.path.exists(marker))
        # Without a secret or a command, or in a comment, another user's rules may be read.
        with open(foreign, 'w') as f:
            f.write('# PASS = "old" `cmd\'\nDENY = "^Subject: cheap"\n')
        os.chown(foreign, self.OTHER, self.OTHER)
        p = self.run_as_root(foreign)
        self.assertEqual(p.stderr, '')
        self.assertIn('Rules: 0 allow (0 negative), 1 deny (0 negative)', p.stdout)


class IdleSettings(PollensiftTest):
    def test_settings_that_do_nothing_are_named_by_check_and_a_run(self):
        rc = ('LEARNED_SCORE = 40\nSERVER = "127.0.0.1"\nUSER = "jo"\nPASS = "pw"\n'
              'PROTOCOL = "POP3"\nTLS_FINGERPRINT = "%s"\nTLS_CA_FILE = "/nowhere"\nPORT = 1\n'
              % ('ab:' * 32)[:-1])
        warnings = [
            'LEARNED_SCORE is set but LEARN_FILE is not, so no learned score is added.',
            "The account 'jo@127.0.0.1' has TLS_FINGERPRINT, but its PROTOCOL POP3 uses no TLS, "
            "so it is not used.",
            "The account 'jo@127.0.0.1' has TLS_CA_FILE, but its PROTOCOL POP3 uses no TLS, so "
            "it is not used."]
        r = self.pollensift(rc, '--check')
        for warning in warnings:
            self.assertIn('Warning: ' + warning + '\n', r.out)
        r = self.pollensift(rc + 'TIMEOUT = 2\n', '-t')
        self.assertEqual([l for l in r.err.splitlines() if 'Warning' in l],
                         ['pollensift: Warning: ' + w for w in warnings])
        # With TLS, or with LEARN_FILE, nothing to say.
        r = self.pollensift(rc.replace('"POP3"', '"POP3/SSL"').replace('LEARNED', 'LEARN_FILE = '
                            '"%s"\nLEARNED' % self.path('learned')), '--check')
        self.assertNotIn('uses no TLS', r.out)
        self.assertNotIn('LEARN_FILE is not', r.out)


class ShortPassword(PollensiftTest):
    def test_a_one_character_password_is_hidden_only_as_a_word(self):
        server = self.fake_server({'password': 'right',
                                   'replies': {'PASS p': '-ERR [AUTH] password p is wrong\r\n'}})
        r = self.pollensift(account('jo', 'p', server.port))
        self.assertIn('pollensift: Error: The server replied: -ERR [AUTH] password ***** is wrong',
                      r.err)


if __name__ == '__main__':
    unittest.main()
