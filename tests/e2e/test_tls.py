"""POP3/SSL and APOP/SSL against a private Dovecot with a POP3S listener.

The test makes its own root CA, an intermediate CA and a server certificate for the DNS name
"localhost" only, and points OpenSSL's default trust store at its root with SSL_CERT_FILE.
"""

import os
import socket
import subprocess
import tempfile
import time
import unittest
from unittest import mock

import dovecot
from harness import PollensiftTest, fixture_mail

MEETING = fixture_mail('01-meeting.eml')
INVOICE = fixture_mail('02-invoice.eml')
PILLS = fixture_mail('03-pills.eml')
DENY_PILLS = 'DENY = "^Subject:.*cheap pills"\n'

USERS = {name: 'pw-' + name for name in (
    'pop', 'apop', 'byip', 'stranger', 'after', 'late', 'patient')}

VERIFIED = 'pollensift: Debugging: SSL certificate verification successful.'
FAILED = 'pollensift: Debugging: SSL certificate verification failed.'
ACCEPTED = 'pollensift: Debugging: SSL certificate verification failed, but continuing anyway.'
NOT_ESTABLISHED = 'pollensift: Error: SSL connection could not be established.'
NO_CONNECTION = 'pollensift: Error: Could not establish network connection.'
IP_MISMATCH = 'pollensift: Error: SSL connection could not be established: IP address mismatch'
UNTRUSTED = ('pollensift: Error: SSL connection could not be established: '
             'unable to get local issuer certificate')


def openssl(*args, cwd):
    subprocess.run(['openssl'] + list(args), cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(directory):
    """root.pem (trusted), stranger.pem (another root), chain.pem + server.key for Dovecot."""
    def key(name):
        openssl('genpkey', '-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:P-256',
                '-out', name, cwd=directory)

    def ext(name, text):
        with open(os.path.join(directory, name), 'w') as f:
            f.write(text)

    ca_ext = ('basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n'
              'subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid:always\n')
    ext('ca.ext', ca_ext)
    ext('server.ext', 'basicConstraints = critical, CA:FALSE\nsubjectAltName = DNS:localhost\n'
                      'subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid:always\n')
    for root in ('root', 'stranger'):
        key(root + '.key')
        openssl('req', '-x509', '-new', '-key', root + '.key', '-out', root + '.pem', '-days', '2',
                '-subj', '/CN=pollensift %s CA' % root, '-addext',
                'basicConstraints=critical,CA:TRUE', '-addext',
                'keyUsage=critical,keyCertSign,cRLSign', cwd=directory)
    serial = 1
    for name, issuer, extensions in (('intermediate', 'root', 'ca.ext'),
                                     ('server', 'intermediate', 'server.ext')):
        key(name + '.key')
        openssl('req', '-new', '-key', name + '.key', '-out', name + '.csr',
                '-subj', '/CN=pollensift %s' % name, cwd=directory)
        serial += 1
        openssl('x509', '-req', '-in', name + '.csr', '-CA', issuer + '.pem',
                '-CAkey', issuer + '.key', '-set_serial', str(serial), '-days', '2',
                '-extfile', extensions, '-out', name + '.pem', cwd=directory)
    with open(os.path.join(directory, 'chain.pem'), 'w') as chain:
        for name in ('server.pem', 'intermediate.pem'):
            with open(os.path.join(directory, name)) as f:
                chain.write(f.read())


def tls_account(user, host, port, protocol='POP3/SSL', password=None):
    return ('SERVER = "%s"\nUSER = "%s"\nPASS = "%s"\nPROTOCOL = "%s"\nPORT = %d\n'
            % (host, user, USERS.get(user, password), protocol, port))


class TlsDovecotTest(PollensiftTest):
    """A private Dovecot with the test's certificates for the whole class, and the test's root
    as the system's trust store. Subclasses name their USERS and more server options."""
    USERS = {}
    DOVECOT_OPTIONS = {}

    @classmethod
    def setUpClass(cls):
        if not dovecot.available():
            raise unittest.SkipTest('dovecot-pop3d is not installed (scripts/install-deps.sh)')
        cls.pki = tempfile.TemporaryDirectory(prefix='ps-pki-')
        make_certificates(cls.pki.name)
        cls.tls = (os.path.join(cls.pki.name, 'chain.pem'),
                   os.path.join(cls.pki.name, 'server.key'))
        cls.server = dovecot.Dovecot(cls.USERS, tls=cls.tls, **cls.DOVECOT_OPTIONS).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.pki.cleanup()

    def setUp(self):
        super().setUp()
        self.trust('root.pem')

    def trust(self, name):
        patch = mock.patch.dict(os.environ, {'SSL_CERT_FILE': os.path.join(self.pki.name, name)})
        patch.start()
        self.addCleanup(patch.stop)


@unittest.skipUnless(os.geteuid() == 0, 'a private Dovecot needs root (mail files owned by dovecot)')
class Tls(TlsDovecotTest):
    USERS = USERS

    def mailbox(self, user, *messages):
        for message in messages:
            self.server.deliver(user, message)

    def log_lines(self, result):
        return result.log.splitlines()

    def assertRun(self, result, lines):
        """lines appear one right after the other in the log."""
        log = self.log_lines(result)
        for start in range(len(log)):
            if log[start:start + len(lines)] == lines:
                return
        self.fail('%r not found in order in:\n%s' % (lines, result.log))

    def test_pop3_and_apop_over_tls_to_localhost_are_verified_and_checked(self):
        self.mailbox('pop', MEETING, PILLS)
        self.mailbox('apop', INVOICE)
        rc = (DENY_PILLS + tls_account('pop', 'localhost', self.server.tls_port) +
              tls_account('apop', 'localhost', self.server.tls_port, 'APOP/SSL'))
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.errors(), [])
        pop, apop = r.out.split('querying apop@localhost.')
        for part, examined in ((pop, 2), (apop, 1)):
            lines = part.splitlines()
            self.assertIn('pollensift: Debugging: Using SSL encrypted communication.', lines)
            # Root, intermediate and server certificate: one line each.
            self.assertEqual(lines.count(VERIFIED), 3)
            self.assertIn('pollensift: Examining %d message(s).' % examined, lines)
        self.assertIn('Debugging: Wrote: PASS *****', pop)
        self.assertRegex(apop, r'Debugging: Wrote: APOP apop [0-9a-f]{32}\n')
        self.assertIn('Debugging: Wrote: DELE 2\n', pop)
        left = [m.replace(b'\r\n', b'\n') for m in self.server.messages('pop')]
        self.assertEqual(left, [MEETING.replace(b'\r\n', b'\n')])

    def test_the_server_reached_by_address_fails_on_the_name_unless_skipped(self):
        self.mailbox('byip', MEETING)
        rc = tls_account('byip', '127.0.0.1', self.server.tls_port)
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual(r.code, 255)
        self.assertRun(r, [IP_MISMATCH, FAILED, NOT_ESTABLISHED, NO_CONNECTION])
        self.assertNotIn('Examining', r.out)

        r = self.pollensift(rc, '-v', '6', '-s')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.errors(), [IP_MISMATCH])
        self.assertRun(r, [IP_MISMATCH, ACCEPTED])
        self.assertIn('pollensift: Examining 1 message(s).', r.out)

    def test_an_untrusted_ca_fails_with_its_reason_unless_skipped(self):
        self.trust('stranger.pem')
        self.mailbox('stranger', MEETING, INVOICE)
        rc = tls_account('stranger', 'localhost', self.server.tls_port, 'APOP/SSL')
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual(r.code, 255)
        self.assertRun(r, [UNTRUSTED, FAILED, NOT_ESTABLISHED, NO_CONNECTION])
        self.assertEqual(r.errors()[-1],
                         'pollensift: Error: Skipping account stranger@localhost due to earlier '
                         'errors.')

        r = self.pollensift(rc, '-s')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.errors(), [UNTRUSTED])
        self.assertIn('pollensift: Examining 2 message(s).', r.out)

    def test_accounts_after_a_failed_tls_account_still_work(self):
        self.mailbox('after', MEETING)
        self.mailbox('late', INVOICE, MEETING)
        rc = (tls_account('byip', '127.0.0.1', self.server.tls_port) +
              tls_account('after', '127.0.0.1', self.server.port, 'POP3') +
              tls_account('late', 'localhost', self.server.tls_port))
        r = self.pollensift(rc)
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), [
            IP_MISMATCH, NOT_ESTABLISHED, NO_CONNECTION,
            'pollensift: Error: Skipping account byip@127.0.0.1 due to earlier errors.'])
        self.assertEqual(r.out.count('pollensift: Examining'), 2)
        self.assertIn('querying after@127.0.0.1.\npollensift: Examining 1 message(s).', r.out)
        self.assertIn('querying late@localhost.\npollensift: Examining 2 message(s).', r.out)

    def test_a_server_that_never_answers_the_handshake_times_out(self):
        # The kernel completes the TCP connect for the listening socket; nobody ever speaks TLS.
        silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(silent.close)
        silent.bind(('127.0.0.1', 0))
        silent.listen(4)
        self.mailbox('patient', MEETING)
        rc = ('TIMEOUT = 2\n' + tls_account('byip', '127.0.0.1', silent.getsockname()[1]) +
              tls_account('patient', 'localhost', self.server.tls_port))
        start = time.monotonic()
        r = self.pollensift(rc, timeout=60)
        elapsed = time.monotonic() - start
        self.assertEqual(r.code, 255)
        self.assertEqual(r.errors(), [
            'pollensift: Error: Timeout occurred.', NO_CONNECTION,
            'pollensift: Error: Skipping account byip@127.0.0.1 due to earlier errors.'])
        self.assertGreaterEqual(elapsed, 1.9)
        self.assertIn('querying patient@localhost.\npollensift: Examining 1 message(s).', r.out)


if __name__ == '__main__':
    unittest.main()
