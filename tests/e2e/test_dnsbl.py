"""DNS block lists through the built binary, against a scripted POP3 server and a scripted DNS
server on loopback: listings add their points, NXDOMAIN and error answers add none, a silent or
slow server costs a bounded wait per run, the provider's own hops are passed over, and each
address is asked once per run."""

import time
import unittest

from fakedns import FakeDns
from harness import DovecotTest, PollensiftTest, account, normalised

LISTED = '7.113.0.203.bl.example'       # 203.0.113.7, listed
ERRING = '9.113.0.203.bl.example'       # 203.0.113.9, answered with the lists' error code
V6 = ('5.2.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.bl.example')


def message(subject, *hops):
    received = ''.join('Received: from %s (%s [%s]) by mx.provider.example; '
                       'Fri, 11 Dec 2026 10:00:00 +0000\r\n' % (name, name, address)
                       for name, address in hops)
    return received + 'From: sender@example.org\r\nSubject: %s' % subject


class BlockLists(PollensiftTest):
    def dns(self, scenario):
        self.dns_servers = getattr(self, 'dns_servers', 0) + 1
        server = FakeDns(scenario, self.path('queries-%d' % self.dns_servers))
        server.start()
        self.addCleanup(server.stop)
        return server

    def run_lists(self, messages, dns_scenario, rc='', *args, accounts=1):
        dns = self.dns(dns_scenario)
        pop = self.fake_server({'messages': messages, 'capa': ['TOP', 'PIPELINING']})
        text = 'DNSBL 100 = "bl.example"\nDNS_SERVER = "127.0.0.1:%d"\n' % dns.port + rc
        for n in range(accounts):
            text += account('user%d' % n, 'pw', pop.port)
        r = self.pollensift(text, *args)
        self.assertEqual(r.code, 0, r.err)
        return r, pop, dns

    def test_listed_not_listed_error_answers_and_ipv6(self):
        messages = [
            message('listed', ('a.example', '203.0.113.7')),
            message('not listed', ('b.example', '198.51.100.8')),
            message('error answer', ('c.example', '203.0.113.9')),
            message('error again', ('c.example', '203.0.113.9')),
            message('ipv6', ('d.example', 'IPv6:2001:db8::25')),
            message('on the white list too', ('a.example', '203.0.113.7')),
            message('servfail', ('e.example', '198.51.100.66')),
        ]
        answers = {LISTED: ['127.0.0.2', '127.0.0.10'], ERRING: ['127.255.255.254'],
                   V6: ['127.0.0.4'], '7.113.0.203.wl.example': ['127.0.9.1'],
                   '66.100.51.198.bl.example': 'servfail'}
        r, pop, dns = self.run_lists(messages, {'answers': answers},
                                     'DNSBL -30 = "wl.example"\n', '-v', '5')
        # 100 - 30 for every message of 203.0.113.7: only the IPv6 relay reaches HIGHSCORE.
        self.assertEqual(pop.deleted(), [5])
        self.assertIn('Pass: sender@example.org: listed,  [Score: 70] [DNSBL bl.example lists '
                      '203.0.113.7: 100] [DNSBL wl.example lists 203.0.113.7: -30].', r.log)
        self.assertIn('Deny: sender@example.org: ipv6,  [Score: 100] [DNSBL bl.example lists '
                      '2001:db8::25: 100].', r.log)
        self.assertIn('DNSBL: the relay is 203.0.113.7.\npollensift: DNSBL: ' + LISTED +
                      ': 127.0.0.2, 127.0.0.10, listed [100].\n', r.log)
        self.assertIn('DNSBL: 8.100.51.198.bl.example: NXDOMAIN, not listed.', r.log)
        self.assertIn('Pass: sender@example.org: not listed,  [Score: 0].', r.log)
        self.assertIn('DNSBL: %s: 127.255.255.254, an error answer, not a listing.' % ERRING,
                      r.log)
        self.assertIn('Pass: sender@example.org: error answer,  [Score: 0].', r.log)
        self.assertIn('DNSBL: %s (asked before in this run): 127.255.255.254' % ERRING, r.log)
        self.assertIn('the lookup failed (', r.log)
        # Each list that errs is named once, whatever the number of messages.
        warnings = [l for l in r.err.splitlines() if l.startswith('pollensift: Warning: ')]
        self.assertEqual(len(warnings), 1, r.err)
        self.assertIn('The DNS block list bl.example answered 127.255.255.254 for ' + ERRING +
                      ', an error code and not a listing', warnings[0])
        # Asked again for the second message of each address, it would show here (c-ares itself
        # tries a SERVFAIL twice).
        asked = [q for q in dns.queries() if not q.startswith('66.')]
        self.assertEqual(sorted(set(asked)), sorted(asked))

    def test_the_relay_is_the_topmost_public_hop_not_trusted(self):
        private_hops = message('private hops', ('filter.internal', '10.0.0.5'),
                               ('lo', '127.0.0.1'), ('cgnat', '100.64.1.1'),
                               ('ll', 'IPv6:fe80::1'), ('ula', 'IPv6:fd00::7'),
                               ('a.example', '203.0.113.7'), ('earlier', '198.51.100.1'))
        trusted = message('trusted', ('relay.provider.example', '198.51.100.77'),
                          ('a.example', '203.0.113.7'))
        nothing = message('only private', ('filter.internal', '192.168.1.1'))
        answers = {LISTED: ['127.0.0.2']}
        r, pop, dns = self.run_lists([private_hops, trusted, nothing], {'answers': answers},
                                     '', '-v', '5')
        self.assertEqual(pop.deleted(), [1])
        self.assertEqual(dns.queries(), [LISTED, '77.100.51.198.bl.example'])
        self.assertIn('DNSBL: no Received line names a public relay; no list is asked.', r.log)

        r, pop, dns = self.run_lists(
            [private_hops, trusted, nothing], {'answers': answers},
            'TRUSTED_RELAYS = "^Received: from relay\\.provider\\.example "\n')
        self.assertEqual(pop.deleted(), [1, 2])
        self.assertEqual(dns.queries(), [LISTED])

    def test_each_address_is_asked_once_per_run_across_accounts(self):
        messages = [message('m%d' % i, ('a.example', '203.0.113.%d' % (7 + i % 3)))
                    for i in range(30)]
        r, pop, dns = self.run_lists(messages, {'answers': {LISTED: ['127.0.0.2']}},
                                     accounts=2)
        self.assertEqual(sorted(dns.queries()),
                         sorted(['%d.113.0.203.bl.example' % n for n in (7, 8, 9)]))
        self.assertEqual(pop.deleted(1), list(range(1, 31, 3)))
        self.assertEqual(pop.deleted(2), list(range(1, 31, 3)))

    def test_a_silent_server_costs_one_wait_per_run_and_a_slow_one_still_counts(self):
        messages = [message('m%d' % i, ('a.example', '203.0.113.%d' % (10 + i)))
                    for i in range(40)]
        start = time.monotonic()
        r, pop, dns = self.run_lists(messages, {'zones': {'bl.example': 'silent'}},
                                     'TIMEOUT = 2\n', '-v', '5')
        spent = time.monotonic() - start
        self.assertEqual(pop.deleted(), [])
        warnings = [l for l in r.err.splitlines() if l.startswith('pollensift: Warning: ')]
        self.assertEqual(warnings, ['pollensift: Warning: The DNS block list bl.example did not '
                                    'answer within 2000 ms; it is not asked again in this run '
                                    'and adds no points.'])
        self.assertIn('no answer in time, no points.', r.log)
        # Two seconds for the run, not for each of the 40 messages.
        self.assertLess(spent, 20)

        slow = {'answers': {'%d.113.0.203.bl.example' % (10 + i): ['127.0.0.2']
                            for i in range(0, 40, 2)}, 'delay': 0.5}
        r, pop, dns = self.run_lists(messages, slow, 'TIMEOUT = 3\n')
        self.assertEqual(pop.deleted(), list(range(1, 41, 2)))
        self.assertNotIn('Warning', r.err)

    def test_a_scan_that_fails_judges_what_was_read_before_it_first(self):
        # The answers come after the server has cut its reply off: the messages read before
        # still get their verdicts, before the error, as without block lists.
        dns = self.dns({'answers': {LISTED: ['127.0.0.2']}, 'delay': 0.5})
        pop = self.fake_server({'messages': [message('m%d' % i, ('a.example', '203.0.113.7'))
                                             for i in range(6)],
                                'capa': ['TOP', 'PIPELINING'],
                                'cut': {'command': 'TOP 4 0', 'bytes': 10}})
        r = self.pollensift('DNSBL 100 = "bl.example"\nDNS_SERVER = "127.0.0.1:%d"\n' % dns.port +
                            account('jo', 'pw', pop.port))
        self.assertNotEqual(r.code, 0)
        denied = [r.log.find('Deny: sender@example.org: m%d,' % i) for i in range(3)]
        failed = r.log.find('Error occurred while sending TOP to server.')
        self.assertTrue(0 <= denied[0] < denied[1] < denied[2] < failed, r.log)
        self.assertNotIn('m3,', r.log)

    def test_check_and_judge(self):
        dns = self.dns({'answers': {LISTED: ['127.0.0.2']}})
        rc = ('DNSBL 100 = "bl.example"\nDNSBL -20 = "list.dnswl.example"\n'
              'TRUSTED_RELAYS = "by mx\\.provider\\.example"\nDNS_SERVER = "127.0.0.1:%d"\n'
              % dns.port)
        r = self.pollensift(rc, '--check')
        self.assertEqual(r.code, 0, r.err)
        self.assertIn('\n  DNSBL 100 = "bl.example"\n  DNSBL -20 = "list.dnswl.example"\n'
                      '  TRUSTED_RELAYS = "by mx\\.provider\\.example"\n'
                      '  DNS resolver: DNS_SERVER = "127.0.0.1:%d", asking 127.0.0.1:%d; a '
                      'message waits at most 5000 ms for its answers\n' % (dns.port, dns.port),
                      r.out)
        r = self.pollensift('', '--check')
        self.assertNotIn('DNS', r.out)

        saved = self.path('saved.eml')
        with open(saved, 'w') as f:
            f.write(message('saved', ('a.example', '203.0.113.7')).replace('\r\n', '\n') +
                    '\n\nbody\n')
        rc = 'DNSBL 100 = "bl.example"\nDNS_SERVER = "127.0.0.1:%d"\n' % dns.port
        r = self.pollensift(rc, '--judge', saved)
        self.assertIn('0 would be deleted', r.out)
        self.assertEqual(dns.queries(), [])
        r = self.pollensift(rc, '--judge', '--dnsbl', '-v', '5', saved)
        self.assertIn('DNSBL: ' + LISTED + ': 127.0.0.2, listed [100].', r.out)
        self.assertIn('1 would be deleted (1 score)', r.out)
        self.assertEqual(dns.queries(), [LISTED])
        r = self.pollensift(rc, '--dnsbl')
        self.assertNotEqual(r.code, 0)
        self.assertIn('--dnsbl asks the block lists with --judge', r.err)

    def test_bad_values_are_refused_where_they_stand(self):
        for line, words in (('DNSBL 10 = "bl..example"\n', 'DNSBL must name a DNS zone'),
                            ('DNS_SERVER = "dns.example"\n', 'DNS_SERVER must be an IP address'),
                            ('DNS_SERVER = "127.0.0.1:99999"\n', 'DNS_SERVER must be'),
                            ('TRUSTED_RELAYS = "(unclosed"\n', 'TRUSTED_RELAYS must be')):
            r = self.pollensift(line, '--check')
            self.assertNotEqual(r.code, 0, line)
            self.assertIn(words, r.err + r.out, line)


class BlockListsDovecot(DovecotTest):
    USERS = {'jo': 'pw-j'}

    def test_a_live_run_deletes_what_the_lists_list(self):
        mail = [(message('spam %d' % i, ('relay.provider.example', '198.51.100.77'),
                         ('a.example', '203.0.113.%d' % (7 + i % 2))) +
                 '\r\nMessage-ID: <%d@example.org>\r\n\r\nbody\r\n' % i).encode()
                for i in range(6)]
        for m in mail:
            self.server.deliver('jo', m)
        dns = FakeDns({'answers': {LISTED: ['127.0.0.2']}}, self.path('queries'))
        dns.start()
        self.addCleanup(dns.stop)
        r = self.pollensift('DNSBL 100 = "bl.example"\nDNS_SERVER = "127.0.0.1:%d"\n'
                            'TRUSTED_RELAYS = "from relay\\.provider\\.example"\n' % dns.port +
                            account('jo', 'pw-j', self.server.port))
        self.assertEqual((r.code, r.errors()), (0, []), r.err)
        self.assertEqual(sorted(self.left('jo')), sorted(normalised(m) for m in mail[1::2]))
        self.assertEqual(sorted(dns.queries()), [LISTED, '8.113.0.203.bl.example'])


if __name__ == '__main__':
    unittest.main()
