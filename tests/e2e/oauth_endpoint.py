"""A token introspection endpoint for the test Dovecot's oauth2 passdb, in its own process.

python3 oauth_endpoint.py TOKENS_JSON prints "PORT n" once it listens on 127.0.0.1 and answers
every POST of "token=..." with {"active": true, "username": USER} for a known token and
{"active": false} for any other. TOKENS_JSON maps tokens to user names.
"""

import json
import signal
import sys
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer


def handler(tokens):
    class Introspect(BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get('Content-Length', 0))
            form = urllib.parse.parse_qs(self.rfile.read(length).decode())
            token = form.get('token', [''])[0]
            user = tokens.get(token)
            body = {'active': True, 'username': user} if user else {'active': False}
            data = json.dumps(body).encode()
            self.send_response(200)
            self.send_header('Content-Type', 'application/json')
            self.send_header('Content-Length', str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    return Introspect


if __name__ == '__main__':
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server = HTTPServer(('127.0.0.1', 0), handler(json.loads(sys.argv[1])))
    print('PORT %d' % server.server_address[1], flush=True)
    server.serve_forever()
