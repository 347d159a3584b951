"""--stats: the table of what every rule decided and matched, over the fixture corpus, judged
from files and fetched by a run; and the verdict lines of --judge, each after the name of its
message."""

import os
import re
import unittest

from harness import FIXTURES, PollensiftTest, account, fixture_mail

NAMES = sorted(os.listdir(os.path.join(FIXTURES, 'mail')))
PATHS = [os.path.join(FIXTURES, 'mail', name) for name in NAMES]


def demo_rules():
    """The rules of the demo's rc file (its own LOGFILE and account left out)."""
    with open(os.path.join(FIXTURES, 'demo.pollensiftrc')) as f:
        text = f.read()
    return text[text.index('# Mail from colleagues'):text.index('SERVER =')]


def table(out):
    """The lines from the table's heading on, without the prefix."""
    lines = [l[len('pollensift: '):] for l in out.splitlines()]
    return lines[next(i for i, l in enumerate(lines) if l.startswith('Rule statistics')):]


class Stats(PollensiftTest):
    def rules(self):
        # Rules of an included file stand where it is included, in the order read; each list's
        # rules are interleaved with the others'.
        with open(self.path('more.rc'), 'w') as f:
            f.write('\nDENY = "^X-Mailer:.*Mass Mailer"\n')
        return demo_rules() + 'INCLUDE = %s\nALLOW <> "^Date:"\n' % self.path('more.rc')

    def expected(self, count):
        # Each rule's line in the rc file that the harness writes (LOGFILE takes line 1).
        return [
            'Rule statistics over %d judged message(s), in rc file order: decided, matched, '
            'rule.' % count,
            '      1       1  ALLOW = "^From:.*@example\\.org>" (line 3)',
            '      1       1  DENY = "^Subject:.*cheap pills" (line 6)',
            '      0       1  DENY = "^X-Campaign-Tracking:" (line 7)',
            '      1       2  SCORE 60 = "^Subject:.*winner" (line 12)',
            '      1       1  SCORE 50 = "^X-Priority: 1" (line 13)',
            '      1       1  SCORE -40 = "^List-Id:" (line 14)',
            "      0       0  DENY = \"^X-Mailer:.*Mass Mailer\" (line 2 of your rcfile '%s')"
            % self.path('more.rc'),
            '      0       0  ALLOW <> "^Date:" (line 17)',
            'Rules that never matched: 2 of 8.',
            "  DENY = \"^X-Mailer:.*Mass Mailer\" (line 2 of your rcfile '%s')"
            % self.path('more.rc'),
            '  ALLOW <> "^Date:" (line 17)',
        ]

    def test_judging_the_fixture_corpus(self):
        r = self.pollensift(self.rules(), '--stats', '--judge', *PATHS)
        self.assertEqual((r.code, r.err), (0, ''))
        self.assertEqual(table(r.out), self.expected(6))
        # The summary still comes before the table, and each verdict line after its message's
        # name: the pills by a deny rule, the lottery by the score, the bulk mail by MAXLENGTH.
        lines = [l[len('pollensift: '):] for l in r.out.splitlines()]
        self.assertEqual(lines[-len(self.expected(6)) - 1],
                         'Judged 6 message(s): 3 would be deleted (1 maxlength, 1 deny rule, '
                         '1 score), 3 kept.')
        verdicts = lines[:-len(self.expected(6)) - 1]
        self.assertEqual([l for l in verdicts if l.startswith('Message ')],
                         ['Message %d (%s):' % (n, PATHS[n - 1]) for n in (3, 4, 6)])
        self.assertEqual([re.sub(r'\[.*', '', l) for l in verdicts[1::2]],
                         ['Deny: "Best Pharmacy" <offers@cheap-meds.example>: Cheap pills, no '
                          'prescription needed!!!, Tue, 07 Mar 2023 03:33:10 +0100 ',
                          'Deny: International Lottery Board <winner@lotto.example>: '
                          'Congratulations, you are a WINNER, Wed, 08 Mar 2023 22:10:00 +0100 ',
                          'Deny: "Deals" <deals@bulk.example>: Unbelievable deals inside, Fri, 10 '
                          'Mar 2023 11:11:11 +0100 '])
        # At level 5 every message has verdict lines, each after its name; an mbox message is
        # named by its file and line.
        envelope = b'From jo@example.net Thu Mar  9 07:00:00 2023\n'
        mbox = b''.join(envelope + fixture_mail(n).replace(b'\r\n', b'\n').rstrip(b'\n') + b'\n\n'
                        for n in (NAMES[0], NAMES[4]))
        with open(self.path('mbox'), 'wb') as f:
            f.write(mbox)
        second = mbox.split(b'\n').index(envelope.rstrip(b'\n'), 1) + 1
        r = self.pollensift(self.rules(), '-v', '5', '--judge', self.path('mbox'))
        named = [l for l in r.out.splitlines() if ' (%s:' % self.path('mbox') in l]
        self.assertEqual(named, ['pollensift: Message 1 (%s:1):' % self.path('mbox'),
                                 'pollensift: Message 2 (%s:%d):' % (self.path('mbox'), second)])
        lines = r.out.splitlines()
        for at in (i for i, l in enumerate(lines) if l.startswith('pollensift: Message ')):
            self.assertRegex(lines[at + 1], r'^pollensift: (Score|Allow|Deny|Pass): ')
        self.assertNotIn('Rule statistics', r.out, 'only with --stats')

    def test_a_run_counts_as_judging_the_same_messages_does(self):
        headers = [fixture_mail(n).replace(b'\r\n', b'\n').split(b'\n\n')[0]
                   .replace(b'\n', b'\r\n').decode('latin-1') + '\r\n' for n in NAMES]
        server = self.fake_server({'messages': headers})
        r = self.pollensift(self.rules() + account('jo', 'pw', server.port), '-t', '-v', '1',
                            '--stats')
        self.assertEqual((r.code, r.err), (0, ''))
        self.assertEqual(table(r.out), self.expected(6))
        self.assertEqual(table(r.log), self.expected(6), 'the table is logged too')

    def test_a_table_for_each_folder_and_the_learned_score_as_a_row(self):
        folders = {'spam': [2, 3], 'ham': [0, 1, 4]}  # pills and lottery; the rest is wanted
        for folder, picked in folders.items():
            for sub in ('cur', 'new', 'tmp'):
                os.makedirs(self.path(folder + '/' + sub))
            for n in picked:
                with open(self.path('%s/cur/%d' % (folder, n)), 'wb') as f:
                    f.write(fixture_mail(NAMES[n]).replace(b'\r\n', b'\n'))
        rc = self.rules() + 'LEARN_FILE = "%s"\nLEARNED_SCORE = 40\nLEARN_MINIMUM = 50\n' % (
            self.path('learned'))
        # The learned score counts once 50 of each kind are learned: copies told apart by a field.
        for option, folder in (('--learn-spam', 'spam'), ('--learn-ham', 'ham')):
            copies = self.path('learn-' + folder)
            for sub in ('cur', 'new', 'tmp'):
                os.makedirs(os.path.join(copies, sub))
            for copy in range(50):
                n = folders[folder][copy % len(folders[folder])]
                with open(os.path.join(copies, 'cur', '%d-%d' % (copy, n)), 'wb') as f:
                    f.write(b'X-Copy: %d\n' % copy +
                            fixture_mail(NAMES[n]).replace(b'\r\n', b'\n'))
            self.assertEqual(self.pollensift(rc, option, copies).code, 0)
        # A single message file among them has no table of its own.
        r = self.pollensift(rc, '--stats', '--judge', self.path('spam'), PATHS[5],
                            self.path('ham'))
        self.assertEqual((r.code, r.err), (0, ''))
        lines = [l[len('pollensift: '):] for l in r.out.splitlines()]
        headings = [i for i, l in enumerate(lines) if l.startswith('Rule statistics over')]
        self.assertEqual([lines[i] for i in headings], [
            'Rule statistics over 2 judged message(s) of %s, in rc file order: decided, matched, '
            'rule.' % self.path('spam'),
            'Rule statistics over 3 judged message(s) of %s, in rc file order: decided, matched, '
            'rule.' % self.path('ham'),
            'Rule statistics over 6 judged message(s), in rc file order: decided, matched, rule.'])
        self.assertTrue(lines[headings[2] - 1].startswith('Judged 6 message(s): '))
        rows = re.compile(r'^ +(\d+) +(\d+)  (.*)$')
        tables = [[rows.match(l).groups() for l in lines[i + 1:i + 10]] for i in headings]
        for table_rows in tables:
            self.assertEqual(table_rows[-1][2], 'LEARNED_SCORE 40 (learned score)')
            self.assertEqual([row[2] for row in table_rows[:-1]],
                             [re.sub(r'^ +\d+ +\d+  ', '', l) for l in self.expected(6)[1:9]])
        # Each folder's counts add up to those of the whole run, with the single file's.
        single = self.pollensift(rc, '--stats', '--judge', PATHS[5])
        alone = {m.group(3): m.groups()[:2] for m in map(rows.match, table(single.out)) if m}
        for spam, ham, whole in zip(*tables):
            one = alone.get(whole[2], ('0', '0'))
            self.assertEqual([int(spam[k]) + int(ham[k]) + int(one[k]) for k in (0, 1)],
                             [int(whole[0]), int(whole[1])], whole[2])
        # The lottery message reaches the score, where the learned score joins it.
        self.assertGreater(int(tables[0][-1][1]), 0)

    def test_stats_go_with_a_run_or_judge_only(self):
        for mode in ('--check', '--quarantine', '--probe'):
            with self.subTest(mode=mode):
                r = self.pollensift('', '--stats', mode)
                self.assertEqual((r.code, r.out), (255, ''))
                self.assertEqual(r.err.splitlines()[0],
                                 'pollensift: Error: --stats counts what the rules do in a run or '
                                 'with --judge, not with %s.' % mode)
        r = self.pollensift('', '--stats', '--judge', PATHS[0])
        self.assertEqual(table(r.out), ['Rule statistics over 1 judged message(s): there are no '
                                        'rules.'])


if __name__ == '__main__':
    unittest.main()
