"""Installation with cmake --install and the Debian package built with CPack."""

import os
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ.get("POLLENSIFT_BIN", "pollensift")
BUILD = os.environ.get("POLLENSIFT_BUILD_DIR", "")
CMAKE = os.environ.get("POLLENSIFT_CMAKE", "cmake")
CPACK = os.environ.get("POLLENSIFT_CPACK", "cpack")
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

EXAMPLES = ["cron.example", "pollensift.service", "pollensift.timer"]
if os.path.exists(os.path.join(ROOT, "doc", "pollensiftrc.example")):
    EXAMPLES.append("pollensiftrc.example")


def installed_files(prefix):
    """The files an install under prefix must give, relative to the file-system root."""
    prefix = prefix.strip("/")
    files = [prefix + "/bin/pollensift",
             prefix + "/share/man/man1/pollensift.1.gz",
             prefix + "/share/man/man5/pollensiftrc.5.gz",
             prefix + "/share/doc/pollensift/copyright",
             prefix + "/share/doc/pollensift/changelog.gz"]
    files += [prefix + "/share/doc/pollensift/examples/" + name for name in EXAMPLES]
    return sorted(files)


def files_under(top):
    found = []
    for directory, _, names in os.walk(top):
        for name in names:
            found.append(os.path.relpath(os.path.join(directory, name), top))
    return sorted(found)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)


def program_version():
    """The version the binary prints, which the package must carry."""
    return run([BIN, "--version"]).stdout.split()[1]


@unittest.skipUnless(BUILD, "POLLENSIFT_BUILD_DIR names no build tree")
class Install(unittest.TestCase):
    def test_install_into_destdir_honours_the_prefix(self):
        for prefix in ["/usr", "/opt/pollensift"]:
            with self.subTest(prefix=prefix), tempfile.TemporaryDirectory() as destdir:
                p = run([CMAKE, "--install", BUILD, "--prefix", prefix],
                        env=dict(os.environ, DESTDIR=destdir))
                self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                self.assertEqual(files_under(destdir), installed_files(prefix))
                installed = os.path.join(destdir, prefix.strip("/"), "bin", "pollensift")
                self.assertTrue(os.access(installed, os.X_OK))
                self.assertEqual(run([installed, "--version"]).returncode, 0)
                examples = os.path.join(destdir, prefix.strip("/"), "share", "doc", "pollensift",
                                        "examples")
                def read(name):
                    with open(os.path.join(examples, name)) as f:
                        return f.read()
                self.assert_examples_name(prefix + "/bin/pollensift", read)

    def assert_examples_name(self, program, read):
        """The cron and systemd examples run the program where this installation put it."""
        cron = [l for l in read("cron.example").splitlines() if l and not l.startswith("#")]
        self.assertEqual(len(cron), 1, cron)
        self.assertEqual(cron[0].split(None, 5)[5].split()[0], program)
        self.assertIn("\nExecStart=%s -L " % program, read("pollensift.service"))
        for name in ["cron.example", "pollensift.service"]:
            self.assertNotIn("@", read(name).replace("%h", ""), name)

    def test_user_build_has_the_program_and_manuals_only(self):
        """The README's build step: no test and no benchmark is built with the two options."""
        with tempfile.TemporaryDirectory() as tree:
            p = run([CMAKE, "-S", ROOT, "-B", tree, "-DPOLLENSIFT_TESTS=OFF",
                     "-DPOLLENSIFT_BENCHMARKS=OFF"])
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
            # Every target of the tree; with the options, none of the tests or benchmarks.
            p = run([CMAKE, "--build", tree, "--target", "help"])
            targets = {line.split()[-1] for line in p.stdout.splitlines() if line.startswith("...")}
            self.assertIn("pollensift", targets)
            self.assertIn("manual_pages", targets)
            built = [t for t in targets if t.endswith(("_test", "_bench")) or
                     t in ("measure", "learn_measure", "floor_client")]
            self.assertEqual(built, [])
            with open(os.path.join(tree, "CTestTestfile.cmake")) as f:
                self.assertNotIn("subdirs(\"tests\")", f.read())


class Licence(unittest.TestCase):
    def test_copying_is_the_gpl_3_and_the_copyright_file_names_it(self):
        with open(os.path.join(ROOT, "COPYING")) as f:
            copying = f.read()
        self.assertTrue(copying.lstrip().startswith("GNU GENERAL PUBLIC LICENSE\n"
                                                    "                       Version 3, 29 June 2007"))
        if os.path.exists("/usr/share/common-licenses/GPL-3"):
            with open("/usr/share/common-licenses/GPL-3") as f:
                self.assertEqual(copying, f.read())
        with open(os.path.join(ROOT, "cmake", "debian", "copyright")) as f:
            copyright = f.read()
        self.assertIn("\nLicense: GPL-3.0-or-later\n", copyright)
        self.assertIn("/usr/share/common-licenses/GPL-3", copyright)
        notice = run([BIN, "--version"]).stdout
        self.assertIn("License GPL-3.0-or-later: GNU GPL version 3 or later", notice)


@unittest.skipUnless(BUILD, "POLLENSIFT_BUILD_DIR names no build tree")
@unittest.skipUnless(shutil.which("dpkg-deb"), "no dpkg-deb on this machine")
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        p = run([CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                 "-B", cls.work.name])
        if p.returncode != 0:
            cls.work.cleanup()
            raise AssertionError("cpack failed:\n" + p.stdout + p.stderr)
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        cls.deb = os.path.join(cls.work.name,
                               "pollensift_%s_%s.deb" % (program_version(), arch))

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_package_has_the_debian_name_and_control_fields(self):
        self.assertTrue(os.path.exists(self.deb), os.listdir(self.work.name))
        fields = {}
        for field in ["Package", "Version", "Architecture", "Maintainer", "Depends",
                      "Description", "Section"]:
            fields[field] = run(["dpkg-deb", "--field", self.deb, field]).stdout.strip()
        self.assertEqual(fields["Package"], "pollensift")
        self.assertEqual(fields["Version"], program_version())
        self.assertRegex(fields["Maintainer"], r"^[^<>]+ <[^@<>]+@[^@<>]+>$")
        self.assertEqual(fields["Section"], "mail")
        depends = [d.strip().split()[0] for d in fields["Depends"].split(",")]
        self.assertIn("libssl3", depends)
        self.assertIn("libc6", depends)
        self.assertEqual(len(depends), len(set(depends)), fields["Depends"])
        self.assertRegex(fields["Description"], r"^delete unwanted mail .*\n .{20,}")
        info = run(["dpkg-deb", "--info", self.deb])
        self.assertEqual(info.returncode, 0, info.stderr)

    def test_package_examples_name_usr_bin(self):
        def read(name):
            tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", self.deb], capture_output=True,
                                 check=True, timeout=60).stdout
            return subprocess.run(["tar", "-xO", "./usr/share/doc/pollensift/examples/" + name],
                                  input=tar, capture_output=True, check=True,
                                  timeout=60).stdout.decode()
        Install.assert_examples_name(self, "/usr/bin/pollensift", read)

    def test_package_contents_are_the_installed_files(self):
        p = run(["dpkg-deb", "--contents", self.deb])
        self.assertEqual(p.returncode, 0, p.stderr)
        entries = [line.split()[-1] for line in p.stdout.splitlines()]
        files = sorted(e[2:] for e in entries if not e.endswith("/"))
        self.assertEqual(files, installed_files("/usr"))
        for line in p.stdout.splitlines():
            self.assertIn(" root/root ", line)

    def test_lintian_finds_no_error(self):
        if not shutil.which("lintian"):
            self.skipTest("no lintian on this machine (scripts/install-deps.sh installs it)")
        p = run(["lintian", self.deb])
        errors = [line for line in p.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], p.stdout + p.stderr)
        # Status 1 is lintian failing to check the package at all.
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)

    def test_changelog_names_the_program_version(self):
        with open(os.path.join(ROOT, "cmake", "debian", "changelog")) as changelog:
            first = changelog.readline()
        self.assertTrue(first.startswith("pollensift (%s) " % program_version()), first)

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "installing needs root")
    def test_package_installs_runs_and_removes(self):
        status = run(["dpkg-query", "-W", "-f=${Status}", "pollensift"]).stdout
        if "installed" in status.split():
            self.skipTest("pollensift is installed on this machine already; leaving it alone")
        try:
            p = run(["dpkg", "-i", self.deb])
            self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
            version = run(["pollensift", "--version"], env=dict(os.environ, PATH="/usr/bin"))
            self.assertEqual(version.returncode, 0, version.stderr)
            self.assertEqual(version.stdout.splitlines()[0], "pollensift " + program_version())
            # A check without its tool shows as skipped; the rest of the test goes on.
            with self.subTest("manual pages"):
                if not shutil.which("man"):
                    self.skipTest("no man on this machine: the installed pages are not looked up")
                for page in ["pollensift", "pollensiftrc"]:
                    where = run(["man", "-w", page])
                    self.assertEqual(where.returncode, 0, where.stderr)
                    self.assertTrue(where.stdout.startswith("/usr/share/man/"), where.stdout)
            with self.subTest("systemd units"):
                self.verify_units()
        finally:
            removed = run(["dpkg", "-r", "pollensift"])
        self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
        self.assertFalse(os.path.exists("/usr/bin/pollensift"))

    def verify_units(self):
        """With the package installed, systemd accepts the shipped user units as they are."""
        if not shutil.which("systemd-analyze"):
            self.skipTest("no systemd-analyze on this machine: the units are not verified")
        examples = "/usr/share/doc/pollensift/examples/"
        with tempfile.TemporaryDirectory() as runtime:
            os.chmod(runtime, 0o700)
            p = run(["systemd-analyze", "verify", "--user", examples + "pollensift.service",
                     examples + "pollensift.timer"],
                    env=dict(os.environ, XDG_RUNTIME_DIR=runtime))
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)


if __name__ == "__main__":
    unittest.main()
