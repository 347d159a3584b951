#pragma once

#include <memory>

#include "net/tcp_transport.h"

// Runs the TLS hand-shake over a freshly connected TCP stream, before the deadline, and returns
// the encrypted stream; null after reporting why it failed. The server's certificate must chain to
// the default trust store and name host (a DNS name, or the address of an IP literal), unless
// skip_ssl_verify accepts a failure. Ends the process when OpenSSL cannot make a connection object.
std::unique_ptr<Transport> startTls(std::unique_ptr<TcpTransport> tcp, const char* host,
                                    const Deadline& deadline);
