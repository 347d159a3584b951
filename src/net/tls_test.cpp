#include "net/tls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "net/socket.h"
#include "net/test_support.h"

namespace {

using Lines = std::vector<std::string>;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct ContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct ConnectionFree {
  void operator()(SSL* connection) const { SSL_free(connection); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using ContextPtr = std::unique_ptr<SSL_CTX, ContextFree>;
using ConnectionPtr = std::unique_ptr<SSL, ConnectionFree>;

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  ASSERT_NE(extension, nullptr) << value;
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// One certificate with a fresh key, signed by issuer (self-signed without one). alt_names is a
// subjectAltName value ("DNS:localhost"); a certificate without it is a CA.
struct Identity {
  KeyPtr key;
  CertPtr cert;
};

Identity makeIdentity(const char* common_name, const Identity* issuer, const char* alt_names) {
  static std::atomic<long> serial{1};
  Identity made{KeyPtr(EVP_EC_gen("P-256")), CertPtr(X509_new())};
  X509* cert = made.cert.get();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, made.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509* signer = issuer ? issuer->cert.get() : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(signer));
  addExtension(cert, signer, NID_subject_key_identifier, "hash");
  addExtension(cert, signer, NID_authority_key_identifier, "keyid:always");
  if (alt_names == nullptr) {
    addExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert, signer, NID_subject_alt_name, alt_names);
  }
  X509_sign(cert, issuer ? issuer->key.get() : made.key.get(), EVP_sha256());
  return made;
}

// The SHA-256 fingerprint as openssl x509 -fingerprint shows it.
std::string shownFingerprint(const Identity& identity) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(identity.cert.get(), EVP_sha256(), digest, &length);
  std::string shown;
  char hex[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
    shown += hex;
  }
  return shown;
}

// A root, an intermediate under it and a server certificate under that; the server presents the
// server certificate and the intermediate, the client trusts the root through SSL_CERT_FILE.
struct Pki {
  Identity root = makeIdentity("pollensift test root", nullptr, nullptr);
  Identity intermediate = makeIdentity("pollensift test intermediate", &root, nullptr);
};

void writeCert(const std::filesystem::path& path, X509* cert) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  PEM_write_X509(file, cert);
  std::fclose(file);
}

// The server side of a socket pair, in its own thread: the hand-shake, then script. The client end
// is non-blocking, as connectTcp leaves it.
class TlsServer {
 public:
  using Script = std::function<void(SSL*)>;

  TlsServer(const Pki& pki, const Identity& server, Script script) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    client_ = UniqueFd(fds[0]);
    server_fd_ = UniqueFd(fds[1]);
    context_.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(context_.get(), server.cert.get());
    SSL_CTX_add1_chain_cert(context_.get(), pki.intermediate.cert.get());
    SSL_CTX_use_PrivateKey(context_.get(), server.key.get());
    thread_ = std::thread([this, script = std::move(script)] { serve(script); });
  }
  ~TlsServer() { finish(); }

  UniqueFd takeClient() { return std::move(client_); }
  // Waits for the script to end; the client must have closed its end or be done reading.
  void finish() {
    if (thread_.joinable()) thread_.join();
  }
  // Server name indication as the server saw it; valid after finish().
  const std::optional<std::string>& serverName() const { return server_name_; }
  bool handshakeDone() const { return handshake_done_; }

 private:
  void serve(const Script& script) {
    // A client that went away must not take the test process down with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    ConnectionPtr connection(SSL_new(context_.get()));
    SSL_set_fd(connection.get(), server_fd_.get());
    if (SSL_accept(connection.get()) == 1) {
      handshake_done_ = true;
      const char* name = SSL_get_servername(connection.get(), TLSEXT_NAMETYPE_host_name);
      if (name != nullptr) server_name_ = name;
      script(connection.get());
    }
    connection.reset();
    server_fd_.reset();
    ERR_clear_error();
  }

  ContextPtr context_;
  UniqueFd client_;
  UniqueFd server_fd_;
  std::thread thread_;
  std::optional<std::string> server_name_;
  bool handshake_done_ = false;
};

void write(SSL* connection, const std::string& text) {
  ASSERT_EQ(SSL_write(connection, text.data(), static_cast<int>(text.size())),
            static_cast<int>(text.size()));
}

void pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Reads on the server until the client closes; true when it sent a close notification.
bool awaitCloseNotify(SSL* connection) {
  char buffer[256];
  while (SSL_read(connection, buffer, sizeof buffer) > 0) {
  }
  return (SSL_get_shutdown(connection) & SSL_RECEIVED_SHUTDOWN) != 0;
}

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings::instance().resetForTesting();
    static int serial = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("pollensift-tls-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::create_directory(dir_);
    writeCert(dir_ / "root.pem", pki_.root.cert.get());
    trust(dir_ / "root.pem");
  }
  void TearDown() override {
    ::unsetenv("SSL_CERT_FILE");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // OpenSSL's default verify paths read SSL_CERT_FILE on every context set-up.
  static void trust(const std::filesystem::path& file) {
    ::setenv("SSL_CERT_FILE", file.c_str(), 1);
  }

  std::unique_ptr<Transport> connect(TlsServer& server, const char* host, int seconds = 10) {
    return startTls(std::make_unique<TcpTransport>(server.takeClient()), host, Deadline(seconds));
  }

  Pki pki_;
  std::filesystem::path dir_;
};

TEST_F(TlsTest, ChecksTheChainAndTheServerNameAndSendsOnlyDnsNamesAsIndication) {
  struct Case {
    const char* alt_names;
    const char* host;
    bool skip;
    std::optional<std::string> indicated;  // server name indication the server saw
    Lines errors;  // the lines of the failure before its explanation; empty: it succeeds
    Lines verdicts;  // the level-6 lines of the check, in order (the name is checked first)
    std::string said;  // a failure: the advice that ends its explanation; -s: the one warning
  };
  const std::string ok = "pollensift: Debugging: SSL certificate verification successful.";
  const std::string failed = "pollensift: Debugging: SSL certificate verification failed.";
  const std::string accepted =
      "pollensift: Debugging: SSL certificate verification failed, but continuing anyway.";
  const std::string not_established = "pollensift: Error: SSL connection could not be established.";
  const std::string hostname = "pollensift: Error: SSL connection could not be established: hostname "
                               "mismatch";
  const std::string address = "pollensift: Error: SSL connection could not be established: IP "
                              "address mismatch";
  const Case cases[] = {
      {"DNS:localhost", "localhost", false, "localhost", {}, {ok, ok, ok}, ""},
      {"DNS:localhost", "localhost.", false, "localhost", {}, {ok, ok, ok}, ""},
      {"DNS:*.example.org", "pop.example.org", false, "pop.example.org", {}, {ok, ok, ok}, ""},
      // A wildcard that is only part of a label matches nothing, and is no name to suggest.
      {"DNS:p*.example.org", "pop.example.org", false, "pop.example.org",
       {hostname, not_established}, {failed},
       "pollensift: Error: The certificate does not name pop.example.org: ask the server's owner "
       "which name to use."},
      {"IP:127.0.0.1", "127.0.0.1", false, std::nullopt, {}, {ok, ok, ok}, ""},
      {"IP:127.0.0.1", "127.1", false, std::nullopt, {}, {ok, ok, ok}, ""},
      {"IP:::1", "::1", false, std::nullopt, {}, {ok, ok, ok}, ""},
      {"DNS:localhost", "127.0.0.1", false, std::nullopt, {address, not_established}, {failed},
       "pollensift: Error: The certificate does not name 127.0.0.1: use SERVER = \"localhost\", "
       "one of its names, instead."},
      {"DNS:localhost", "127.0.0.1", true, std::nullopt, {}, {accepted, ok, ok, ok},
       "pollensift: Warning: The server's certificate was not verified (-s): IP address mismatch."},
      {"DNS:mail.example.org, IP:::1", "localhost", false, "localhost",
       {hostname, not_established}, {failed},
       "pollensift: Error: The certificate does not name localhost: use SERVER = "
       "\"mail.example.org\", one of its names, instead."},
      {"DNS:other.localhost", "localhost", true, "localhost", {}, {accepted, ok, ok, ok},
       "pollensift: Warning: The server's certificate was not verified (-s): hostname mismatch."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.alt_names) + " as " + c.host + (c.skip ? " with -s" : ""));
    LogCapture log;
    Settings::instance().setSkipSslVerify(c.skip);
    const Identity server_id = makeIdentity("pop server", &pki_.intermediate, c.alt_names);
    TlsServer server(pki_, server_id, [](SSL* connection) { awaitCloseNotify(connection); });
    std::unique_ptr<Transport> tls = connect(server, c.host);
    const bool expect_success = c.errors.empty();
    EXPECT_EQ(tls != nullptr, expect_success);
    if (tls) {
      EXPECT_EQ(tls->close(), 0);
    }
    server.finish();
    EXPECT_EQ(server.handshakeDone(), expect_success);
    if (expect_success) {
      EXPECT_EQ(server.serverName(), c.indicated);
    }
    const Lines errors = log.linesStartingWith("Error: ");
    if (expect_success) {
      EXPECT_EQ(errors, Lines{});
      EXPECT_EQ(log.linesStartingWith("Warning: "), c.said.empty() ? Lines{} : Lines{c.said});
    } else {
      // The failure, then what the certificate is, then what to do.
      ASSERT_EQ(errors.size(), c.errors.size() + 4);
      EXPECT_EQ(Lines(errors.begin(), errors.begin() + 2), c.errors);
      // The names as the certificate lists them, which is how the cases write them.
      EXPECT_EQ(errors[2], "pollensift: Error: The server's certificate names: CN=pop server, " +
                               std::string(c.alt_names) + ".");
      EXPECT_EQ(errors.back(), c.said);
    }
    EXPECT_EQ(log.linesStartingWith("Debugging: SSL certificate verification"), c.verdicts);
  }
}

TEST_F(TlsTest, AnUntrustedChainFailsWithItsReasonUnlessSkippedAndTheNextConnectionIsClean) {
  const Identity stranger = makeIdentity("some other root", nullptr, nullptr);
  writeCert(dir_ / "stranger.pem", stranger.cert.get());
  const Identity server_id = makeIdentity("pop server", &pki_.intermediate, "DNS:localhost");
  for (bool skip : {false, true}) {
    SCOPED_TRACE(skip ? "with -s" : "verified");
    trust(dir_ / "stranger.pem");
    LogCapture log;
    Settings::instance().setSkipSslVerify(skip);
    {
      TlsServer server(pki_, server_id, [](SSL* connection) { awaitCloseNotify(connection); });
      std::unique_ptr<Transport> tls = connect(server, "localhost");
      EXPECT_EQ(tls != nullptr, skip);
      if (tls) tls->close();
    }
    const std::string reason =
        "pollensift: Error: SSL connection could not be established: unable to get local issuer "
        "certificate";
    const std::string fingerprint = "TLS_FINGERPRINT = \"" + shownFingerprint(server_id) + "\"";
    const std::string advice =
        "No trusted CA vouches for it. If it comes from a private CA, name that CA's certificate "
        "with TLS_CA_FILE; or trust exactly this certificate with the TLS_FINGERPRINT line above, "
        "once it matches the fingerprint the server's owner gives you.";
    if (skip) {
      // Said once, as a warning; what the certificate is follows at verbosity 4.
      EXPECT_EQ(log.linesStartingWith("Error: "), Lines{});
      EXPECT_EQ(log.linesStartingWith("Warning: "),
                Lines{"pollensift: Warning: The server's certificate was not verified (-s): "
                      "unable to get local issuer certificate."});
      EXPECT_EQ(log.linesStartingWith("Its SHA-256"),
                Lines{"pollensift: Its SHA-256 fingerprint: " + fingerprint});
      EXPECT_EQ(log.linesStartingWith("No trusted CA"), Lines{"pollensift: " + advice});
    } else {
      const Lines lines = log.lines();
      ASSERT_EQ(lines.size(), 7u);
      EXPECT_EQ(Lines(lines.begin(), lines.begin() + 4),
                (Lines{reason, "pollensift: Debugging: SSL certificate verification failed.",
                       "pollensift: Error: SSL connection could not be established.",
                       "pollensift: Error: The server's certificate names: CN=pop server, "
                       "DNS:localhost."}));
      EXPECT_TRUE(std::regex_match(
          lines[4], std::regex("pollensift: Error: It was issued by CN=pollensift test "
                               "intermediate and is valid from 20[0-9-]+ [0-9:]+ UTC until "
                               "20[0-9-]+ [0-9:]+ UTC\\.")))
          << lines[4];
      EXPECT_EQ(lines[5], "pollensift: Error: Its SHA-256 fingerprint: " + fingerprint);
      EXPECT_EQ(lines[6], "pollensift: Error: " + advice);
    }

    // Nothing of the failure lingers: with the right trust store the same server is accepted.
    trust(dir_ / "root.pem");
    LogCapture again;
    TlsServer server(pki_, server_id, [](SSL* connection) { awaitCloseNotify(connection); });
    std::unique_ptr<Transport> tls = connect(server, "localhost");
    ASSERT_NE(tls, nullptr);
    EXPECT_EQ(tls->close(), 0);
    EXPECT_EQ(again.linesStartingWith("Error: "), Lines{});
  }
}

TEST_F(TlsTest, AServerThatNeverAnswersTheHandshakeTimesOut) {
  LogCapture log;
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd silent(fds[1]);
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<Transport> tls =
      startTls(std::make_unique<TcpTransport>(UniqueFd(fds[0])), "localhost", Deadline(1));
  EXPECT_EQ(tls, nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(log.linesStartingWith("Error: "), Lines{"pollensift: Error: Timeout occurred."});
  // The client's hello was sent and the descriptor closed with the failure.
  char buffer[4096];
  EXPECT_GT(::read(silent.get(), buffer, sizeof buffer), 0);
  while (::read(silent.get(), buffer, sizeof buffer) > 0) {
  }
  EXPECT_EQ(::read(silent.get(), buffer, sizeof buffer), 0);
}

class TlsReadTest : public TlsTest {
 protected:
  // A verified connection to a server that runs script once the hand-shake is done.
  std::unique_ptr<Transport> serve(TlsServer::Script script) {
    server_id_ = makeIdentity("pop server", &pki_.intermediate, "DNS:localhost");
    server_ = std::make_unique<TlsServer>(pki_, server_id_, std::move(script));
    return connect(*server_, "localhost");
  }
  void TearDown() override {
    if (server_) server_->finish();
    TlsTest::TearDown();
  }

  Identity server_id_;
  std::unique_ptr<TlsServer> server_;
};

TEST_F(TlsReadTest, DataBufferedInsideOpensslIsReadWithoutWaitingForTheSocket) {
  const std::string record(5000, 'x');
  std::unique_ptr<Transport> tls = serve([&](SSL* connection) {
    write(connection, record);  // one record, larger than each read below
    awaitCloseNotify(connection);
  });
  ASSERT_NE(tls, nullptr);
  LogCapture log;
  char buffer[512];
  std::string got;
  long n = tls->receive(buffer, sizeof buffer, 5000);
  ASSERT_GT(n, 0);
  got.append(buffer, static_cast<size_t>(n));
  // The rest of the record is in OpenSSL's buffer, not on the descriptor: no wait may be needed.
  while (got.size() < record.size()) {
    n = tls->receive(buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0) << "after " << got.size() << " bytes";
    got.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, record);
  EXPECT_EQ(tls->receive(buffer, sizeof buffer, 0), Transport::kTimedOut);
  EXPECT_EQ(log.linesStartingWith("Error: "), Lines{});
}

TEST_F(TlsReadTest, RepliesInSlowAndMergedRecordsAreFramedExactly) {
  std::unique_ptr<Transport> tls = serve([](SSL* connection) {
    write(connection, "+OK ready\r\n");
    char command[64];
    SSL_read(connection, command, sizeof command);
    for (const char* piece : {"+OK\r\nSubject: a", "\r\n\r", "\n.", "\r", "\n+OK 2 40\r\n"}) {
      pause(30);
      write(connection, piece);
    }
    awaitCloseNotify(connection);
  });
  ASSERT_NE(tls, nullptr);
  LogCapture log;
  Socket socket(std::move(tls), 5);
  EXPECT_EQ(socket.readReply(false), 11);
  EXPECT_EQ(socket.sendCommand("TOP 1 0\r\n"), 9);
  ASSERT_EQ(socket.readReply(true), 22);
  EXPECT_EQ(*socket.lastReply(), "+OK\r\nSubject: a\r\n\r\n.\r\n");
  ASSERT_EQ(socket.readReply(false), 10);
  EXPECT_EQ(*socket.lastReply(), "+OK 2 40\r\n");
  EXPECT_EQ(socket.close(), 0);
  EXPECT_EQ(log.linesStartingWith("Error: "), Lines{});
  // At most one warning per wait for a record, never one per spin.
  const size_t warnings =
      log.linesStartingWith("Debugging: Warning: Received SSL_ERROR_WANT_READ.").size();
  EXPECT_GE(warnings, 1u);
  EXPECT_LE(warnings, 7u);
}

TEST_F(TlsReadTest, EndOfStreamSilenceAndBrokenStreamsAreReported) {
  struct Case {
    const char* name;
    std::function<void(SSL*)> after_partial_reply;
    Lines errors;
    const char* trace;  // a level-6 line (after "pollensift: ") that must be there, or null
  };
  const Case cases[] = {
      {"close notification",
       [](SSL* connection) { SSL_shutdown(connection); },
       {"pollensift: Error: The server closed the connection in the middle of a reply."},
       "Debugging: Warning: Received SSL_ERROR_ZERO_RETURN."},
      {"cut without close notification",
       [](SSL* connection) { ::shutdown(SSL_get_fd(connection), SHUT_RDWR); },
       {"pollensift: Error: SSL_read returned unknown error."},
       nullptr},
      {"silence",
       [](SSL* connection) { awaitCloseNotify(connection); },
       {"pollensift: Error: Connection has timed out."},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Transport> tls = serve([&](SSL* connection) {
      write(connection, "+OK\r\nSubject: x\r\n");
      c.after_partial_reply(connection);
    });
    ASSERT_NE(tls, nullptr);
    LogCapture log;
    Socket socket(std::move(tls), 1);
    EXPECT_EQ(socket.readReply(true), -1);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.errors);
    if (c.trace != nullptr) {
      EXPECT_EQ(log.linesStartingWith(c.trace).size(), 1u);
    }
    socket.close();
    server_->finish();
  }
}

TEST_F(TlsReadTest, WritingToAGoneServerFailsWithoutSigpipe) {
  std::unique_ptr<Transport> tls = serve([](SSL*) {});  // closes at once, without notification
  ASSERT_NE(tls, nullptr);
  server_->finish();
  LogCapture log;
  long wrote = 0;
  for (int i = 0; i < 3 && wrote >= 0; ++i) wrote = tls->send("QUIT\r\n", 6, 1000);
  EXPECT_EQ(wrote, Transport::kFailed);
  EXPECT_EQ(log.linesStartingWith("Error: "), Lines{"pollensift: Error: Broken pipe"});
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST_F(TlsReadTest, CloseNotifiesTheServerOnceAndLeavesNothingToReadFrom) {
  std::atomic<bool> notified{false};
  std::unique_ptr<Transport> tls =
      serve([&](SSL* connection) { notified = awaitCloseNotify(connection); });
  ASSERT_NE(tls, nullptr);
  LogCapture log;
  EXPECT_EQ(tls->send("QUIT\r\n", 6, 1000), 6);
  EXPECT_EQ(tls->close(), 0);
  server_->finish();
  EXPECT_TRUE(notified);
  EXPECT_EQ(tls->close(), -1);
  char buffer[16];
  EXPECT_EQ(tls->receive(buffer, sizeof buffer, 0), Transport::kFailed);
  EXPECT_EQ(log.linesStartingWith("Error: "),
            Lines{"pollensift: Error: For unknown reason the SSL connection was closed."});
}

}  // namespace
