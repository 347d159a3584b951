#include "net/tls.h"
#include "report/reporter.h"

// Interim until the TLS layer lands: the SSL protocols fail cleanly instead of talking in clear.
std::unique_ptr<Transport> startTls(std::unique_ptr<TcpTransport>, const char*, const Deadline&) {
  Reporter& reporter = Reporter::instance();
  reporter.error("TLS is not supported by this build.", 1);
  reporter.error("SSL connection could not be established.", 1);
  return nullptr;
}
