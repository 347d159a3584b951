#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "net/connection.h"
#include "net/tcp_transport.h"

// Whether TLS starts with the connection or on an open POP3 connection after STLS; only the
// explanation of a failure differs.
enum class TlsStart { kFirstByte, kUpgrade };

// The line that shows what a server said in clear text ("-ERR ...") after agreeing to STLS.
std::string stlsRefusalLine(std::string_view words);

// Runs the TLS hand-shake over a TCP stream, before the deadline, and returns the encrypted
// stream; null after reporting why it failed. The server's certificate must chain to the default
// trust store (or trust.ca_file) and name host (a DNS name, or the address of an IP literal),
// unless skip_ssl_verify accepts a failure; with trust.fingerprint exactly that certificate is
// accepted and no other. Ends the process when OpenSSL cannot make a connection object.
std::unique_ptr<Transport> startTls(std::unique_ptr<TcpTransport> tcp, const char* host,
                                    const Deadline& deadline, const TlsTrust& trust = TlsTrust(),
                                    TlsStart start = TlsStart::kFirstByte);

// The TLS library in use and its version ("OpenSSL 3.0.19 27 Jan 2026"), and the one the program
// was built with when that differs.
std::string tlsLibraryVersion();

// Why the certificates of the TLS_CA_FILE at path could not be loaded, in the words of the
// message a connection gives; "" when they can. Contacts no server.
std::string caFileProblem(const std::string& path);
