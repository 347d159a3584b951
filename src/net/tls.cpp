#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <string_view>

#include "config/settings.h"
#include "net/ca_file.h"
#include "net/certificate.h"
#include "report/fatal.h"
#include "report/reporter.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kHandshakeFailed = "SSL connection could not be established.";
constexpr const char* kConnectionGone = "For unknown reason the SSL connection was closed.";

struct SslContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* connection) const { SSL_free(connection); }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// OpenSSL writes to the socket with write(), which raises SIGPIPE once the server has gone. While
// a guard lives SIGPIPE is blocked, and one that the guarded call raised is taken off the pending
// set before the old mask returns: the failure then shows only as EPIPE.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    sigprocmask(SIG_BLOCK, &pipe_, &old_mask_);
  }
  ~SigpipeGuard() {
    const int saved_errno = errno;
    sigset_t pending;
    sigemptyset(&pending);
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec no_wait{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
      }
    }
    sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    errno = saved_errno;
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_mask_;
  bool was_pending_ = false;
};

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// What the verification of one hand-shake needs besides OpenSSL's own state, and what it found;
// it hangs on the connection object as its application data.
struct VerifyState {
  const TlsTrust* trust = nullptr;
  std::vector<std::string> reasons;  // each failure's reason once, in order
  std::vector<int> codes;
  X509Ptr failed;                    // the server's certificate, once something failed
  bool pinned = false;               // it is not the one TLS_FINGERPRINT names

  void noteFailure(X509_STORE_CTX* storeContext, const std::string& reason, int code) {
    if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) {
      reasons.push_back(reason);
    }
    codes.push_back(code);
    if (!failed) {
      X509* server = X509_STORE_CTX_get0_cert(storeContext);
      if (server != nullptr && X509_up_ref(server) == 1) failed.reset(server);
    }
  }
  std::string why() const {
    std::string text;
    for (const std::string& reason : reasons) text += (text.empty() ? "" : "; ") + reason;
    return text;
  }
};

// With a configured fingerprint the server's own certificate decides alone: the chain and the
// names do not matter, and -s cannot accept a different certificate.
int verifyFingerprint(X509_STORE_CTX* storeContext, VerifyState& state) {
  Reporter& reporter = Reporter::instance();
  if (X509_STORE_CTX_get_error_depth(storeContext) > 0) return 1;
  const std::string found = certificateFingerprint(X509_STORE_CTX_get_current_cert(storeContext));
  if (found == state.trust->fingerprint) {
    reporter.print("Debugging: SSL certificate matches TLS_FINGERPRINT.", 6);
    X509_STORE_CTX_set_error(storeContext, X509_V_OK);
    return 1;
  }
  state.pinned = true;
  state.noteFailure(storeContext, "it is not the certificate TLS_FINGERPRINT names",
                    X509_V_ERR_APPLICATION_VERIFICATION);
  if (state.trust->report_only) return 1;
  reporter.error("SSL connection could not be established: the server certificate's SHA-256 "
                 "fingerprint " + found + " is not the one of TLS_FINGERPRINT.",
                 1);
  return 0;
}

// Runs for every certificate of the server's chain. A failure ends the hand-shake with OpenSSL's
// reason, unless skip_ssl_verify accepts it (said once the hand-shake is done) or a probe only
// notes it. No exception may cross OpenSSL's C frames, so one rejects the certificate.
int verifyCertificate(int preverifyOk, X509_STORE_CTX* storeContext) noexcept {
  try {
    Reporter& reporter = Reporter::instance();
    const auto* connection = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(storeContext, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* state =
        connection != nullptr ? static_cast<VerifyState*>(SSL_get_app_data(connection)) : nullptr;
    if (state != nullptr && state->trust != nullptr && !state->trust->fingerprint.empty()) {
      return verifyFingerprint(storeContext, *state);
    }
    const int error = X509_STORE_CTX_get_error(storeContext);
    if (preverifyOk != 0) {
      reporter.print("Debugging: SSL certificate verification successful.", 6);
      return 1;
    }
    const std::string reason = X509_verify_cert_error_string(error);
    if (state != nullptr) state->noteFailure(storeContext, reason, error);
    const bool report_only = state != nullptr && state->trust != nullptr &&
                             state->trust->report_only;
    if (report_only || Settings::instance().skipSslVerify()) {
      reporter.print("Debugging: SSL certificate verification failed, but continuing anyway.", 6);
      return 1;
    }
    reporter.error("SSL connection could not be established: " + reason, 1);
    reporter.print("Debugging: SSL certificate verification failed.", 6);
    return 0;
  } catch (...) {
    return 0;
  }
}

// The first bytes the server sent during the hand-shake, kept to explain a failure: a POP3
// greeting there means the port does not speak TLS at all.
struct FirstBytes {
  char data[8] = {};
  size_t size = 0;
};

long recordFirstBytes(BIO* bio, int operation, const char* data, size_t, int, long, int result,
                      size_t* processed) {
  if (operation == (BIO_CB_READ | BIO_CB_RETURN) && result > 0 && processed != nullptr) {
    auto* first = reinterpret_cast<FirstBytes*>(BIO_get_callback_arg(bio));
    for (size_t i = 0; first != nullptr && i < *processed && first->size < sizeof first->data;
         ++i) {
      first->data[first->size++] = data[i];
    }
  }
  return result;
}

bool looksLikePop3(const FirstBytes& first) {
  const std::string_view text(first.data, first.size);
  return text.starts_with("+OK") || text.starts_with("-ERR") || text.starts_with("+ok");
}

// The "-ERR" line a server sent where the TLS hand-shake was expected, from its first bytes and
// what follows them within a second, cut to a readable length; empty for any other reply.
std::string refusalAfterStls(const FirstBytes& first, TcpTransport& tcp) {
  constexpr size_t kShown = 200;
  std::string line(first.data, first.size);
  if (!line.starts_with("-ERR")) return {};
  char chunk[kShown];
  while (line.find('\n') == std::string::npos && line.size() < kShown) {
    const long got = tcp.receive(chunk, kShown - line.size(), 1000);
    if (got <= 0) break;
    line.append(chunk, static_cast<size_t>(got));
  }
  line = line.substr(0, std::min(line.find_first_of("\r\n"), kShown));
  return line;
}

// Tells the server which name it is asked for and makes the certificate check require that name.
// An IP literal is never sent as server name indication and is checked against the
// certificate's IP addresses instead.
bool nameServer(SSL* connection, const char* host) {
  X509_VERIFY_PARAM* param = SSL_get0_param(connection);
  const HostName name = parseHost(host);
  if (!name.address.empty()) {
    return X509_VERIFY_PARAM_set1_ip(param, name.address.data(), name.address.size()) == 1;
  }
  SSL_set_hostflags(connection, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set_tlsext_host_name(connection, name.dns.c_str()) == 1 &&
         SSL_set1_host(connection, name.dns.c_str()) == 1;
}

int remainingMs(Clock::time_point start, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return spent >= timeout_ms ? 0 : timeout_ms - static_cast<int>(spent);
}

// What to wait for before an SSL call that could not finish on a non-blocking descriptor is
// repeated; 0 when it failed for good.
short eventsToAwait(int ssl_error) {
  if (ssl_error == SSL_ERROR_WANT_READ) return POLLIN;
  if (ssl_error == SSL_ERROR_WANT_WRITE) return POLLOUT;
  return 0;
}

enum class Handshake { kDone, kFailed, kTimedOut };

// SSL_connect on the non-blocking descriptor, waiting with poll() whenever OpenSSL needs the
// server, so the deadline holds without leaving OpenSSL half-way through a call.
Handshake handshake(SSL* connection, int fd, const Deadline& deadline) {
  for (;;) {
    if (deadline.passed()) return Handshake::kTimedOut;
    ERR_clear_error();
    int error = SSL_ERROR_NONE;
    {
      SigpipeGuard guard;
      const int result = SSL_connect(connection);
      if (result == 1) return Handshake::kDone;
      error = SSL_get_error(connection, result);
    }
    const short events = eventsToAwait(error);
    if (events == 0) return Handshake::kFailed;
    const int ready = pollOne(fd, events, deadline.remainingMs());
    if (ready == 0) return Handshake::kTimedOut;
    if (ready < 0) return Handshake::kFailed;
  }
}

// TLS over a connected TCP stream. It owns the whole stack, so whichever way a check ends, the
// connection object, the descriptor and the context go, in that order.
class TlsTransport : public Transport {
 public:
  TlsTransport(SslContextPtr context, std::unique_ptr<TcpTransport> tcp, SslPtr connection,
               TlsPeer peer)
      : context_(std::move(context)),
        tcp_(std::move(tcp)),
        connection_(std::move(connection)),
        peer_(std::move(peer)) {}

  long receive(char* buffer, size_t size, int timeout_ms) override;
  long send(const char* data, size_t size, int timeout_ms) override;
  int close() override;
  int closeInOrder(int wait_seconds) override;
  bool peerClosed() const override { return tcp_ && tcp_->peerClosed(); }
  // Decrypted bytes OpenSSL holds, or any record still on the wire.
  bool pendingInput() const override {
    return (connection_ && SSL_pending(connection_.get()) > 0) || (tcp_ && tcp_->pendingInput());
  }
  const TlsPeer* tlsPeer() const override { return connection_ ? &peer_ : nullptr; }

 private:
  // Sends the close notification, not awaited, and drops the session; the TCP stream stays.
  void endTls();

  SslContextPtr context_;
  std::unique_ptr<TcpTransport> tcp_;
  SslPtr connection_;
  TlsPeer peer_;
};

// OpenSSL is asked first and the descriptor polled only when it has nothing: a record that arrived
// whole may still be partly buffered inside OpenSSL while the descriptor has nothing to read.
long TlsTransport::receive(char* buffer, size_t size, int timeout_ms) {
  Reporter& reporter = Reporter::instance();
  if (!connection_) {
    reporter.error(kConnectionGone, 1);
    return kFailed;
  }
  const int length = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const Clock::time_point start = Clock::now();
  int warned = SSL_ERROR_NONE;
  for (;;) {
    ERR_clear_error();
    int got = 0;
    int error = SSL_ERROR_NONE;
    {
      SigpipeGuard guard;
      got = SSL_read(connection_.get(), buffer, length);
      if (got > 0) {
        tcp_->acknowledge();
        return got;
      }
      error = SSL_get_error(connection_.get(), got);
    }
    switch (error) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        // Once per wait: a reply that trickles in must not flood the trace.
        if (warned != error) {
          reporter.print(error == SSL_ERROR_WANT_READ
                             ? "Debugging: Warning: Received SSL_ERROR_WANT_READ."
                             : "Debugging: Warning: Received SSL_ERROR_WANT_WRITE.",
                         6);
          warned = error;
        }
        break;
      case SSL_ERROR_ZERO_RETURN:
        reporter.print("Debugging: Warning: Received SSL_ERROR_ZERO_RETURN.", 6);
        return 0;
      default:
        ERR_clear_error();
        reporter.error("SSL_read returned unknown error.", 1);
        return kFailed;
    }
    const int ready = pollOne(tcp_->fd(), eventsToAwait(error), remainingMs(start, timeout_ms));
    if (ready == 0) return kTimedOut;
    if (ready < 0) {
      reporter.error(std::strerror(errno), 1);
      return kFailed;
    }
  }
}

long TlsTransport::send(const char* data, size_t size, int timeout_ms) {
  Reporter& reporter = Reporter::instance();
  if (!connection_) {
    reporter.error(kConnectionGone, 1);
    return kFailed;
  }
  const Clock::time_point start = Clock::now();
  size_t done = 0;
  while (done < size) {
    const size_t left = size - done;
    const int length = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    ERR_clear_error();
    int wrote = 0;
    int error = SSL_ERROR_NONE;
    int saved_errno = 0;
    {
      SigpipeGuard guard;
      errno = 0;
      wrote = SSL_write(connection_.get(), data + done, length);
      saved_errno = errno;
      if (wrote <= 0) error = SSL_get_error(connection_.get(), wrote);
    }
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
      continue;
    }
    const short events = eventsToAwait(error);
    if (events != 0) {
      // OpenSSL wants the same buffer again once the socket is ready.
      const int ready = pollOne(tcp_->fd(), events, remainingMs(start, timeout_ms));
      if (ready == 0) return kTimedOut;
      if (ready > 0) continue;
      saved_errno = errno;
    }
    // A failed system call has its own text; a failure inside TLS only OpenSSL's reason.
    const char* reason = nullptr;
    if (saved_errno == 0) reason = ERR_reason_error_string(ERR_peek_last_error());
    if (reason == nullptr) reason = std::strerror(saved_errno != 0 ? saved_errno : EPIPE);
    const std::string text(reason);
    ERR_clear_error();
    reporter.error(text, 1);
    return kFailed;
  }
  return static_cast<long>(done);
}

int TlsTransport::close() {
  endTls();
  return tcp_->close();
}

int TlsTransport::closeInOrder(int wait_seconds) {
  endTls();
  return tcp_->closeInOrder(wait_seconds);
}

void TlsTransport::endTls() {
  if (!connection_) return;
  {
    // One close notification, not awaited; the result says nothing the caller could act on.
    SigpipeGuard guard;
    ERR_clear_error();
    SSL_shutdown(connection_.get());
    ERR_clear_error();
  }
  // The session reads and writes through the descriptor without owning it (BIO_NOCLOSE).
  connection_.reset();
  context_.reset();
}

// The transport of a finished hand-shake, with what it showed. A certificate that was accepted
// although it failed (-s) is said once, as a warning; what it is and how to trust it follow for
// those who look.
std::unique_ptr<Transport> encryptedTransport(SslContextPtr context,
                                              std::unique_ptr<TcpTransport> tcp,
                                              SslPtr connection, const char* host,
                                              const VerifyState& state, const TlsTrust& trust) {
  TlsPeer peer;
  peer.version = SSL_get_version(connection.get());
  peer.cipher = SSL_get_cipher_name(connection.get());
  describeCertificate(SSL_get0_peer_certificate(connection.get()), host, peer);
  peer.problem = state.why();
  if (!peer.problem.empty() && !trust.report_only) {
    Reporter& reporter = Reporter::instance();
    reporter.print("Warning: The server's certificate was not verified (-s): " + peer.problem +
                       ".",
                   1);
    for (const std::string& line :
         explainFailure(state.failed.get(), host, state.codes, state.pinned)) {
      reporter.print(line, 4);
    }
  }
  return std::make_unique<TlsTransport>(std::move(context), std::move(tcp), std::move(connection),
                                        std::move(peer));
}

}  // namespace

std::string stlsRefusalLine(std::string_view words) {
  return "The server said \"" + std::string(words) +
         "\" instead of starting TLS: the server could not start TLS on its side (such as for a "
         "missing certificate); ask its owner.";
}

std::unique_ptr<Transport> startTls(std::unique_ptr<TcpTransport> tcp, const char* host,
                                    const Deadline& deadline, const TlsTrust& trust,
                                    TlsStart start) {
  Reporter& reporter = Reporter::instance();
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  ERR_clear_error();

  // A fresh context per connection: the trust store is read anew for every account.
  SslContextPtr context(SSL_CTX_new(TLS_client_method()));
  if (!context || host == nullptr) {
    ERR_clear_error();
    reporter.error(kHandshakeFailed, 1);
    return nullptr;
  }
  if (trust.ca_file.empty()) {
    SSL_CTX_set_default_verify_paths(context.get());
  } else if (const std::string why = loadCaFile(context.get(), trust.ca_file); !why.empty()) {
    reporter.error("The TLS_CA_FILE '" + trust.ca_file + "' could not be loaded: " + why + ".", 1);
    reporter.error(kHandshakeFailed, 1);
    return nullptr;
  }
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, verifyCertificate);

  SslPtr connection(SSL_new(context.get()));
  if (!connection) {
    reporter.error("SSL connection structure could not be created.", 1);
    failFatal("", -1);
  }
  BIO* bio = BIO_new_socket(tcp->fd(), BIO_NOCLOSE);
  if (bio == nullptr) {
    ERR_clear_error();
    reporter.error("Socket-BIO could not be created.", 1);
    return nullptr;
  }
  SSL_set_bio(connection.get(), bio, bio);  // the connection object owns the BIO from here
  FirstBytes first;
  BIO_set_callback_arg(bio, reinterpret_cast<char*>(&first));
  BIO_set_callback_ex(bio, recordFirstBytes);
  VerifyState state;
  state.trust = &trust;
  SSL_set_app_data(connection.get(), &state);

  Handshake outcome = Handshake::kFailed;
  if (nameServer(connection.get(), host)) {
    outcome = handshake(connection.get(), tcp->fd(), deadline);
  }
  // The callback has judged the server's certificate; this makes sure it was the one judged.
  if (outcome == Handshake::kDone && !trust.fingerprint.empty() && !trust.report_only) {
    X509* certificate = SSL_get1_peer_certificate(connection.get());
    if (certificateFingerprint(certificate) != trust.fingerprint) outcome = Handshake::kFailed;
    X509_free(certificate);
  }
  // Whatever a failure left in OpenSSL's error queue must not be blamed on the next account.
  ERR_clear_error();
  // Neither may outlive this call; the transport reads on without them.
  BIO_set_callback_ex(bio, nullptr);
  BIO_set_callback_arg(bio, nullptr);
  SSL_set_app_data(connection.get(), nullptr);
  switch (outcome) {
    case Handshake::kDone:
      return encryptedTransport(std::move(context), std::move(tcp), std::move(connection), host,
                                state, trust);
    case Handshake::kTimedOut:
      reporter.error("Timeout occurred.", 1);
      return nullptr;
    case Handshake::kFailed:
      break;
  }
  reporter.error(kHandshakeFailed, 1);
  for (const std::string& line :
       explainFailure(state.failed.get(), host, state.codes, state.pinned)) {
    reporter.error(line, 1);
  }
  if (looksLikePop3(first)) {
    if (start == TlsStart::kUpgrade) {
      reporter.error("The server went on in clear text after agreeing to STLS; nothing more is "
                     "sent on this connection.",
                     1);
      // A server that agrees and then fails to start TLS on its side (no certificate, say) says
      // so in clear text: its words show the cause.
      if (const std::string words = refusalAfterStls(first, *tcp); !words.empty()) {
        reporter.error(stlsRefusalLine(words), 1);
      }
    } else {
      reporter.error("The server answered in clear text, not TLS: this port probably serves plain "
                     "POP3. Use PROTOCOL = \"POP3/STLS\" on it, or PROTOCOL = \"POP3/SSL\" with "
                     "the server's TLS port (usually 995).",
                     1);
    }
  }
  return nullptr;
}

std::string tlsLibraryVersion() {
  std::string version = OpenSSL_version(OPENSSL_VERSION);
  if (version != OPENSSL_VERSION_TEXT) version += std::string(" (built with ") + OPENSSL_VERSION_TEXT + ")";
  return version;
}
