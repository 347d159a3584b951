"""Several accounts at once (-j, JOBS): the same lines in the same order, the same deletions and
the same exit status as one account after another, against a private Dovecot."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import dovecot
from harness import BIN, STAMP, DovecotTest, account, fixture_mail, normalised

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'bench'))
import corpus  # noqa: E402  (the benchmark's generated mail)
import slowlink  # noqa: E402  (the benchmark's delay relay)

PILLS = fixture_mail('03-pills.eml')
MEETING = fixture_mail('01-meeting.eml')
RULES = ('DENY_NOCASE = "^Subject:.*(lottery|casino|winner|prize)"\n'
         'DENY_NOCASE = "^From:.*pills-direct"\nSCORE 60 = "^Subject:.*!!!"\n')
MAILBOXES = ['m1', 'm2', 'm3', 'm4', 'm5']
USERS = dict({name: 'pw-' + name for name in MAILBOXES}, refused='pw-r', stop1='pw-s1',
             stop2='pw-s2', same='pw-same')


def corpus_mail():
    """Mailbox -> messages: generated mail dealt round the mailboxes, so that its resent
    Message-IDs fall into different ones, and the last mailbox holds copies of messages of the
    first ones, which duplicate checks across accounts condemn."""
    generated = [corpus.message(23, i)[0] for i in range(160)]
    boxes = {name: [] for name in MAILBOXES}
    for i, message in enumerate(generated):
        boxes[MAILBOXES[i % 4]].append(message)
    boxes['m5'] = generated[0:12] + generated[80:84]
    # The same message again within one mailbox as well.
    boxes['m2'].append(generated[1])
    return boxes


# What differs from session to session whatever the order: the challenge of the greeting.
CHALLENGE = re.compile(r'(?<=ready\. )<[^<>]*>$', re.M)


def lines(text):
    return CHALLENGE.sub('<challenge>', text).splitlines()


class Jobs(DovecotTest):
    USERS = USERS

    def refill(self, boxes, uidvalidity=None):
        """Fresh mailboxes; with uidvalidity, Dovecot numbers each anew from 1 under that
        UIDVALIDITY rather than under the time, so that two fills give the same UIDLs."""
        owner = dovecot._mail_owner()
        for user, messages in boxes.items():
            shutil.rmtree(os.path.join(self.server.root, 'mail', user), ignore_errors=True)
            if uidvalidity is not None:
                listing = os.path.join(self.server._maildir(user), 'dovecot-uidlist')
                with open(listing, 'w') as f:
                    f.write('3 V%d N1\n' % uidvalidity)
                os.chown(listing, *owner)
            for message in messages:
                self.server.deliver(user, message)

    def ids_left(self, user):
        """The Message-IDs left in user's mailbox. Dovecot may still be moving the messages of a
        killed session from new/ to cur/, where a listing can meet one twice or miss its file."""
        for _ in range(50):
            try:
                return {re.search(rb'Message-ID: <([^>]*)>', m).group(1) for m in self.left(user)}
            except FileNotFoundError:
                time.sleep(0.1)
        self.fail('the mailbox of %s did not settle' % user)

    def run_over(self, boxes, rc, *args):
        # The same UIDLs in both runs: with DEL_DUPLICATES each session lists them, and the
        # trace shows the listing.
        self.refill(boxes, uidvalidity=1000)
        r = self.pollensift(rc, *args)
        return r, {user: self.left(user) for user in boxes}

    def one_and_many(self, boxes, rc, *args):
        """Runs over boxes with -j 1 and with -j 8; asserts the same lines, status and mail left,
        and gives the -j 1 run and what it left."""
        one, left_one = self.run_over(boxes, rc, *args)
        many, left_many = self.run_over(boxes, rc, *args, '-j', '8')
        self.maxDiff = 5000
        self.assertEqual(lines(one.log), lines(many.log))
        self.assertEqual(lines(one.out), lines(many.out))
        self.assertEqual(lines(one.err), lines(many.err))
        self.assertEqual(one.code, many.code)
        self.assertEqual(left_one, left_many)
        return one, left_one

    def test_jobs_give_the_lines_deletions_and_status_of_one_job(self):
        boxes = corpus_mail()
        port = self.server.port
        # A refused login among them.
        accounts = ''.join(account(user, USERS[user], port) for user in MAILBOXES[:2])
        accounts += account('refused', 'wrong', port)
        accounts += ''.join(account(user, USERS[user], port) for user in MAILBOXES[2:])
        for duplicates in ('yes', 'no'):
            rc = 'DEL_DUPLICATES = "%s"\n' % duplicates + RULES + accounts
            with self.subTest(duplicates=duplicates):
                one, left_one = self.one_and_many(boxes, rc, '-v', '6', '-r')
                # The run did judge, delete and skip, so the comparison compared something.
                self.assertIn("Skipping account refused@127.0.0.1", one.log, one.err)
                self.assertIn('Debugging: Wrote: DELE ', one.log)
                if duplicates == 'yes':
                    self.assertIn('Duplicate', one.log)
                    self.assertLess(len(left_one['m5']), len(boxes['m5']) // 2)
                else:
                    self.assertNotIn('Duplicate', one.log)

    def test_jobs_with_a_state_file_leave_it_as_one_job(self):
        """Two runs in a row with STATEFILE, the second incremental, with -j 1 and with -j 8: the
        same lines, deletions, status and mail left, and the same state file byte for byte after
        each run. The first run finds the file damaged; in the second one account's login fails:
        it keeps its entries while the others' change."""
        boxes = corpus_mail()
        generated = [corpus.message(23, i)[0] for i in range(160, 170)]
        # New mail for the second run: some for the first mailbox, and a copy of a message the
        # first run kept in it (so remembered) in a later one, where it is a duplicate.
        kept_first = next(m for m in boxes['m1'] if not re.search(
            rb'(?i)^Subject:.*(lottery|casino|winner|prize|!!!)', m, re.M))
        new = {'m1': generated[0:4], 'm2': generated[4:6], 'm3': generated[6:8],
               'm4': generated[8:10] + [kept_first]}
        state = self.path('state')

        def rc(failing):
            return ('STATEFILE = "%s"\nDEL_DUPLICATES = "yes"\n' % state + RULES +
                    ''.join(account(user, 'wrong' if user == failing else USERS[user],
                                    self.server.port) for user in MAILBOXES))

        def runs(verbosity, *args):
            # A damaged file to begin with: its warning is one of the first account's lines.
            with open(state, 'wb') as f:
                f.write(b'pollensift-state 1\naccount')
            os.chmod(state, 0o600)
            self.refill(boxes, uidvalidity=1000)
            seen = []
            for failing in (None, 'm3'):
                if failing:
                    self.assertIn(normalised(kept_first), self.left('m1'))
                    for user, messages in new.items():
                        for message in messages:
                            self.server.deliver(user, message)
                r = self.pollensift(rc(failing), '-v', verbosity, '-r', *args)
                with open(state, 'rb') as f:
                    seen.append((r, {user: self.left(user) for user in boxes}, f.read()))
            return seen

        self.maxDiff = 5000
        # Below verbosity 6 the accounts that wait for their turn read ahead.
        for verbosity in ('5', '6'):
            one, many = runs(verbosity), runs(verbosity, '-j', '8')
            for (r1, left1, state1), (r8, left8, state8) in zip(one, many):
                with self.subTest(verbosity=verbosity):
                    self.assertEqual(lines(r1.log), lines(r8.log))
                    self.assertEqual(lines(r1.out), lines(r8.out))
                    self.assertEqual(lines(r1.err), lines(r8.err))
                    self.assertEqual(r1.code, r8.code)
                    self.assertEqual(left1, left8)
                    self.assertEqual(state1, state8)
        (first, _, before), (second, _, after) = one
        self.assertIn("' is damaged; every message is judged.\n",
                      first.log.partition('querying m2@')[0].partition('querying m1@')[2])
        # The runs did what the comparison is about: the second passed over remembered mail,
        # judged the new, deleted a remembered message's copy as a duplicate, and failed m3.
        self.assertIn('Debugging: Wrote: DELE ', second.log)
        self.assertIn('Duplicate', second.log.partition('querying m4@')[2])
        self.assertRegex(second.log, r'pollensift: [1-9]\d* message\(s\) judged in an earlier '
                                     r'run, not fetched again\.')
        self.assertIn('Skipping account m3@127.0.0.1', second.err)

        def entries(text):
            """The state file's lines of each mailbox, by user."""
            blocks = {}
            for block in text.decode().split('\naccount ')[1:]:
                head, _, rest = block.partition('\n')
                blocks[head.split()[0].rpartition('%0A')[2]] = rest.partition('\nend\n')[0]
            return blocks

        before, after = entries(before), entries(after)
        self.assertEqual(sorted(after), MAILBOXES)
        self.assertNotEqual(before['m3'], '')
        self.assertEqual(after.pop('m3'), before.pop('m3'))
        self.assertNotEqual(after, before)

    def test_state_commits_are_written_in_the_order_of_accounts(self):
        """Whether an account's commit writes the state file, and so what the file holds of the
        accounts before it, depends on those before it: a mailbox that serves the same messages
        in another order changes nothing and writes nothing, and the file keeps the old order
        until a later account writes. Here the first account, over a slow link, has new mail
        and ends after the second, which is such a mailbox: the file must still end as with one
        job, with the second account's old order."""
        relay = slowlink.DelayRelay(('127.0.0.1', self.server.port), 20)
        self.addCleanup(relay.close)
        heads = ['Subject: %s\r\nMessage-ID: <%s@x>\r\n' % (n, n) for n in 'ab']
        shuffled = self.fake_server({
            'messages': heads, 'replies': {'UIDL': '+OK\r\n1 a\r\n2 b\r\n.\r\n'},
            'turns': [{}, {'messages': heads[::-1],
                           'replies': {'UIDL': '+OK\r\n1 b\r\n2 a\r\n.\r\n'}}]})
        boxes = {'m1': corpus_mail()['m1']}
        state = self.path('state')
        rc = ('STATEFILE = "%s"\n' % state + RULES + account('m1', USERS['m1'], relay.address[1]) +
              account('jo', 'pw', shuffled.port))

        def runs(*args):
            if os.path.exists(state):
                os.remove(state)
            self.refill(boxes, uidvalidity=1000)
            seen = []
            for new_mail in (False, True):
                if new_mail:
                    self.server.deliver('m1', MEETING)
                r = self.pollensift(rc, '-v', '5', *args)
                self.assertEqual(r.code, 0, r.err)
                with open(state, 'rb') as f:
                    seen.append((lines(r.log), f.read()))
            return seen

        one = runs()
        self.assertEqual(runs('-j', '2'), one)
        (_, before), (_, after) = one
        self.assertNotEqual(after, before)
        self.assertIn(b'\na =<a@x>\nb =<b@x>\n', after)

        rc = 'JOBS = 4\n'
        r = self.pollensift(rc, '--check')
        self.assertIn('  JOBS = 4\n', r.out)
        r = self.pollensift(rc, '--check', '-j', '2')
        self.assertIn('  JOBS = 2\n', r.out)
        for bad in ('0', '101', '-1'):
            with self.subTest(rc=bad):
                r = self.pollensift('JOBS = %s\n' % bad, '--check')
                self.assertEqual(r.code, 255)
                self.assertIn('JOBS must be from 1 to 100, not %s' % bad, r.err)
        for bad in ('0', 'x', '1000'):
            with self.subTest(option=bad):
                r = self.pollensift('', '-j', bad)
                self.assertEqual(r.code, 255)
                self.assertIn("Invalid number of jobs '%s'" % bad, r.err)

    def test_the_same_mailbox_under_another_name_loses_nothing(self):
        """127.0.0.1 and localhost, a user name in other case, the same server through another
        port: the second account reaches the first one's mailbox again, where DEL_DUPLICATES
        would take every message for a copy of itself. The first two are refused by address
        and user before any connection; the last by the server's evidence, a message with the
        same UIDL and Message-ID as one of the first account. Nothing is deleted, and one job
        and two give the same lines."""
        messages = [b'From: ann@example.org\nSubject: note %d\nMessage-ID: <same%d@example.org>\n'
                    b'\nbody %d\n' % (n, n, n) for n in range(20)]
        relay = slowlink.DelayRelay(('127.0.0.1', self.server.port), 1)
        self.addCleanup(relay.close)
        port = self.server.port
        first = account('same', USERS['same'], port)
        refused = ('pollensift: Error: The account %s on port %d reaches the mailbox of the '
                   'account same@127.0.0.1 again (the same server address, port and user); it is '
                   'checked once, so this account is not checked.\n')
        evidence = ('pollensift: Warning: Message 20 has the unique id (UIDL) and Message-ID of a '
                    'message of an earlier account, so it may be that very message: it is not '
                    'deleted as a duplicate.\npollensift: Error: Every message of this account has '
                    'the unique id (UIDL) and Message-ID of a message of an earlier account: it '
                    'reaches the same mailbox again, so none of its messages is deleted.\n')
        twice = {
            'localhost': (first.replace('127.0.0.1', 'localhost'), refused % ('same@localhost', port)),
            'user in upper case': (account('SAME', USERS['same'], port),
                                   refused % ('SAME@127.0.0.1', port)),
            'another port': (account('same', USERS['same'], relay.address[1]), evidence),
        }
        for name, (again, line) in twice.items():
            logs = []
            for jobs in ('1', '2'):
                with self.subTest(name, jobs=jobs):
                    self.refill({'same': messages})
                    r = self.pollensift('DEL_DUPLICATES = "yes"\n' + first + again, '-j', jobs)
                    self.assertEqual(len(self.left('same')), 20, r.log)
                    self.assertNotIn('Duplicate', r.log)
                    self.assertIn(line, r.log)
                    self.assertIn('Skipping account %s@' % ('SAME' if 'upper' in name else 'same'),
                                  r.log)
                    self.assertEqual(r.code, 255)
                    logs.append(lines(r.log))
            self.assertEqual(logs[0], logs[1], name)

    def test_a_unique_id_shared_by_chance_spares_one_message(self):
        """Two mailboxes may share a UIDL and a Message-ID by chance (a copy delivered to both,
        numbered alike): that message is not deleted as a duplicate, as it may be itself, and
        the account is checked on; a copy under another UIDL is still a duplicate."""
        heads = ['Subject: x\r\nMessage-ID: <x@x>', 'Subject: y\r\nMessage-ID: <y@x>']
        first = self.fake_server({'messages': heads,
                                  'replies': {'UIDL': '+OK\r\n1 u1\r\n2 u2\r\n.\r\n'}})
        second = self.fake_server({'messages': heads,
                                   'replies': {'UIDL': '+OK\r\n1 u1\r\n2 u9\r\n.\r\n'}})
        rc = 'DEL_DUPLICATES = "yes"\n' + account('u', 'pw', first.port) + account('v', 'pw',
                                                                                   second.port)
        for connection, jobs in ((1, '1'), (2, '2')):
            r = self.pollensift(rc, '-j', jobs)
            self.assertEqual(r.code, 0, r.err)
            self.assertIn('pollensift: Warning: Message 1 has the unique id (UIDL) and Message-ID '
                          'of a message of an earlier account, so it may be that very message: '
                          'it is not deleted as a duplicate.\n', r.log)
            self.assertEqual(first.deleted(connection), [])
            self.assertEqual(second.deleted(connection), [2])

    def test_jobs_of_a_killed_run_send_no_quit(self):
        """SIGKILL to the running process alone, below verbosity 2, where a job sends no line
        before its QUIT: the jobs must end with it, and no QUIT carries out deletions that no log
        shows. Each DELE is answered slowly, so the kill finds both sessions mid-way."""
        heads = ['Subject: lottery %d\r\nMessage-ID: <k%d@x>' % (n, n) for n in range(1, 6)]
        slow = {'DELE %d' % n: ['+OK ', 'slowly\r\n'] for n in range(1, 6)}
        servers = [self.fake_server({'messages': heads, 'replies': slow}) for _ in range(2)]
        rc = self.path('rc')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\nDENY = "^Subject: lottery"\n' % self.path('log') +
                    ''.join(account('u', 'pw', server.port) for server in servers))
        os.chmod(rc, 0o600)
        run = subprocess.Popen([BIN, '-M', rc, '-v', '1', '-j', '2'],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while not all('DELE 1' in server.commands(wait=0) for server in servers):
                self.assertLess(time.monotonic(), deadline, 'no DELE reached both servers')
                self.assertIsNone(run.poll(), 'the run ended before its DELEs')
                time.sleep(0.01)
            run.send_signal(signal.SIGKILL)
        finally:
            run.wait(timeout=30)
        for number, server in enumerate(servers, 1):
            commands = server.commands(wait=20)
            self.assertIn('DELE 1', commands, number)
            self.assertNotIn('QUIT', commands, number)
            self.assertIsNone(server.deleted(), number)

    def test_a_full_tmp_loses_no_line(self):
        """The lines of an account whose turn to be shown has not come are kept back in a spool.
        With /tmp full (a private 16 KiB tmpfs over it, filled) they must still reach the log:
        the spool lies in the log file's directory, here outside /tmp."""
        heads = ['Subject: note %d\r\nMessage-ID: <t%d@x>' % (n, n) for n in range(1, 41)]
        slow = self.fake_server({'messages': heads[:3], 'replies': {'TOP 3 0': [
            '+OK\r\n', 'Subject: slow\r\n\r\n.\r\n']}})
        quick = self.fake_server({'messages': heads})
        work = tempfile.mkdtemp(prefix='ps-e2e-', dir='/var/tmp')
        self.addCleanup(shutil.rmtree, work)
        rc = os.path.join(work, 'rc')
        log = os.path.join(work, 'log')
        with open(rc, 'w') as f:
            f.write('LOGFILE = "%s"\n' % log + account('u', 'pw', slow.port) +
                    account('u', 'pw', quick.port))
        os.chmod(rc, 0o600)
        full_tmp = ('mount -t tmpfs -o size=16k pollensift-full /tmp && '
                    '(head -c 1M /dev/zero > /tmp/fill; true) && exec "$0" "$@"')
        # The binary too must lie outside /tmp, which the tmpfs hides (a checkout may be there).
        binary = os.path.join(work, 'pollensift')
        shutil.copy(BIN, binary)
        r = subprocess.run(['unshare', '-m', 'sh', '-c', full_tmp, binary, '-M', rc, '-v', '5',
                            '-j', '2'], capture_output=True, timeout=60)
        self.assertTrue(os.path.exists(log), (r.returncode, r.stderr))
        with open(log) as f:
            logged = f.read()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('Summary for u@127.0.0.1: 3 message(s) examined', logged)
        self.assertIn('Summary for u@127.0.0.1: 40 message(s) examined', logged)
        self.assertEqual(logged.count('pollensift: Message '), 43, logged)

    def test_a_failure_while_reading_ahead_withdraws_as_one_job(self):
        """DEL_DUPLICATES without pipelining: the second account reads ahead while the slow first
        one is checked, and its server drops the connection at TOP 6. One after another, the
        DELE of message 3 went out before TOP 4, and the session is withdrawn with RSET and a
        line that says so; the jobs must give the same lines."""
        slow = self.fake_server({'messages': ['Subject: a\r\nMessage-ID: <a@x>',
                                              'Subject: b\r\nMessage-ID: <b@x>'],
                                 'replies': {'TOP 2 0': ['+OK\r\n', 'Subject: b\r\n',
                                                         'Message-ID: <b@x>\r\n\r\n.\r\n']}})
        heads = ['Subject: note %d\r\nMessage-ID: <c%d@x>' % (n, n) for n in range(1, 9)]
        heads[2] = heads[2].replace('note', 'lottery')
        cut = self.fake_server({'messages': heads, 'cut': {'command': 'TOP 6 0', 'bytes': 30}})
        rc = ('DEL_DUPLICATES = "yes"\nPIPELINING = "no"\nDENY = "^Subject: lottery"\n' +
              account('u', 'pw', slow.port) + account('v', 'pw', cut.port))
        one = self.pollensift(rc, '-v', '5')
        many = self.pollensift(rc, '-v', '5', '-j', '2')
        self.assertIn('pollensift: Error: No message of this session is deleted: it ends with RSET '
                      'and without QUIT, so the server keeps the 1 message(s) marked for '
                      'deletion.\n', one.log)
        self.assertEqual(lines(one.log), lines(many.log))
        self.assertEqual((one.out, one.err, one.code), (many.out, many.err, many.code))

    def test_a_session_that_waits_its_turn_is_kept_alive(self):
        """With DEL_DUPLICATES an account reads its headers ahead, then waits, logged in, for the
        slow account before it; a server that logs out a session silent for 3 s must not end
        it. The wait sends NOOP at an interval of TIMEOUT (2 s here), and the run is the one
        job's."""
        heads = ['Subject: a%d\r\nMessage-ID: <a%d@x>' % (n, n) for n in range(1, 21)]
        slow = self.fake_server({'messages': heads, 'replies': {
            'TOP %d 0' % n: ['+OK\r\n', heads[n - 1] + '\r\n\r\n.\r\n'] for n in range(1, 21)}})
        waiting = self.fake_server({'messages': ['Subject: lottery\r\nMessage-ID: <b1@x>',
                                                 'Subject: b2\r\nMessage-ID: <b2@x>'],
                                    'autologout': 3})
        rc = ('TIMEOUT = 2\nDEL_DUPLICATES = "yes"\nDENY = "^Subject: lottery"\n' +
              account('u', 'pw', slow.port) + account('v', 'pw', waiting.port))
        one = self.pollensift(rc)
        many = self.pollensift(rc, '-j', '2')
        self.assertEqual((many.code, many.errors()), (0, []), many.err)
        self.assertEqual(lines(one.log), lines(many.log))
        self.assertEqual(waiting.deleted(2), [1])
        self.assertIn('NOOP', waiting.commands(2))

    def test_a_malformed_message_id_is_told_once_with_jobs(self):
        """The second account reads its headers ahead while the slow first one is checked, and
        parses them twice (once to give its Message-IDs on, once to judge): its warning for a
        Message-ID of the wrong form must still come once, as with one job."""
        slow = self.fake_server({'messages': ['Subject: a\r\nMessage-ID: <a@x>'],
                                 'replies': {'TOP 1 0': ['+OK\r\n', 'Subject: a\r\n',
                                                         'Message-ID: <a@x>\r\n\r\n.\r\n']}})
        bad = self.fake_server({'messages': ['Subject: b\r\nMessage-ID: no-brackets@x',
                                             'Subject: c\r\nMessage-ID: <c@x>']})
        rc = 'DEL_DUPLICATES = "yes"\n' + account('u', 'pw', slow.port) + account('v', 'pw', bad.port)
        one = self.pollensift(rc, '-v', '4')
        many = self.pollensift(rc, '-v', '4', '-j', '2')
        self.assertEqual([l for l in lines(one.log) if 'Message-ID' in l], [
            'pollensift: Warning: Message 1 (From: , Subject: b) has a Message-ID of the wrong '
            'form; -i (--ignore-time-stamps) accepts such IDs.'])
        self.assertEqual(lines(one.log), lines(many.log))
        self.assertEqual((one.code, one.err), (0, ''))

    def test_sigterm_ends_every_session_without_quit(self):
        count = 300
        for user in ('stop1', 'stop2'):
            for n in range(count):
                self.server.deliver(user, PILLS.replace(b'Message-ID: <',
                                                        b'Message-ID: <%s%d.' % (user.encode(), n)))
        # With DEL_DUPLICATES the second account waits, logged in, for the first to be done: the
        # signal finds both sessions open.
        code, out = self.terminated_after_first_dele(
            'DEL_DUPLICATES = "yes"\nDENY = "^Subject:.*cheap pills"\n' +
            account('stop1', USERS['stop1'], self.server.port) +
            account('stop2', USERS['stop2'], self.server.port), '-j', '2')
        self.assertEqual(code, 255)
        self.assertNotIn(b'Wrote: QUIT', out)
        with open(self.path('log')) as f:
            logged = STAMP.sub('', f.read())
        undone = re.search(r'\npollensift: Error: Program abort due to signal 15\.\n'
                           r'pollensift: (\d+) deletion\(s\) logged for the interrupted account '
                           r'are not carried out, since no QUIT was sent: the server keeps those '
                           r'messages\.\n$', logged)
        self.assertIsNotNone(undone, logged[-300:])
        # Each account's lines together, in rc order: the second querying line comes after every
        # line of the first session.
        first, _, second = logged.partition('querying stop2@')
        self.assertIn('querying stop1@', first)
        self.assertNotIn('stop1', second)
        # Counts all the sessions' deletions: at least those sent, at most those condemned.
        self.assertGreaterEqual(int(undone.group(1)), logged.count('Debugging: Wrote: DELE '))
        self.assertLessEqual(int(undone.group(1)), logged.count('pollensift: Deny: '))
        for user in ('stop1', 'stop2'):
            self.assertEqual(len(self.ids_left(user)), count, user + ': no QUIT, nothing deleted')

    def test_reading_ahead_gives_the_lines_of_one_job(self):
        """Below verbosity 6 an account that waits for the accounts before it reads its headers
        ahead and judges them when its turn comes. The first account comes over a slow link, so
        that the others read ahead; the second one's server closes the connection in the middle
        of its fifth header, and that failure's lines must still follow the verdicts of the
        four headers read before it."""
        boxes = corpus_mail()
        relay = slowlink.DelayRelay(('127.0.0.1', self.server.port), 10)
        self.addCleanup(relay.close)
        headers = ['From: a@example.org\r\nSubject: note %d\r\nMessage-ID: <n%d@example.org>' %
                   (n, n) for n in range(1, 9)]
        headers[2] = headers[2].replace('note', 'lottery')
        cut = self.fake_server({'messages': headers, 'capa': ['TOP', 'PIPELINING'],
                                'cut': {'command': 'TOP 5 0', 'bytes': 30}})
        accounts = (account('m1', USERS['m1'], relay.address[1]) + account('cut', 'pw', cut.port) +
                    ''.join(account(user, USERS[user], self.server.port)
                            for user in MAILBOXES[1:]))
        rc = 'DEL_DUPLICATES = "yes"\n' + RULES + accounts
        one, left_one = self.one_and_many(boxes, rc, '-v', '5', '-r')
        # The cut account judged four messages, then failed; duplicates were deleted elsewhere.
        cut_lines = one.log.partition('querying cut@')[2].partition('querying m2@')[0]
        self.assertIn('Message 4 of 8', cut_lines)
        self.assertNotIn('Message 5 of 8', cut_lines)
        self.assertLess(cut_lines.index('Message 4 of 8'),
                        cut_lines.index('closed the connection in the middle of a reply'))
        self.assertIn('Duplicate', one.log)
        self.assertLess(len(left_one['m5']), len(boxes['m5']) // 2)
