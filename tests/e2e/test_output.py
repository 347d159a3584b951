"""Output that must not be lost or unsafe: write failures, non-regular files, C1 controls."""

import os
import unittest

from harness import PollensiftTest, account

MESSAGES = ['From: ann@example.org\r\nSubject: minutes\r\nMessage-ID: <1@example.org>\r\n']


class Output(PollensiftTest):
    def fake(self, messages=MESSAGES):
        return self.fake_server({'messages': messages})

    def test_a_full_disk_is_reported_at_once_and_at_the_end(self):
        # /dev/full fails every write with ENOSPC, as a full disk does.
        rows = [
            ('log file', ['-L', '/dev/full'], ''),
            ('headers store file', [], 'SHOW_HEADERS = "/dev/full"\n'),
        ]
        for kind, args, settings in rows:
            with self.subTest(kind):
                server = self.fake()
                r = self.pollensift(settings + account('jo', 'pw', server.port), '-t', '-r',
                                    *args)
                failure = ("pollensift: Error: Could not write to %s '/dev/full': No space left "
                           "on device." % kind)
                errors = r.errors()
                self.assertEqual(errors.count(failure), 2, r.err)
                self.assertEqual(errors[-1], failure, 'repeated as the last line of the run')
                self.assertEqual(r.code, 255, 'even with -r, lost lines fail the run')
                self.assertIn('QUIT', server.commands(), 'the run itself went on')
                if kind == 'headers store file':
                    self.assertEqual(errors[:2], [
                        failure, 'pollensift: Error: Could not write headers to separate file.'])
                    self.assertEqual(r.log.count(failure), 2, 'the log still works')

    def test_files_that_would_block_are_refused_before_any_server_is_contacted(self):
        fifo = self.path('fifo')
        os.mkfifo(fifo)
        rows = [
            (['-L', fifo], '', ["pollensift: Error: Could not open log file '%s' for writing." % fifo,
                                "pollensift: The log file '%s' is a FIFO, not a regular file." % fifo]),
            ([], 'SHOW_HEADERS = "%s"\n' % fifo,
             ["pollensift: Error: The headers store file '%s' is a FIFO, not a regular file." % fifo]),
            ([], 'SHOW_HEADERS = "%s"\n' % self.dir.name,
             ["pollensift: Error: The headers store file '%s' is a directory." % self.dir.name]),
        ]
        for args, settings, expected in rows:
            with self.subTest(args=args, settings=settings):
                server = self.fake()
                r = self.pollensift(settings + account('jo', 'pw', server.port), *args, timeout=30)
                self.assertEqual(r.code, 255)
                self.assertEqual(r.err.splitlines(), expected)
                self.assertEqual(server.commands(wait=1), [])
        # A terminal-like device or /dev/null is fine for the log.
        server = self.fake()
        r = self.pollensift(account('jo', 'pw', server.port), '-L', '/dev/null')
        self.assertEqual((r.code, r.err), (0, ''))

    def test_c1_controls_are_escaped_and_utf8_is_kept(self):
        # Raw 0x9b (CSI) and its UTF-8 form C2 9B, beside UTF-8 letters whose bytes include
        # 0x80..0x9f as continuation bytes.
        subject = 'caf\xc3\xa9 \x9b2J \xc2\x9b2J \xe2\x82\xac\x85'
        server = self.fake(['From: x@spam.example\r\nSubject: %s\r\n'
                            'Message-ID: <2@spam.example>\r\n' % subject])
        r = self.pollensift('DENY = "^Subject: caf"\n' + account('jo', 'pw', server.port), '-t')
        self.assertEqual(r.code, 0, r.err)
        shown = 'caf\xc3\xa9 \\x9b2J \\xc2\\x9b2J \xe2\x82\xac\\x85'
        self.assertIn('pollensift: Deny: x@spam.example: %s, ' % shown, r.out)
        self.assertEqual(r.log, r.out)
        for text in (r.out, r.log):
            self.assertNotIn('\x9b2J', text)


if __name__ == '__main__':
    unittest.main()
