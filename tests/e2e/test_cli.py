"""The command line, start-up and exit statuses, through the built binary."""

import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("POLLENSIFT_BIN", "pollensift")

HELP = (
    "pollensift filters e-mail and removes spam in one or many POP accounts.\n"
    "\n"
    "Usage: pollensift [OPTION]...\n"
    "       pollensift [OPTION]... --judge PATH...\n"
    "       pollensift [OPTION]... --quarantine\n"
    "       pollensift [OPTION]... --release FILE...\n"
    "       pollensift [OPTION]... --learn-spam|--learn-ham PATH...\n"
    "\n"
    "If a long option shows an argument as mandatory, then \n"
    "it is mandatory for the equivalent short option also.\n"
    "\n"
    "Options:\n"
    "  -h, --help                 Display this help information\n"
    "  -L, --logfile=FILE         Specify logfile location\n"
    "  -M, --pollensiftrc=FILE    Specify rcfile location (default ~/.pollensiftrc)\n"
    "  -r, --return-value         Enable additional return values\n"
    "  -s, --skip-ssl-verify      Skip verification of SSL certificates "
    "(Do not use unless you know better!)\n"
    "  -t, --test                 Simulate deletes\n"
    "  -i, --ignore-time-stamps   Ignore invalid Message-ID time stamps "
    "(Do not use unless you know better!)\n"
    "  -v, --verbose=LEVEL        Specify level of verbosity (0 to 6, default 3)\n"
    "  -V, --version              Display version information\n"
    "  -j, --jobs=N               Check up to N accounts at the same time (default 1)\n"
    "  -n, --check                Check the rcfile and show what it configures; contact no server\n"
    "      --check-commands       The same, also running the rcfile's backquoted commands\n"
    "      --judge PATH...        Judge saved mail (a message file, a Maildir, an mbox file, or -\n"
    "                             for standard input) with the rules; contact no server\n"
    "      --quarantine           List the messages that QUARANTINE holds, newest first\n"
    "      --release FILE...      Write quarantined messages to standard output as an mbox\n"
    "      --remove               With --release: then take each released message out of the\n"
    "                             quarantine\n"
    "      --probe                Ask each server what it offers and suggest PROTOCOL, PORT\n"
    "                             and AUTH; send no user name or password\n"
    "      --account=USER@SERVER  With --probe or --quarantine: only that account\n"
    "      --since=DATE           With --quarantine: only messages held from DATE (YYYY-MM-DD)\n"
    "      --learn-spam PATH...   Learn saved mail (as --judge reads it) as spam, into LEARN_FILE\n"
    "      --learn-ham PATH...    Learn saved mail as wanted mail (ham), into LEARN_FILE\n"
    "      --unlearn-spam PATH... Take back messages learned as spam\n"
    "      --unlearn-ham PATH...  Take back messages learned as ham\n"
    "      --stats                With a run or --judge: end with how many messages each rule\n"
    "                             decided and matched, and the rules that never matched\n"
    "      --dnsbl                With --judge: ask the DNSBL lists of the rc file too\n"
    "\n"
    "See pollensift(1) and pollensiftrc(5) for the details.\n"
    "Report bugs to <pollensift-bugs@lists.pollensift.org>.\n"
)


def run(args, env=None, timeout=30):
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    p = subprocess.run([BIN] + args, capture_output=True, text=True, env=full_env,
                       timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def read(path):
    with open(path) as f:
        return f.read()


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.home = self.dir.name

    def path(self, name):
        return os.path.join(self.home, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        os.chmod(self.path(name), 0o600)  # some hold a password
        return self.path(name)

    def test_help_and_version_texts(self):
        rows = [
            (["-h"], HELP),
            (["--help"], HELP),
            (["--he"], HELP),
            (["-h", "-V"], HELP),
            (["-V", "-h"], None),
            (["--version"], None),
            (["-t", "-V", "--no-such-option"], None),
        ]
        for args, expected in rows:
            with self.subTest(args=args):
                code, out, err = run(args)
                self.assertEqual(code, 0)
                self.assertEqual(err, "")
                if expected is None:
                    lines = out.split("\n")
                    self.assertEqual(lines[0], "pollensift 0.8.9")
                    self.assertEqual(len(lines), 12, out)
                    self.assertEqual(lines[6], "")
                    self.assertTrue(lines[7])
                    self.assertEqual(lines[8:10], [
                        "License GPL-3.0-or-later: GNU GPL version 3 or later "
                        "<https://gnu.org/licenses/gpl.html>.",
                        "There is NO WARRANTY, to the extent permitted by law."])
                    self.assertEqual(lines[10:], ["", ""])
                else:
                    self.assertEqual(out, expected)

    def test_version_names_what_the_build_supports(self):
        home = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, home)
        code, out, err = run(["--version"], env={"HOME": home})
        self.assertEqual((code, err), (0, ""))
        # The library the binary runs with, as the openssl command of the same system names it.
        library = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout
        library = library.split("(Library: ")[-1].rstrip(")\n") if "Library" in library else \
            library.strip()
        self.assertEqual(out.split("\n")[1:6], [
            "TLS library: " + library,
            "Rule engine: RE2, and the C library's POSIX regex (glibc %s) for rules RE2 cannot "
            "take" % os.confstr("CS_GNU_LIBC_VERSION").split()[1],
            "Login methods: USER/PASS, APOP, AUTH PLAIN, AUTH XOAUTH2, AUTH OAUTHBEARER",
            "Protocols: POP3, APOP, POP3/SSL, APOP/SSL, POP3/STLS, APOP/STLS",
            "Default rcfile: %s/.pollensiftrc, else %s/_pollensiftrc" % (home, home),
        ])

    def test_bad_options(self):
        rows = [
            (["-x"], "invalid option -- 'x'"),
            (["--bogus"], "unrecognized option '--bogus'"),
            (["-v"], "option requires an argument -- 'v'"),
            (["--logfile"], "option '--logfile' requires an argument"),
        ]
        for args, diagnostic in rows:
            with self.subTest(args=args):
                code, out, err = run(args)
                self.assertEqual(code, 255)
                self.assertEqual(out, "")
                self.assertEqual(err, f"{BIN}: {diagnostic}\nTry '{BIN} --help' for more information.\n")

    def test_usage_errors_contact_nothing(self):
        # A listening port that must never see a connection: usage errors come first.
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.setblocking(False)
        port = listener.getsockname()[1]
        rc = self.write("rc", f'SERVER = "127.0.0.1"\nUSER = "ann"\nPASS = "x"\n'
                              f'PROTOCOL = "POP3"\nPORT = {port}\n')
        log = self.path("log")
        level = "LEVEL is a whole number from 0 to 6."
        rows = [
            (["-M", rc, "-v", "-t"], f"Invalid verbosity level '-t': {level}"),
            (["-M", rc, "-v", "abc"], f"Invalid verbosity level 'abc': {level}"),
            (["-M", rc, "-v", ""], f"Invalid verbosity level '': {level}"),
            (["-M", rc, "-v", "-1"], f"Invalid verbosity level '-1': {level}"),
            (["-M", rc, "-v", "7"], f"Invalid verbosity level '7': {level}"),
            (["-M", rc, "--verbose=3x"], f"Invalid verbosity level '3x': {level}"),
            (["-M", rc, "-v", "+3"], f"Invalid verbosity level '+3': {level}"),
            (["-t", "my.rc"],
             "Unexpected argument 'my.rc' (not an option); to read it as the rcfile, "
             "use -M 'my.rc'."),
            (["-M", rc, "a b", "-t", "c"],
             "Unexpected arguments 'a b', 'c' (not options); to read an rcfile, use -M FILE."),
            (["-M", rc, "--", "-t"],
             "Unexpected argument '-t' (not an option); to read it as the rcfile, use -M '-t'."),
        ]
        for args, message in rows:
            with self.subTest(args=args):
                code, out, err = run(["-L", log] + args, env={"HOME": self.home})
                self.assertEqual((code, out), (255, ""))
                self.assertEqual(err, f"pollensift: Error: {message}\n"
                                      f"Try '{BIN} --help' for more information.\n")
        with self.assertRaises(BlockingIOError):
            listener.accept()
        self.assertFalse(os.path.exists(log))
        # Levels that are whole numbers from 0 to 6 are taken, leading zeros included.
        for level in ("0", "6", "03"):
            with self.subTest(level=level):
                code, _, err = run(["-M", self.write("empty", "# none\n"), "-L", log, "-v", level])
                self.assertEqual((code, err), (0, ""))

    def test_startup_failures(self):
        empty_rc = self.write("rc", "# nothing configured\n")
        log = self.path("log")
        rows = [
            (["-M", self.path("missing")], "pollensift: Error: The rcfile could not be opened.\n"
             f"pollensift: '{self.path('missing')}': No such file or directory.\n"),
            (["-M", empty_rc], "pollensift: Error: Could not locate log file.\n"
             "pollensift: Set LOGFILE in the rcfile or use -L FILE.\n"),
            (["-M", empty_rc, "-v", "0"], "pollensift: Error: Could not locate log file.\n"
             "pollensift: Set LOGFILE in the rcfile or use -L FILE.\n"),
            (["-M", empty_rc, "-L", self.path("no/such/dir/log")],
             f"pollensift: Error: Could not open log file '{self.path('no/such/dir/log')}' for writing.\n"
             f"pollensift: The log file '{self.path('no/such/dir/log')}' cannot be opened: "
             "No such file or directory.\n"),
            (["-M", empty_rc, "-L", self.path("no/dir/\x1b[2Jlog")],
             f"pollensift: Error: Could not open log file '{self.path('no/dir/')}\\x1b[2Jlog' for writing.\n"
             f"pollensift: The log file '{self.path('no/dir/')}\\x1b[2Jlog' cannot be opened: "
             "No such file or directory.\n"),
            (["-M", self.path("missing"), "-L", log],
             "pollensift: Error: The rcfile could not be opened.\n"
             f"pollensift: '{self.path('missing')}': No such file or directory.\n"),
        ]
        for args, message in rows:
            with self.subTest(args=args):
                code, out, err = run(args, env={"HOME": self.home})
                self.assertEqual((code, out, err), (255, "", message))
        self.assertFalse(os.path.exists(log), "no log before the rc file is read")

    def test_empty_account_list_succeeds(self):
        rc = self.write("rc", "\n   # only a comment\n\n")
        for extra in ([], ["-r"], ["--return-value", "-t"]):
            with self.subTest(extra=extra):
                code, out, err = run(["-M", rc, "-L", self.path("log")] + extra)
                self.assertEqual((code, out, err), (0, "", ""))
        self.assertEqual(read(self.path("log")), "")

    def test_home_lookup_order(self):
        self.write("_pollensiftrc", "# second\n")
        code, _, err = run(["-L", self.path("log")], env={"HOME": self.home})
        self.assertEqual((code, err), (0, ""))
        self.write(".pollensiftrc", "this is no statement\n")
        code, _, err = run(["-L", self.path("log"), "-M", ""], env={"HOME": self.home})
        self.assertEqual(code, 255, "the dot file is read first")
        env = dict(os.environ)
        env.pop("HOME", None)
        p = subprocess.run([BIN, "-L", self.path("log")], capture_output=True, text=True, env=env)
        self.assertEqual((p.returncode, p.stderr),
                         (255, "pollensift: Error: The rcfile could not be opened.\n"
                               "pollensift: HOME is not set, so there is no default rcfile; "
                               "name one with -M.\n"))

    def test_second_rcfile_option_counts(self):
        good = self.write("good", "# fine\n")
        code, _, err = run(["-M", self.path("missing"), "-M", good, "-L", self.path("log")])
        self.assertEqual((code, err), (0, ""))

    def test_command_line_wins_over_rc_file(self):
        log_rc = self.path("rc.log")
        log_cli = self.path("cli.log")
        rc = self.write("rc", f'LOGFILE = "{log_rc}"\nVERBOSE = 0\nTEST = "no"\n'
                              'SERVER = "127.0.0.1"\nUSER = "ann"\nPASS = "x"\n'
                              'PROTOCOL = "POP3"\nPORT = 1\n')
        code, out, err = run(["-M", rc, "-L", log_cli, "-v", "3", "-v", "6", "-t"])
        self.assertEqual(code, 255)
        self.assertFalse(os.path.exists(log_rc))
        logged = read(log_cli)
        self.assertEqual(logged, out + err)
        self.assertIn(" pollensift: 0.8.9 querying ann@127.0.0.1.", out)
        self.assertNotIn("Debugging", out, "-v 3 came first")
        self.assertIn(" pollensift: Error: Skipping account ann@127.0.0.1 due to earlier errors.",
                      err)

    def test_interrupt_after_startup(self):
        # SIGTERM is what cron, systemd and kill send: it ends the run like SIGINT.
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signal_number.name):
                self.interrupt_a_waiting_run(signal_number)

    def interrupt_a_waiting_run(self, signal_number):
        # A server that accepts the connection and never says anything keeps pollensift waiting.
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(15)
        port = listener.getsockname()[1]
        rc = self.write("rc", f'SERVER = "127.0.0.1"\nUSER = "ann"\nPASS = "x"\n'
                              f'PROTOCOL = "POP3"\nTIMEOUT = 20\nPORT = {port}\n')
        log = self.path("log")
        with open(log, "w") as f:
            f.write("earlier run\n")
        p = subprocess.Popen([BIN, "-M", rc, "-L", log], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        try:
            conn, _ = listener.accept()
            self.addCleanup(conn.close)
            time.sleep(0.2)
            p.send_signal(signal_number)
            out, err = p.communicate(timeout=10)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(p.returncode, 255)
        line = f"pollensift: Error: Program abort due to signal {int(signal_number)}.\n"
        # No DELE had gone out: the line after it says so.
        undone = "pollensift: No deletion of the interrupted account is left undone.\n"
        self.assertTrue(out.endswith("\n" + line + undone), out)
        logged = read(log).splitlines(keepends=True)
        self.assertEqual(len(logged), 4, logged)
        self.assertEqual(logged[0], "earlier run\n")
        for stamped, text in ((logged[2], line), (logged[3], undone)):
            self.assertRegex(stamped, r"^[A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ")
            self.assertEqual(stamped[16:], text)
        # The handler computes the time stamp itself: it must agree with the one before it.
        self.assertEqual(logged[2][:6], logged[1][:6])


if __name__ == "__main__":
    unittest.main()
