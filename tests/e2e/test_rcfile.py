"""A malformed rc file through the built binary: exact message, status 255, no log written."""

import os
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

    def test_include_error_with_log_option(self):
        log = self.path("option.log")
        code, out, err = self.run_rc(b"INCLUDE=%s\n" % self.path("missing.rc").encode(),
                                     ["-L", log])
        self.assertEqual(
            err, b"pollensift: Error: Nested rcfile '%s' could not be opened.\n"
            % self.path("missing.rc").encode())
        self.assertEqual(code, 255)
        self.assertFalse(os.path.exists(log))


if __name__ == "__main__":
    unittest.main()
