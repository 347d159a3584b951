"""pollensift against a fake POP3 server that misbehaves the way a real one will not on demand.

In every case: no crash, no wait beyond the time-out, and no DELE on the strength of a header
that did not arrive whole.
"""

import os
import signal
import subprocess
import time
import unittest

from harness import BIN, STAMP, PollensiftTest, account

WANTED = 'From: ann@example.org\r\nSubject: minutes.\r\nMessage-ID: <1@example.org>\r\n'
# The first Subject line ends in "." so a reply cut after it looks finished to a naive reader;
# only the second Subject line condemns the message.
SPAM = ('From: offers@spam.example\r\nSubject: hello.\r\n.hidden: dot-stuffed\r\n'
        'Subject: cheap pills\r\nMessage-ID: <2@spam.example>\r\n')
DENY = 'DENY = "^Subject: cheap"\n'
# CAPA comes first on every connection, and again after the login; this server has none and
# answers "-ERR", so the scan goes one command at a time: every size from one LIST, then TOP n 0.
FULL_DIALOGUE = ['CAPA', 'USER jo', 'PASS pw', 'STAT', 'STAT', 'CAPA', 'LIST', 'TOP 1 0',
                 'TOP 2 0', 'DELE 2', 'QUIT']
# Where CAPA lists PIPELINING (and USER): PASS goes with USER, STAT once with the CAPA after the
# login, and each TOP follows the LIST of its message.
PIPELINED_DIALOGUE = ['CAPA', 'USER jo', 'PASS pw', 'STAT', 'CAPA', 'LIST 1', 'TOP 1 0', 'LIST 2',
                      'TOP 2 0', 'DELE 2', 'QUIT']


class Faults(PollensiftTest):
    def fake(self, **scenario):
        scenario.setdefault('messages', [WANTED, SPAM])
        return self.fake_server(scenario)

    def test_every_reply_split_at_every_byte_position(self):
        # With PIPELINING the replies to USER and PASS, and to the TOP commands in flight, also
        # run into each other.
        for capa in (None, ['TOP', 'USER', 'PIPELINING']):
            with self.subTest(capa=capa):
                scenario = {'delivery': 'split', 'pause': 0.003}
                if capa:
                    scenario['capa'] = capa
                server = self.fake(**scenario)
                longest = len('+OK\r\n' + SPAM + '\r\n.\r\n') + 2
                # Connection k cuts every reply before byte k; one account (user jo<k>) per
                # connection, since the same mailbox may not be listed twice.
                rc = DENY + 'TIMEOUT = 10\n' + account('jo1', 'pw', server.port) + \
                    ''.join('USER = "jo%d"\nPORT = %d\n' % (k, server.port)
                            for k in range(2, longest + 1))
                r = self.pollensift(rc)
                self.assertEqual(r.errors(), [])
                self.assertEqual(r.code, 0)
                for k in range(1, longest + 1):
                    expected = ['USER jo%d' % k if c == 'USER jo' else c
                                for c in (PIPELINED_DIALOGUE if capa else FULL_DIALOGUE)]
                    self.assertEqual(server.commands(k), expected, 'split at byte %d' % k)
                server.stop()

    def test_slow_drip_is_read_whole(self):
        server = self.fake(delivery='drip', pause=0.002)
        r = self.pollensift(DENY + 'TIMEOUT = 5\n' + account('jo', 'pw', server.port))
        self.assertEqual(r.errors(), [])
        self.assertEqual(server.commands(), FULL_DIALOGUE)

    def test_silent_server_times_out(self):
        server = self.fake(greeting=None)
        start = time.monotonic()
        r = self.pollensift('TIMEOUT = 1\n' + account('jo', 'pw', server.port))
        self.assertLess(time.monotonic() - start, 10)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), [
            'pollensift: Error: Connection has timed out.',
            'pollensift: Error: No greeting came from the server. If this port expects TLS from '
            'the start (usually 995), use PROTOCOL = "POP3/SSL".',
            'pollensift: Error: No login was tried: no greeting came from the server (a port that '
            'expects TLS from the start stays silent like this).',
            'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.',
        ])
        self.assertEqual(server.commands(), [])

    def test_header_cut_off_is_never_judged(self):
        top = '+OK\r\n' + SPAM
        cut_after_dot_line = top.index('.\r\n') + 3
        for stall in (False, True):
            with self.subTest(stall=stall):
                server = self.fake(cut={'command': 'TOP 2 0', 'bytes': cut_after_dot_line,
                                        'stall': stall})
                r = self.pollensift(DENY + 'TIMEOUT = 1\n' + account('jo', 'pw', server.port))
                self.assertEqual(r.code, 255)
                cause = ('Connection has timed out.' if stall else
                         'The server closed the connection in the middle of a reply.')
                self.assertEqual(r.errors()[:3], [
                    'pollensift: Error: ' + cause,
                    'pollensift: Error: Error occurred while sending TOP to server.',
                    'pollensift: Error: Scanning of mail account failed.',
                ])
                self.assertNotIn('DELE 2', server.commands())
                server.stop()

    def test_a_header_that_cannot_be_parsed_is_named_in_words(self):
        server = self.fake(messages=['Subject: cheap\r\nFrom spammer@example.org Mon\r\n'])
        r = self.pollensift(DENY + account('jo', 'pw', server.port))
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors()[:2], [
            'pollensift: Error: Parser reported syntax error: a line that begins with "From " and '
            'has no colon is an envelope line, not a header field.',
            'pollensift: Error: Parsing the header of message 1 failed.'])
        self.assertNotIn('DELE 1', server.commands())

    def test_an_interrupt_says_which_deletions_are_left_undone(self):
        # Messages 1 and 3 are condemned and their DELE goes out; the reply to TOP 4 0 begins and
        # then stops, which holds the run there until the signal comes.
        cases = [([], 'pollensift: 2 deletion(s) logged for the interrupted account are not '
                      'carried out, since no QUIT was sent: the server keeps those messages.\n'),
                 (['-t'], '')]  # test mode deletes nothing: no line about it
        for options, undone in cases:
            with self.subTest(options=options):
                server = self.fake(messages=[SPAM, WANTED, SPAM, SPAM],
                                   cut={'command': 'TOP 4 0', 'bytes': 10, 'stall': True})
                out, logged = self.interrupt(DENY + 'TIMEOUT = 30\n' +
                                             account('jo', 'pw', server.port), options,
                                             'TOP 4 0', server)
                abort = 'pollensift: Error: Program abort due to signal 15.\n'
                self.assertTrue(out.endswith('.\n' + abort + undone), out)
                self.assertTrue(logged.endswith('.\n' + abort + undone), logged)
                sent = [c for c in server.commands() if c.startswith(('DELE', 'QUIT'))]
                self.assertEqual(sent, [] if options else ['DELE 1', 'DELE 3'])
                self.assertIsNone(server.deleted(), 'no QUIT, so the server deleted nothing')
                server.stop()

    def interrupt(self, rc_text, options, command, server):
        """Runs pollensift until the server has received command, then sends it SIGTERM: its
        standard output and its log, without time stamps."""
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\n' % self.path('log') + rc_text)
        os.chmod(rc, 0o600)
        if os.path.exists(self.path('log')):
            os.remove(self.path('log'))
        p = subprocess.Popen([BIN, '-M', rc] + options, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        try:
            end = time.monotonic() + 20
            while not os.path.exists(server.log) or \
                    '1 %s\n' % command not in open(server.log).read():
                self.assertLess(time.monotonic(), end, 'the run never reached ' + command)
                self.assertIsNone(p.poll(), 'the run ended before ' + command)
                time.sleep(0.02)
            time.sleep(0.2)  # the run now waits for the rest of the reply
            p.send_signal(signal.SIGTERM)
            out, _ = p.communicate(timeout=10)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(p.returncode, 255)
        with open(self.path('log')) as f:
            return STAMP.sub('', out.decode()), STAMP.sub('', f.read())

    def test_negative_greeting_still_logs_in(self):
        server = self.fake(greeting='-ERR busy, but try anyway\r\n')
        r = self.pollensift(DENY + account('jo', 'pw', server.port))
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(server.commands(), FULL_DIALOGUE)

    def test_apop_without_time_stamp_gives_up_before_sending(self):
        server = self.fake(greeting='+OK no time stamp here\r\n')
        r = self.pollensift(account('jo', 'pw', server.port, 'APOP'))
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), [
            "pollensift: Error: No login was tried: the server's greeting has no time stamp, "
            'which APOP needs; use USER/PASS instead (PROTOCOL = "POP3", "POP3/STLS" or '
            '"POP3/SSL").',
            'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.',
        ])
        # Nothing of the login is sent.
        self.assertEqual(server.commands(), ['CAPA'])

    def test_apop_with_time_stamp_logs_in(self):
        server = self.fake()
        r = self.pollensift(DENY + account('jo', 'pw', server.port, 'APOP'))
        self.assertEqual(r.code, 0, r.err)
        dialogue = server.commands()
        self.assertEqual(dialogue[0], 'CAPA')
        self.assertRegex(dialogue[1], r'^APOP jo [0-9a-f]{32}$')
        self.assertEqual(dialogue[2:], FULL_DIALOGUE[3:])

    def test_stat_without_count_means_an_empty_mailbox(self):
        server = self.fake(replies={'STAT': '+OK\r\n'})
        r = self.pollensift(account('jo', 'pw', server.port))
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('pollensift: Examining 0 message(s).', r.out)
        self.assertEqual(server.commands(),
                         ['CAPA', 'USER jo', 'PASS pw', 'STAT', 'STAT', 'QUIT'])

    def test_reply_beyond_the_size_cap_is_refused(self):
        # A header has a cap of its own (4 MiB), well below that of other replies.
        server = self.fake(replies={'TOP 2 0': {'huge': 5 << 20}})
        r = self.pollensift(DENY + 'DENY = "^X-Filler"\n' + account('jo', 'pw', server.port),
                            timeout=300)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors()[:3], [
            "pollensift: Error: The server's reply is longer than 4194304 bytes.",
            'pollensift: Error: Error occurred while sending TOP to server.',
            'pollensift: Error: Scanning of mail account failed.',
        ])
        self.assertNotIn('DELE 2', server.commands())

    def test_list_reply_is_read_by_its_second_word_and_checked(self):
        # Message 1 is 120 octets, whatever text follows; message 2 is larger than MAXSIZE_DENY.
        # One command at a time every size comes from one LIST; pipelined, from LIST n.
        for capa in (None, ['TOP', 'PIPELINING']):
            with self.subTest(capa=capa):
                server = self.fake(replies={
                    'LIST': '+OK 2 messages\r\n1 120 octets 5000000\r\n2 99999999\r\n.\r\n',
                    'LIST 1': '+OK 1 120 octets 5000000\r\n', 'LIST 2': '+OK 2 99999999\r\n'},
                    **({'capa': capa} if capa else {}))
                r = self.pollensift('MAXSIZE_DENY = 1000\n' + account('jo', 'pw', server.port))
                self.assertEqual(r.code, 0, r.err)
                self.assertNotIn('DELE 1', server.commands())
                self.assertIn('DELE 2', server.commands())
                self.assertIn('LIST' if capa is None else 'LIST 1', server.commands())
                server.stop()

        # A reply that names another message. A listing that does not list 1..n in order leaves
        # the sizes to LIST n.
        server = self.fake(replies={'LIST': '+OK\r\n2 99999999\r\n.\r\n',
                                    'LIST 1': '+OK 2 99999999\r\n'})
        r = self.pollensift('MAXSIZE_DENY = 1000\n' + account('jo', 'pw', server.port))
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), [
            'pollensift: Error: The server\'s reply to LIST 1 cannot be read: "+OK 2 99999999".',
            'pollensift: Error: Error occurred while sending LIST to server.',
            'pollensift: Error: Scanning of mail account failed.',
            'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.',
        ])
        self.assertEqual(server.commands(), ['CAPA', 'USER jo', 'PASS pw', 'STAT', 'STAT', 'CAPA',
                                             'LIST', 'LIST 1', 'QUIT'])

    def test_time_out_zero_never_waits_for_a_stalled_server(self):
        stalled_reply = self.fake(cut={'command': 'STAT', 'bytes': 2, 'stall': True},
                                  replies={'STAT': '+OK 2 320\r\n'})
        silent = self.fake(greeting=None)
        for name, server, protocol, cause in (
                ('reply begun, then silence', stalled_reply, 'POP3', 'Connection has timed out.'),
                ('silent POP3/SSL server', silent, 'POP3/SSL', 'Timeout occurred.')):
            with self.subTest(name):
                start = time.monotonic()
                r = self.pollensift('TIMEOUT = 0\n' + account('jo', 'pw', server.port, protocol),
                                    timeout=30)
                self.assertLess(time.monotonic() - start, 10)
                self.assertEqual(r.code, 255)
                self.assertIn('pollensift: Error: ' + cause, r.errors())

    def test_negative_time_out_is_refused_before_any_server_is_contacted(self):
        server = self.fake()
        r = self.pollensift('TIMEOUT = -1\n' + account('jo', 'pw', server.port))
        self.assertEqual(r.code, 255)
        self.assertEqual(r.err, 'pollensift: Error: TIMEOUT must be 0 or more seconds, not -1 in '
                                'main rcfile in line 2.\n')
        self.assertEqual(server.commands(wait=0.5), [])

    def test_quit_must_be_confirmed(self):
        unconfirmed = '; the deletions may not have been carried out.'
        for name, scenario, causes in (
                ('refused', {'replies': {'QUIT': '-ERR [IN-USE] \x1b[2Jbusy\r\n'}},
                 ['The server answered QUIT with "-ERR [IN-USE] \\x1b[2Jbusy"' + unconfirmed]),
                ('silence', {'cut': {'command': 'QUIT', 'bytes': 0, 'stall': True}},
                 ['Connection has timed out.', 'The server did not answer QUIT' + unconfirmed]),
                ('closed', {'cut': {'command': 'QUIT', 'bytes': 0}},
                 ['The server closed the connection.',
                  'The server did not answer QUIT' + unconfirmed])):
            with self.subTest(name):
                server = self.fake(**scenario)
                r = self.pollensift(DENY + 'TIMEOUT = 1\n' + account('jo', 'pw', server.port))
                self.assertEqual(r.code, 255)
                self.assertEqual(r.errors(), ['pollensift: Error: ' + c for c in causes] + [
                    'pollensift: Error: Skipping account jo@127.0.0.1 due to earlier errors.'])
                self.assertEqual(server.commands(), FULL_DIALOGUE)


if __name__ == '__main__':
    unittest.main()
