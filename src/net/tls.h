#pragma once

#include <memory>

#include "net/tcp_transport.h"

// Runs the TLS hand-shake over a freshly connected TCP stream, before the deadline, and returns
// the encrypted stream; null after reporting why it failed.
std::unique_ptr<Transport> startTls(std::unique_ptr<TcpTransport> tcp, const char* host,
                                    const Deadline& deadline);
