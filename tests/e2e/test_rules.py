"""Rules against hostile headers and hostile rules, through the binary and the fake server: a
megabyte header line is judged without stalling the run, rules whose matching or compiling cannot
be bounded are refused at start before any server is contacted, and the rules that keep the C
library's matcher are named at verbosity 6. A guard kills a run that has not ended after 60 s;
the C library alone took 75 s on a line of 400 KB.
"""

import os
import unittest

from harness import PollensiftTest, account

WANTED = 'From: ann@example.org\r\nSubject: %s\r\nMessage-ID: <1@example.org>\r\n'
SPAM = 'From: offers@spam.example\r\nSubject: free free money\r\nMessage-ID: <2@spam.example>\r\n'


class Rules(PollensiftTest):
    def fake(self, messages):
        return self.fake_server({'messages': messages})

    def test_a_megabyte_line_is_judged_without_stalling(self):
        # Unanchored rules that the C library's matcher takes quadratic time for on this line;
        # the back-reference rule keeps that matcher, on the start of each line only.
        hostile = WANTED % ('free ' * 200000)
        server = self.fake([hostile, SPAM])
        rules = ('REG_TYPE = "extended"\nDENY = "free.*money"\nDENY = "(fr)ee.*\\1ee.*monies"\n'
                 'SCORE 1 = "e.*e.*e.*e.*x"\n')
        r = self.pollensift(rules + account('jo', 'pw', server.port), '-v', '3', timeout=60)
        self.assertEqual(r.code, 0, r.err)
        commands = server.commands()
        self.assertIn('DELE 2', commands)
        self.assertNotIn('DELE 1', commands)

    def test_rules_that_cannot_be_matched_safely_are_refused_at_start(self):
        cases = [
            ('extended', '(a*)\\1+*', 'a repetition of a back-reference'),
            ('extended', '((a{0,40}){0,40}){0,40}',
             'its repetitions expand to 65640 copies of its parts'),
            ('basic', '\\(.*\\)\\(.*\\)\\2\\1', 'several back-references to groups with repetitions'),
        ]
        for syntax, expression, reason in cases:
            with self.subTest(expression=expression):
                server = self.fake([SPAM])
                rc = ('REG_TYPE = "%s"\nALLOW = "^From: ann"\nDENY = "%s"\n' % (syntax, expression)
                      + account('jo', 'pw', server.port))
                r = self.pollensift(rc, timeout=60)
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), [
                    'pollensift: Error: The rule "%s" cannot be matched safely: %s.'
                    % (expression, reason),
                    'pollensift: Error: Could not compile regular expression (deny).',
                ])
                self.assertIn('pollensift: The deny rule "%s" in line 4 of your main rcfile %r '
                              'cannot be matched safely: %s.' % (expression, self.path('rc'), reason),
                              r.err.splitlines())
                self.assertEqual(server.commands(wait=0), [])
                server.stop()

    def test_a_deny_rule_that_matches_every_line_is_refused_and_check_says_so(self):
        server = self.fake([SPAM])
        accounts = account('jo', 'pw', server.port)
        rules = ('REG_TYPE = "extended"\nALLOW = ".*"\nDENY <> "x*"\nDENY = "^Subject: cheap"\n'
                 'DENY_CASE = "(viagra|lottery|)"\n')
        line = ('pollensift: Error: The deny rule "(viagra|lottery|)" in line 6 of your main rcfile '
                '%r matches the empty text, so it matches every header line and would delete '
                'every message.' % self.path('rc'))
        for options in ([], ['--check']):
            with self.subTest(options=options):
                r = self.pollensift(rules + accounts, *options)
                self.assertEqual((r.code, r.err), (255, line + '\n'))
        self.assertEqual(server.commands(wait=0), [])
        # In basic syntax the same rule is all literal (and warned about as such); the run goes on.
        r = self.pollensift(rules.replace('extended', 'basic') + accounts)
        self.assertEqual((r.code, r.errors()), (0, []))
        self.assertIn('TOP 1 0', server.commands())

    def test_a_score_rule_that_matches_every_line_and_reaches_highscore_is_warned_about(self):
        server = self.fake([SPAM])
        rc = ('HIGHSCORE = 30\nSCORE 10 = ".*"\nSCORE 30 <> "^"\nSCORE 30 = "^X*"\n' +
              account('jo', 'pw', server.port))
        r = self.pollensift(rc, '-t')
        self.assertEqual(r.code, 0, r.err)
        warning = ('pollensift: Warning: The score rule "^X*" in line 5 of your main rcfile %r '
                   'matches the empty text, so it matches every header line; its 30 points alone '
                   'reach HIGHSCORE 30, so every message that reaches scoring is deleted.'
                   % self.path('rc'))
        self.assertEqual(r.err, warning + '\n')
        self.assertIn(warning + '\n', r.log)
        self.assertIn('pollensift: Examined 1 message(s): 1 would be deleted, 0 kept.\n', r.out)

    def test_rules_kept_by_the_c_library_are_named_at_level_6(self):
        server = self.fake([SPAM])
        rc = ('DENY = "^Subject: \\(fr\\)ee \\1ee"\nSCORE 5 = "^From:"\n'
              'SCORE 5 = "[[=a=]]\\{2000\\}"\n' + account('jo', 'pw', server.port))
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual(r.code, 0, r.err)
        kept = [line for line in r.log.splitlines() if 'is matched by the C library' in line]
        self.assertEqual(kept, [
            'pollensift: Debugging: deny rule 1 "^Subject: \\(fr\\)ee \\1ee" is matched by the C '
            'library, on the first 2048 bytes of each line: a back-reference.',
            'pollensift: Debugging: score rule 2 "[[=a=]]\\{2000\\}" is matched by the C library, '
            'on the first 2048 bytes of each line: a repetition count above 1000.',
        ])
        self.assertIn('TOP 1 0', server.commands())

    def test_field_lines_a_spammer_bends_are_judged(self):
        # A blank before the colon, and a name that begins with a full stop, which the server
        # sends dot-stuffed ("..X-Flag"); --judge must read the saved files alike.
        messages = ['From: ann@example.org\r\nSubject : cheap pills\r\nMessage-ID: <1@x>\r\n',
                    'From: ann@example.org\r\n.X-Flag: spam\r\nMessage-ID: <2@x>\r\n',
                    'From\t: offers@spam.example\r\nSubject: hi\r\nMessage-ID: <3@x>\r\n',
                    'From: ann@example.org\r\nSubject: lunch\r\nMessage-ID: <4@x>\r\n']
        server = self.fake(messages)
        rules = ('DENY = "^Subject: cheap pills$"\nDENY = "^\\.X-Flag: spam$"\n'
                 'DENY = "^From: offers@spam"\n')
        r = self.pollensift(rules + account('jo', 'pw', server.port))
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertEqual([c for c in server.commands() if c.startswith('DELE')],
                         ['DELE 1', 'DELE 2', 'DELE 3'])
        os.makedirs(self.path('md/new'))
        for n, text in enumerate(messages):
            with open(self.path('md/new/%d' % n), 'w') as f:
                f.write(text.replace('\r\n', '\n') + '\nbody\n')
        judged = self.pollensift(rules, '--judge', self.path('md'))
        self.assertEqual((judged.code, judged.err), (0, ''))
        self.assertEqual(judged.out.splitlines()[-1], 'pollensift: Judged 4 message(s): 3 would '
                                                      'be deleted (3 deny rule), 1 kept.')


if __name__ == '__main__':
    unittest.main()
