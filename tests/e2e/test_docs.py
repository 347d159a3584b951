"""The manual pages, the example rc file and the scheduling examples that users install."""

import configparser
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

BIN = os.environ.get("POLLENSIFT_BIN", "pollensift")
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PAGES = [os.path.join(ROOT, "doc", "pollensift.1"), os.path.join(ROOT, "doc", "pollensiftrc.5")]
EXAMPLE_RC = os.path.join(ROOT, "doc", "pollensiftrc.example")

RC_KEYWORDS = [
    "ALLOW", "ALLOW_CASE", "ALLOW_NOCASE", "DENY", "DENY_CASE", "DENY_NOCASE",
    "LOGFILE", "SERVER", "USER", "PASS", "PROTOCOL", "REG_TYPE", "SHOW_HEADERS",
    "HIGHSCORE", "MAXLENGTH", "MAXSIZE_ALLOW", "MAXSIZE_DENY", "MAXSIZE_SCORE", "PORT",
    "SCORE", "SCORE_CASE", "SCORE_NOCASE", "TIMEOUT", "VERBOSE",
    "DEL_DUPLICATES", "NORMAL", "PIPELINING", "REG_CASE", "TEST", "AUTH", "TLS_FINGERPRINT", "TLS_CA_FILE",
    "QUARANTINE", "QUARANTINE_DAYS", "JOBS", "MAX_DELETE",
    "LEARN_MINIMUM",
]


def render(page):
    """The page as plain text, as man shows it, without overstrike."""
    out = subprocess.run(["mandoc", "-T", "ascii", page], capture_output=True, text=True,
                         check=True, timeout=60).stdout
    return re.sub(r".\x08", "", out)


class ManualPages(unittest.TestCase):
    def test_pages_are_lint_clean(self):
        # man on Debian formats with groff, so its warnings count as well as mandoc's.
        checkers = [["mandoc", "-T", "lint", "-W", "warning"]]
        if shutil.which("groff"):
            checkers.append(["groff", "-mdoc", "-ww", "-z"])
        for page in PAGES:
            for checker in checkers:
                with self.subTest(page=os.path.basename(page), checker=checker[0]):
                    p = subprocess.run(checker + [page], capture_output=True, text=True,
                                       timeout=60)
                    self.assertEqual(p.stdout + p.stderr, "")
                    self.assertEqual(p.returncode, 0)

    def test_no_quoted_message_loses_a_word_when_rendered(self):
        # mdoc takes a word such as "No" or "Ns" on a macro line for a macro, which drops it
        # from the page. A message quoted on a line without other markup must render whole.
        escapes = {"\\&": "", "\\(dq": '"', "\\(aq": "'", "\\-": "-", "\\e": "\\"}
        markup = {"Ar", "Cm", "Fl", "Qo", "Qc", "Pq", "Sx", "Xr", "Ql", "Ns", "Pf", "Ap", "Li",
                  "Va", "Ev", "Pa", "Op", "Oo", "Oc", "Em", "Sy", "Dq", "Sq", "Qq"}
        for page in PAGES:
            rendered = " ".join(render(page).split())
            with open(page) as f:
                source = f.read().splitlines()
            checked = 0
            for number, line in enumerate(source, 1):
                m = re.match(r"^\.(?:It Dq|Dq|Dl) (.*)$", line)
                if not m:
                    continue
                words = m.group(1).split()
                # With markup, the words before it.
                marked = [i for i, word in enumerate(words) if word in markup]
                if marked:
                    words = words[:marked[0]]
                if len(words) < 2:
                    continue
                text = " ".join(words)
                for escape, plain in escapes.items():
                    text = text.replace(escape, plain)
                if "\\" in text:
                    continue
                # Punctuation standing alone closes the quotes rather than belonging to them.
                words = text.split()
                while words and re.fullmatch(r"[.,:;?!()\[\]]", words[-1]):
                    words.pop()
                text = " ".join(words)
                checked += 1
                with self.subTest(page=os.path.basename(page), line=number):
                    self.assertTrue(text in rendered, "rendered without a word: " + text)
            self.assertGreater(checked, 10, page)

    def test_the_verdict_field_examples_have_the_fields_real_form(self):
        # The reason is what the "Deny:" line gives in brackets, then the account and the time.
        reasons = [r'"[^"]+" matches "[^"]+"( \(normalised\))?',
                   r'Negative deny rule "[^"]+" did not match', r'Score: -?\d+', r'Duplicate',
                   r'Maxsize_Allow exceeded', r'Maxsize_Deny exceeded',
                   r'"[\w-]+" exceeded maxlength']
        form = re.compile(r'^X-Pollensift-Verdict: (%s) \(\S+@\S+, \d{4}-\d\d-\d\d \d\d:\d\d\)$'
                          % '|'.join(reasons))
        found = 0
        for page in PAGES:
            for line in render(page).splitlines():
                line = line.strip()
                if line.startswith('X-Pollensift-Verdict: '):
                    found += 1
                    self.assertRegex(line, form)
        self.assertGreaterEqual(found, 2)

    def test_every_option_of_the_help_text_is_documented(self):
        help_text = subprocess.run([BIN, "--help"], capture_output=True, text=True,
                                   timeout=30).stdout
        options = re.findall(r"^  (?:-(\w), |    )--([\w-]+)", help_text, re.MULTILINE)
        self.assertEqual(len(options), 25, help_text)
        page = render(PAGES[0])
        for short, long in options:
            with self.subTest(option=long):
                entry = (r"\n {5}-%s.*, --%s\b" % (short, re.escape(long)) if short else
                         r"\n {5}--%s\b" % re.escape(long))
                self.assertTrue(re.search(entry, page), "pollensift(1) lacks --" + long)

    def test_version_matches_the_page_footer(self):
        version = subprocess.run([BIN, "--version"], capture_output=True, text=True,
                                 timeout=30).stdout.splitlines()[0]
        for page in PAGES:
            with self.subTest(page=os.path.basename(page)):
                self.assertIn(version, render(page).splitlines()[-1])

    def test_every_rc_keyword_has_an_entry(self):
        page = render(PAGES[1])
        keywords = page[page.index("\nKEYWORDS\n"):page.index("\nFILES\n")]
        for keyword in RC_KEYWORDS:
            with self.subTest(keyword=keyword):
                entry = r"\n {5}%s[ ={]" % keyword
                self.assertTrue(re.search(entry, keywords), "pollensiftrc(5) lacks " + keyword)


class SchedulingExamples(unittest.TestCase):
    def unit(self, name):
        parser = configparser.ConfigParser(interpolation=None, strict=True)
        parser.optionxform = str
        with open(os.path.join(ROOT, "contrib", name)) as f:
            parser.read_file(f)
        return parser

    def test_service_runs_pollensift_once_with_a_log_file(self):
        service = self.unit("pollensift.service.in")
        self.assertEqual(service["Service"]["Type"], "oneshot")
        command = service["Service"]["ExecStart"].split()
        # The installation writes its bin directory in (test_install checks the result).
        self.assertEqual(command[0], "@bindir@/pollensift")
        self.assertIn("-L", command)
        self.assertNotIn("-r", command)

    def test_timer_repeats_every_few_minutes_and_can_be_enabled(self):
        timer = self.unit("pollensift.timer")
        self.assertRegex(timer["Timer"]["OnUnitActiveSec"], r"^([1-9]|1[0-5])min$")
        self.assertEqual(timer["Install"]["WantedBy"], "timers.target")

    def test_cron_example_has_exactly_one_valid_line(self):
        with open(os.path.join(ROOT, "contrib", "cron.example.in")) as f:
            lines = [l for l in f.read().splitlines() if l.strip() and not l.startswith("#")]
        self.assertEqual(len(lines), 1, lines)
        fields = lines[0].split(None, 5)
        self.assertEqual(len(fields), 6)
        for field, limit in zip(fields[:5], [59, 23, 31, 12, 7]):
            for number in re.findall(r"\d+", field):
                self.assertLessEqual(int(number), limit, lines[0])
            self.assertRegex(field, r"^(\*|\d+)(-\d+)?(/\d+)?(,(\d+)(-\d+)?)*$")
        # cron's PATH is only /usr/bin:/bin: the installation writes its bin directory in.
        self.assertRegex(fields[5], r"^@bindir@/pollensift .*-L ")


@unittest.skipUnless(os.path.exists(EXAMPLE_RC), "no example rc file yet")
class ExampleRcFile(unittest.TestCase):
    """The shipped example must load: every statement in it is read by the real binary."""

    def test_example_is_read_and_every_account_is_tried(self):
        with tempfile.TemporaryDirectory() as home:
            # A port on loopback that refuses connections, so that no account leaves the machine.
            with socket.socket() as closed:
                closed.bind(("127.0.0.1", 0))
                port = closed.getsockname()[1]
                with open(EXAMPLE_RC) as f:
                    text = f.read()
                # A loopback address of its own for each SERVER, so that no two accounts name
                # the same mailbox once the ports are all the same.
                servers = iter(range(1, 255))
                text = re.sub(r'(?im)^([ \t]*SERVER[ \t]*=[ \t]*)".*"[ \t]*$',
                              lambda m: '%s"127.0.0.%d"' % (m.group(1), next(servers)), text)
                text, accounts = re.subn(r"(?im)^([ \t]*PORT[ \t]*=[ \t]*)[-+]?\d+[ \t]*$",
                                         r"\g<1>%d" % port, text)
                rc = os.path.join(home, "rc")
                with open(rc, "w") as f:
                    f.write(text)
                os.chmod(rc, 0o600)  # it holds a password
                log = os.path.join(home, "log")
                p = subprocess.run([BIN, "-t", "-v", "3", "-M", rc, "-L", log],
                                   capture_output=True, text=True, timeout=120,
                                   env=dict(os.environ, HOME=home))
        # Start-up errors carry no time stamp; every account failing to connect is expected.
        startup = [l for l in p.stderr.splitlines() if l.startswith("pollensift")]
        self.assertEqual(startup, [])
        self.assertIn(p.returncode, (0, 255), p.stderr)
        self.assertEqual(len(re.findall(r" querying ", p.stdout)), accounts, p.stdout)


# Wanted mail whose headers an earlier example condemned: relays with private addresses, a
# joined Resent-To field of 2,100 characters, a list message without From. Taken in shape from
# the ham of the public SpamAssassin corpus (bench/example_rc.py judges all 4,150 of them).
HAM = [
    b"Received: from web5 ([10.18.75.10]) by nas1 with Microsoft SMTPSVC(5.0.2195.2966);\n"
    b"\tFri, 20 Sep 2002 11:56:48 -0500\n"
    b"From: The Handango Champion <champion@handango.example>\nTo: ann@example.net\n"
    b"Subject: Personalize your Palm OS device\nDate: Fri, 20 Sep 2002 11:56:46 -0500\n"
    b"Message-ID: <a1@handango.example>\n\nbody\n",
    b"Received: from mx.example.net by mail.example.net; Thu, 11 Jul 2002 20:57:39 +0100\n"
    b"From: \"The Evil Gerald\" <info@gerald.example>\nTo: ann@example.net\n"
    b"Resent-To: " + b",\n\t".join(b"reader%03d@list.example.com" % i for i in range(80)) + b"\n"
    b"Subject: --Breaking News--\nDate: Thu, 11 Jul 2002 20:57:39 +0100\n"
    b"Message-ID: <a2@gerald.example>\n\nbody\n",
    b"Received: from list.example.com ([10.3.1.13]) by mx.example.net; 1 Oct 2002 17:08:13 -0700\n"
    b"To: ann@example.net\nSubject: Re: [Razor-users] razor-revoke\n"
    b"Date: Tue, 01 Oct 2002 17:08:10 -0700\nMessage-ID: <a3@list.example.com>\n"
    b"Precedence: bulk\n\nbody\n",
]
# Spam that the example is there to catch.
SPAM = [
    b"Received: from x by mx.example.net; Tue, 1 Oct 2002 17:08:13 -0700\n"
    b"From: deals@offers.example\nTo: ann@example.net\nSubject: ADV: Lowest rates\n"
    b"Message-ID: <s1@offers.example>\n\nbody\n",
    b"Received: from x by mx.example.net; Tue, 1 Oct 2002 17:08:13 -0700\n"
    b"From: sales@offers.example\nTo: ann@example.net\n"
    b"Subject: =?gb2312?B?xOO6ww==?=\nMessage-ID: <s2@offers.example>\n\nbody\n",
]


@unittest.skipUnless(os.path.exists(EXAMPLE_RC), "no example rc file yet")
class ExampleRcFileRules(unittest.TestCase):
    """Users copy the example: its rules must delete no wanted mail and each says what it is for."""

    def judge(self, messages):
        with tempfile.TemporaryDirectory() as home:
            maildir = os.path.join(home, "Maildir")
            for sub in ("cur", "new", "tmp"):
                os.makedirs(os.path.join(maildir, sub))
            for i, message in enumerate(messages):
                with open(os.path.join(maildir, "cur", "%d.example" % i), "wb") as f:
                    f.write(message)
            p = subprocess.run([BIN, "-v", "3", "-M", EXAMPLE_RC, "--judge", maildir],
                               capture_output=True, text=True, timeout=60,
                               env=dict(os.environ, HOME=home))
            return p.returncode, p.stdout + p.stderr

    def test_wanted_mail_is_kept_and_spam_still_goes(self):
        status, out = self.judge(HAM)
        self.assertEqual(status, 0, out)
        self.assertIn("Judged 3 message(s): 0 would be deleted, 3 kept.", out)
        status, out = self.judge(SPAM)
        self.assertIn("Judged 2 message(s): 2 would be deleted (2 deny rule), 0 kept.", out)

    def test_each_rule_and_limit_has_its_comment(self):
        with open(EXAMPLE_RC) as f:
            lines = f.read().splitlines()
        rule = re.compile(r"^(ALLOW|DENY|SCORE)\w*\s|^(MAXLENGTH|MAXSIZE_\w+)\s")
        for i, line in enumerate(lines):
            if rule.match(line):
                self.assertTrue(lines[i - 1].startswith("#"), "no comment above: " + line)


if __name__ == "__main__":
    unittest.main()
