"""POP3/SSL and APOP/SSL against a private Dovecot with a POP3S listener.

The test makes its own root CA, an intermediate CA and a server certificate for the DNS name
"localhost" only, and points OpenSSL's default trust store at its root with SSL_CERT_FILE.
"""

import os
import re
import socket
import ssl
import threading
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


def fingerprint(directory, name):
    """A certificate's SHA-256 fingerprint as openssl x509 -fingerprint shows it."""
    shown = subprocess.run(['openssl', 'x509', '-in', name, '-noout', '-fingerprint', '-sha256'],
                           cwd=directory, check=True, capture_output=True, text=True).stdout
    return shown.strip().split('=', 1)[1]


def explanation(names, issuer, fingerprint_text, advice):
    """The lines that follow a failed verification, the dates matched loosely."""
    return ['pollensift: Error: The server\'s certificate names: %s.' % names,
            re.compile(r'pollensift: Error: It was issued by %s and is valid from '
                       r'\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC until '
                       r'\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\.$' % re.escape(issuer)),
            'pollensift: Error: Its SHA-256 fingerprint: TLS_FINGERPRINT = "%s"' % fingerprint_text,
            'pollensift: Error: ' + advice]


UNTRUSTED_ADVICE = ('No trusted CA vouches for it. If it comes from a private CA, name that CA\'s '
                    'certificate with TLS_CA_FILE; or trust exactly this certificate with the '
                    'TLS_FINGERPRINT line above, once it matches the fingerprint the server\'s '
                    'owner gives you.')


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
        """lines (texts or compiled patterns) appear one right after the other in the log."""
        log = self.log_lines(result)

        def same(line, wanted):
            return wanted.match(line) if hasattr(wanted, 'match') else line == wanted
        for start in range(len(log)):
            window = log[start:start + len(lines)]
            if len(window) == len(lines) and all(map(same, window, lines)):
                return
        self.fail('%r not found in order in:\n%s' % (lines, result.log))

    def server_explanation(self, advice):
        return explanation('CN=pollensift server, DNS:localhost', 'CN=pollensift intermediate',
                           fingerprint(self.pki.name, 'server.pem'), advice)

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
        self.assertRun(r, [IP_MISMATCH, FAILED, NOT_ESTABLISHED] + self.server_explanation(
            'The certificate does not name 127.0.0.1: use SERVER = "localhost", one of its '
            'names, instead.') + [NO_CONNECTION])
        self.assertNotIn('Examining', r.out)

        # With -s: one warning, no error.
        r = self.pollensift(rc, '-v', '6', '-s')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.errors(), [])
        self.assertRun(r, [ACCEPTED])
        self.assertEqual([l for l in r.out.splitlines() if 'Warning' in l and 'verif' in l], [
            'pollensift: Warning: The server\'s certificate was not verified (-s): IP address '
            'mismatch.'])
        self.assertNotIn('could not be established', r.log)
        self.assertIn('pollensift: Examining 1 message(s).', r.out)

    def test_an_untrusted_ca_fails_with_its_reason_unless_skipped(self):
        self.trust('stranger.pem')
        self.mailbox('stranger', MEETING, INVOICE)
        rc = tls_account('stranger', 'localhost', self.server.tls_port, 'APOP/SSL')
        r = self.pollensift(rc, '-v', '6')
        self.assertEqual(r.code, 255)
        self.assertRun(r, [UNTRUSTED, FAILED, NOT_ESTABLISHED] +
                       self.server_explanation(UNTRUSTED_ADVICE) + [NO_CONNECTION])
        self.assertEqual(r.errors()[-1],
                         'pollensift: Error: Skipping account stranger@localhost due to earlier '
                         'errors.')

        r = self.pollensift(rc, '-s')
        self.assertEqual(r.code, 0, r.err)
        self.assertEqual(r.errors(), [])
        self.assertIn('pollensift: Warning: The server\'s certificate was not verified (-s): '
                      'unable to get local issuer certificate.\n', r.out)
        self.assertIn('pollensift: Examining 2 message(s).', r.out)

        # The private CA named with TLS_CA_FILE, as the advice says, verifies it.
        rc = ('TLS_CA_FILE = "%s"\n' % os.path.join(self.pki.name, 'root.pem')) + rc
        r = self.pollensift(rc)
        self.assertEqual((r.code, r.errors()), (0, []), r.err)

    def test_accounts_after_a_failed_tls_account_still_work(self):
        self.mailbox('after', MEETING)
        self.mailbox('late', INVOICE, MEETING)
        rc = (tls_account('byip', '127.0.0.1', self.server.tls_port) +
              tls_account('after', '127.0.0.1', self.server.port, 'POP3') +
              tls_account('late', 'localhost', self.server.tls_port))
        r = self.pollensift(rc)
        self.assertEqual(r.code, 255)
        errors = r.errors()
        self.assertEqual(errors[:2], [IP_MISMATCH, NOT_ESTABLISHED])
        self.assertEqual(errors[-2:], [
            NO_CONNECTION,
            'pollensift: Error: Skipping account byip@127.0.0.1 due to earlier errors.'])
        self.assertEqual(len(errors), 8)
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


class TlsGreeter:
    """A TLS-only POP3 server with one certificate, in a thread of the test: a greeting, CAPA,
    USER and PASS accepted, an empty mailbox. Enough for a run to get past the hand-shake."""

    REPLIES = {'CAPA': '+OK\r\nUSER\r\n.\r\n', 'USER': '+OK\r\n', 'PASS': '+OK\r\n',
               'STAT': '+OK 0 0\r\n', 'QUIT': '+OK\r\n'}

    def __init__(self, cert, key):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.listener = socket.socket()
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            try:
                with self.context.wrap_socket(conn, server_side=True) as tls:
                    tls.sendall(b'+OK greeter ready\r\n')
                    for line in tls.makefile('rb'):
                        verb = line.split(b' ')[0].strip().decode('latin-1').upper()
                        tls.sendall(self.REPLIES.get(verb, '-ERR unknown\r\n').encode())
                        if verb == 'QUIT':
                            break
            except (OSError, ssl.SSLError):
                pass  # a client that refused the certificate

    def stop(self):
        self.listener.close()


class CertificateExplained(PollensiftTest):
    """A self-signed and an expired certificate, each explained by the failure it causes."""

    def setUp(self):
        super().setUp()
        self.pki = self.path('pki')
        os.mkdir(self.pki)

    def serve(self, cert, key):
        server = TlsGreeter(os.path.join(self.pki, cert), os.path.join(self.pki, key))
        self.addCleanup(server.stop)
        return server

    def trust(self, name):
        patch = mock.patch.dict(os.environ, {'SSL_CERT_FILE': os.path.join(self.pki, name)})
        patch.start()
        self.addCleanup(patch.stop)

    def test_a_self_signed_certificate_shows_the_fingerprint_that_then_trusts_it(self):
        openssl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
                '-keyout', 'self.key', '-out', 'self.pem', '-days', '2',
                '-subj', '/CN=home server', '-addext', 'subjectAltName=DNS:localhost', cwd=self.pki)
        self.trust('none.pem')  # an empty store: nothing is trusted but what the rc file says
        open(os.path.join(self.pki, 'none.pem'), 'w').close()
        server = self.serve('self.pem', 'self.key')
        shown = fingerprint(self.pki, 'self.pem')
        rc = tls_account('ann', 'localhost', server.port, password='pw')
        r = self.pollensift(rc)
        self.assertEqual(r.code, 255)
        errors = r.errors()
        self.assertEqual(errors[:2], [
            'pollensift: Error: SSL connection could not be established: self-signed certificate',
            NOT_ESTABLISHED])
        wanted = explanation('CN=home server, DNS:localhost', 'CN=home server', shown,
                             'The certificate is self-signed: trust exactly this one with the '
                             'TLS_FINGERPRINT line above, once it matches the fingerprint the '
                             'server\'s owner gives you.')
        self.assertEqual(len(errors), 2 + len(wanted) + 2, r.err)
        for line, want in zip(errors[2:], wanted):
            self.assertTrue(want.match(line) if hasattr(want, 'match') else line == want, line)

        # The line as shown, put into the rc file, is what makes the run go through.
        pin = [l for l in errors if 'TLS_FINGERPRINT = "' in l][0].split('fingerprint: ')[1]
        r = self.pollensift(pin + '\n' + rc)
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertIn('pollensift: Examining 0 message(s).', r.out)

    def test_an_expired_certificate_says_since_when(self):
        try:
            from cryptography import x509
            from cryptography.hazmat.primitives import hashes, serialization
            from cryptography.hazmat.primitives.asymmetric import ec
            from cryptography.x509.oid import NameOID
        except ImportError:
            self.skipTest('python3-cryptography is not installed')
        import datetime
        key = ec.generate_private_key(ec.SECP256R1())
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, 'old server')])
        cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                .public_key(key.public_key()).serial_number(7)
                .not_valid_before(datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc))
                .not_valid_after(datetime.datetime(2024, 3, 1, 12, 0, 0,
                                                   tzinfo=datetime.timezone.utc))
                .add_extension(x509.SubjectAlternativeName([x509.DNSName('localhost')]), False)
                .sign(key, hashes.SHA256()))
        with open(os.path.join(self.pki, 'old.pem'), 'wb') as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))
        with open(os.path.join(self.pki, 'old.key'), 'wb') as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        self.trust('old.pem')  # trusted as it stands: only its age fails it
        server = self.serve('old.pem', 'old.key')
        r = self.pollensift(tls_account('ann', 'localhost', server.port, password='pw'))
        self.assertEqual(r.code, 255)
        errors = r.errors()
        self.assertEqual(errors[0], 'pollensift: Error: SSL connection could not be established: '
                                    'certificate has expired')
        self.assertIn('pollensift: Error: The certificate expired on 2024-03-01 12:00:00 UTC: tell '
                      'the server\'s owner. TLS_FINGERPRINT would accept it all the same.', errors)
        self.assertIn('pollensift: Error: Its SHA-256 fingerprint: TLS_FINGERPRINT = "%s"'
                      % fingerprint(self.pki, 'old.pem'), errors)


if __name__ == '__main__':
    unittest.main()
