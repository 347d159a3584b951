"""A malformed rc file through the built binary: exact message, status 255, no log written."""

import os
import socket
import subprocess
import tempfile
import unittest

BIN = os.environ.get("POLLENSIFT_BIN", "pollensift")


class MalformedRcFile(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def run_rc(self, rc_text, extra_args=()):
        rc = self.write("rc", rc_text)
        env = dict(os.environ, HOME=self.dir.name)
        p = subprocess.run([BIN, "-M", rc, *extra_args], capture_output=True, env=env,
                           timeout=30)
        return p.returncode, p.stdout, p.stderr

    def test_errors_end_before_the_log_is_opened(self):
        log = self.path("pollensift.log")
        rows = [
            ("lexical error",
             b'LOGFILE = "%s"\nVERBOSE = 6 # six\n' % log.encode(),
             b"pollensift: Error: Lexicographical error in line 2 of your main rcfile.\n"
             b"pollensift: The term '#' could not be interpreted.\n"
             b"pollensift:     VERBOSE = 6 # six\n"
             b"pollensift:                 ^\n"
             b"pollensift: A comment must stand on a line of its own, with '#' as its first "
             b"character other than blanks.\n"),
            ("grammar error",
             b'LOGFILE = "%s"\nTEST = yes\n' % log.encode(),
             b"pollensift: Error: syntax error, unexpected yes or no without double quotes,"
             b" expecting a value in double quotes in main rcfile in line 2.\n"),
            ("failed command substitution",
             b'LOGFILE = "%s"\nPASS = "`true\'"\n' % log.encode(),
             b"pollensift: Error: The command `true' printed nothing; a value in backquotes is "
             b"the first line the command prints.\n"),
            ("lone carriage return shown escaped",
             b'LOGFILE = "%s"\nVERBOSE = 5\rVERBOSE = 4\n' % log.encode(),
             b"pollensift: Error: Lexicographical error in line 2 of your main rcfile.\n"
             b"pollensift: The term '\\x0d' could not be interpreted.\n"
             b"pollensift:     VERBOSE = 5\\x0dVERBOSE = 4\n"
             b"pollensift:                ^\n"),
        ]
        for name, rc_text, expected in rows:
            for existing_log in (False, True):
                with self.subTest(name, existing_log=existing_log):
                    if existing_log:
                        self.write("pollensift.log", b"earlier run\n")
                    elif os.path.exists(log):
                        os.remove(log)
                    code, out, err = self.run_rc(rc_text)
                    self.assertEqual(err, expected)
                    self.assertEqual(out, b"")
                    self.assertEqual(code, 255)
                    if existing_log:
                        with open(log, "rb") as f:
                            self.assertEqual(f.read(), b"earlier run\n")
                    else:
                        self.assertFalse(os.path.exists(log))

    def test_errors_and_warnings_that_name_their_cause(self):
        rc = self.path("rc")
        log = self.path("log")
        head = b'LOGFILE = "%s"\n' % log.encode()
        main = "your main rcfile '%s'" % rc
        rows = [
            ("misspelt keyword", head + b'PASSWORD = "x"\n', 255,
             "pollensift: Error: Lexicographical error in line 2 of your main rcfile.\n"
             "pollensift: The term 'W' could not be interpreted.\n"
             "pollensift:     PASSWORD = \"*****\"\n"
             "pollensift:         ^\n"
             "pollensift: 'PASSWORD' is not a keyword; did you mean PASS?\n"),
            ("comment after a quoted value", head + b'DENY = "secret" # mine\n', 255,
             "pollensift: Error: A comment follows the value in line 2 of your main rcfile.\n"
             "pollensift:     DENY = \"secret\" # mine\n"
             "pollensift:                     ^\n"
             "pollensift: A comment must stand on a line of its own, with '#' as its first "
             "character other than blanks.\n"),
            ("unknown protocol", head + b'PROTOCOL = "IMAP"\n', 255,
             "pollensift: Error: Only supported protocols are POP3 and APOP (SSL only if OpenSSL "
             "is available).\npollensift: PROTOCOL \"IMAP\" is none of the valid values: "
             "\"POP3\", \"APOP\", \"POP3/SSL\", \"APOP/SSL\", \"POP3/STLS\", \"APOP/STLS\".\n"
             "pollensift: PROTOCOL \"IMAP\" stands in line 2 of %s.\n" % main),
            ("unknown REG_TYPE", head + b'VERBOSE = 3\nREG_TYPE = "perl"\n', 255,
             "pollensift: Error: Regular expressions must either be of type 'extended', or "
             "'basic'.\npollensift: REG_TYPE \"perl\" stands in line 3 of %s.\n" % main),
            ("bad rule under extended syntax",
             head + b'REG_TYPE = "extended"\nDENY = "^Subject: (cheap"\n', 255,
             "pollensift: Error: Unmatched ( or \\(\n"
             "pollensift: Error: Could not compile regular expression (deny).\n"
             "pollensift: The deny rule \"^Subject: (cheap\" in line 3 of %s is not a valid "
             "regular expression: Unmatched ( or \\(.\n" % main),
            ("extended operators in a basic rule", head + b'DENY = "^Subject: (pills|casino)"\n',
             0,
             "pollensift: Warning: The deny rule \"^Subject: (pills|casino)\" in line 2 of %s "
             "uses ( | ), which match themselves in basic regular expressions; if you meant them "
             "as operators, add REG_TYPE = \"extended\".\n" % main),
            ("shell-style command", head + b'VERBOSE = 3\nDENY = "`cat rules`"\n', 0,
             "pollensift: Warning: The value in line 3 of %s begins with a backquote but has no "
             "closing apostrophe, so it is taken as written, not run as a command (write "
             "`command' to run one).\n" % main),
            ("CR LF line ends", head + b'VERBOSE = 4\r\nTEST = "yes"\r\nDENY = "^Subject: x"\r\n', 0, ""),
        ]
        for name, text, status, expected in rows:  # status 0: no account, nothing contacted
            with self.subTest(name):
                if os.path.exists(log):
                    os.remove(log)
                os.chmod(self.write("rc", text), 0o600)
                code, out, err = self.run_file(rc)
                self.assertEqual(err.decode().split("\n")[:expected.count("\n")],
                                 expected.split("\n")[:-1] if expected else [])
                self.assertEqual(code, status)
                if "Warning" in expected:
                    # Warnings reach the log too, once it is open.
                    with open(log) as f:
                        self.assertIn(expected.split("\n")[0], f.read())

    def test_a_password_in_a_line_shown_under_an_error_is_hidden(self):
        secret = "Tok-4e9a s3cret"
        rows = [
            ("comment after the password", 'PASS = "%s" # mine\n' % secret,
             "pollensift: Error: A comment follows the value in line 1 of your main rcfile.\n"
             "pollensift:     PASS = \"*****\" # mine\n"
             "pollensift:                    ^\n"
             "pollensift: A comment must stand on a line of its own, with '#' as its first "
             "character other than blanks.\n"),
            ("password without quotes", "VERBOSE = 3\n  Pass = %s\n" % secret,
             "pollensift: Error: Lexicographical error in line 2 of your main rcfile.\n"
             "pollensift: The term '*****' could not be interpreted.\n"
             "pollensift:       Pass = *****\n"
             "pollensift:              ^\n"
             "pollensift: A text value stands in double quotes: \"*****\".\n"),
            ("misspelt PASS", 'PASWORD = "%s"\n' % secret,
             "pollensift: Error: Lexicographical error in line 1 of your main rcfile.\n"
             "pollensift: The term 'P' could not be interpreted.\n"
             "pollensift:     PASWORD = \"*****\"\n"
             "pollensift:     ^\n"
             "pollensift: 'PASWORD' is not a keyword.\n"),
            ("a word like TOKEN", 'Token = "%s"\n' % secret,
             "pollensift: Error: Lexicographical error in line 1 of your main rcfile.\n"
             "pollensift: The term 'T' could not be interpreted.\n"
             "pollensift:     Token = \"*****\"\n"
             "pollensift:     ^\n"
             "pollensift: 'Token' is not a keyword.\n"),
        ]
        self.assertRefused(rows)

    def test_traps_are_named_with_their_fix(self):
        def lexical(line, term, shown, column, hint):
            return ("pollensift: Error: Lexicographical error in line %d of your main rcfile.\n"
                    "pollensift: The term '%s' could not be interpreted.\n"
                    "pollensift:     %s\n"
                    "pollensift:     %s^\n%s\n" % (line, term, shown, " " * column, hint))
        typographic = ("pollensift: %s is a typographic quote, which the rcfile does not take as "
                       "one; a value stands in plain double quotes: ")
        rows = [
            ("typographic double quotes", 'VERBOSE = 3\nSERVER = “pop.example.org”\n',
             lexical(2, "“", "SERVER = “pop.example.org”", 9,
                     typographic % "“" + 'SERVER = "pop.example.org"')),
            ("typographic single quotes", "DENY = ‘^Subject: x’\n",
             lexical(1, "‘", "DENY = ‘^Subject: x’", 7,
                     typographic % "‘" + 'DENY = "^Subject: x"')),
            ("closing quote first", "USER = ”jo”\n",
             lexical(1, "”", "USER = ”jo”", 7, typographic % "”" + 'USER = "jo"')),
            ("a yes or no in typographic quotes", "TEST = “yes”\n",
             lexical(1, "“", "TEST = “yes”", 7, typographic % "“" + 'TEST = "yes"')),
            ("single quotes", "SERVER = 'pop.example.org'\n",
             lexical(1, "'", "SERVER = 'pop.example.org'", 9,
                     "pollensift: Single quotes are no quotes in the rcfile; a value stands in "
                     'plain double quotes: SERVER = "pop.example.org"')),
            ("a number in single quotes", "TIMEOUT = '60'\n",
             lexical(1, "'", "TIMEOUT = '60'", 10,
                     "pollensift: Single quotes are no quotes in the rcfile; a number stands "
                     "without quotes: TIMEOUT = 60")),
            ("a password in typographic quotes", "PASS = “s3cret”\n",
             lexical(1, "*****", "PASS = *****", 7, typographic % "“" + 'PASS = "*****"')),
            ("byte-order mark", "\ufeffVERBOSE = 3\n",
             lexical(1, "\\xef\\xbb\\xbf", "\ufeffVERBOSE = 3", 0,
                     "pollensift: The file begins with a UTF-8 byte-order mark, which the rcfile "
                     "does not take; save it without one (as UTF-8 without BOM).")),
            ("PORT without a value", 'PORT =\nSERVER = "pop.example.org"\n',
             "pollensift: Error: syntax error, unexpected end of line, expecting a number in "
             "main rcfile in line 1.\n"),
            ("PORT without a value at the end", 'VERBOSE = 3\nPORT =\n',
             "pollensift: Error: syntax error, unexpected end of line, expecting a number in "
             "main rcfile in line 2.\n"),
            ("a value without its closing quote", 'SERVER = "pop\nPORT = 110\n',
             "pollensift: Error: syntax error, unexpected end of line, expecting the closing "
             "double quote or more of the quoted value in main rcfile in line 1.\n"),
        ]
        self.assertRefused(rows)

    def assertRefused(self, rows):
        """Rows of (name, rc text, the whole of standard error)."""
        for name, text, expected in rows:
            with self.subTest(name):
                code, out, err = self.run_rc(text.encode())
                self.assertEqual((code, out), (255, b""))
                self.assertEqual(err.decode(), expected)

    def run_file(self, rc):
        env = dict(os.environ, HOME=self.dir.name)
        p = subprocess.run([BIN, "-M", rc], capture_output=True, env=env, timeout=30)
        return p.returncode, p.stdout, p.stderr

    def test_rc_files_that_cannot_be_read(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        rows = [
            (self.dir.name, "pollensift: '%s' is a directory.\n" % self.dir.name),
            (fifo, "pollensift: '%s' is a FIFO, not a regular file.\n" % fifo),
            (self.path("missing"), "pollensift: '%s': No such file or directory.\n"
             % self.path("missing")),
        ]
        for path, reason in rows:
            with self.subTest(path=path):
                code, out, err = self.run_file(path)
                self.assertEqual((code, out), (255, b""))
                self.assertEqual(err.decode(),
                                 "pollensift: Error: The rcfile could not be opened.\n" + reason)

    def test_include_error_with_log_option(self):
        log = self.path("option.log")
        code, out, err = self.run_rc(b"INCLUDE=%s\n" % self.path("missing.rc").encode(),
                                     ["-L", log])
        self.assertEqual(
            err, b"pollensift: Error: Nested rcfile '%s' could not be opened.\n"
            % self.path("missing.rc").encode())
        self.assertEqual(code, 255)
        self.assertFalse(os.path.exists(log))



class AccountStatementsAfterTheLastPort(unittest.TestCase):
    """A statement of an account that no PORT follows is refused by a run and by a check alike,
    before any server is contacted: a pinned certificate is never silently dropped."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        # A server that must not be contacted.
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(0)
        self.addCleanup(self.listener.close)

    def test_refused_by_a_run_and_by_a_check(self):
        rc = os.path.join(self.dir.name, "rc")
        account = ('LOGFILE = "%s/log"\nTIMEOUT = 2\nSERVER = "127.0.0.1"\nUSER = "jo"\n'
                   'PASS = "pw"\nPROTOCOL = "POP3/SSL"\n' % self.dir.name)
        port = "PORT = %d\n" % self.listener.getsockname()[1]
        rows = [
            ("TLS_FINGERPRINT", 'TLS_FINGERPRINT = "%s"\n' % ("ab:" * 32)[:-1]),
            ("TLS_CA_FILE", 'TLS_CA_FILE = "/etc/ssl/certs/ca-certificates.crt"\n'),
            ("AUTH", 'AUTH = "PLAIN"\n'),
            ("after other statements",
             'DENY = "^Subject: x"\nVERBOSE = 4\nTLS_CA_FILE = "/etc/ssl/certs/ca-certificates.crt"\n'),
        ]
        for name, after in rows:
            # The account's statements take lines 1 to 7; the first one after them counts.
            line = 10 if name == "after other statements" else 8
            expected = ("pollensift: Error: The account 'jo@127.0.0.1' is not completed: no PORT "
                        "statement follows its statements from line %d of your main rcfile "
                        "'%s'.\n" % (line, rc))
            for args in (["--check"], ["-s"], []):
                with self.subTest(name, args=args):
                    with open(rc, "w") as f:
                        f.write(account + port + after)
                    os.chmod(rc, 0o600)
                    p = subprocess.run([BIN, "-M", rc] + args, capture_output=True, text=True,
                                       timeout=30)
                    self.assertEqual((p.returncode, p.stdout, p.stderr), (255, "", expected))
                    with self.assertRaises(BlockingIOError):
                        self.listener.accept()
            # Before the PORT the same statement belongs to the account: the check shows it.
            with open(rc, "w") as f:
                f.write(account + after + port)
            p = subprocess.run([BIN, "-M", rc, "--check"], capture_output=True, text=True,
                               timeout=30)
            self.assertEqual((p.returncode, p.stderr), (0, ""), name)
            self.assertIn("The configuration is usable.", p.stdout)

if __name__ == "__main__":
    unittest.main()
