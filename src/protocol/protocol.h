#pragma once

#include <atomic>
#include <string>
#include <utility>

#include "config/protocol_codes.h"

class Connection;
class IncrementalScan;

// Deletions that the session of the account being checked has decided in a live run and that no
// QUIT has carried out: what an interrupt leaves undone. A signal handler reads it.
inline std::atomic<int> deletions_awaiting_quit{0};
static_assert(std::atomic<int>::is_always_lock_free, "read inside a signal handler");

// How one account logs in. Protocol objects are shared between accounts, so the account check
// hands these over before every login.
struct LoginOptions {
  std::string mechanism;  // SASL mechanism of AUTH; empty for USER/PASS or APOP
  std::string host;       // the server as configured, for mechanisms that name it
  int port = 0;
  std::string user;       // as configured, to name the account in what the scan keeps
};

// The mailbox protocol of one account, spoken over its Connection (not owned).
class Protocol {
 public:
  virtual ~Protocol() = default;
  virtual bool login(const char* user, const char* password) = 0;
  virtual bool quit() = 0;
  virtual int deleteMessage(int number) = 0;
  virtual int status() = 0;
  virtual int scan() = 0;
  // Ends a session that must not carry out its deletions, instead of quit: the marks are
  // withdrawn where the protocol can, and the caller closes the connection without QUIT.
  virtual void withdraw() {}
  // While the scan waits for the accounts before it with nothing in flight: a command that keeps
  // the server from logging the idle session out. False when it was not answered "+OK".
  virtual bool keepAlive() { return true; }

  void setConnection(Connection* connection) { connection_ = connection; }
  Connection* connection() const { return connection_; }
  void setProtocolType(int code) { protocol_type_ = code; }
  void setLoginOptions(LoginOptions options) { login_options_ = std::move(options); }
  const LoginOptions& loginOptions() const { return login_options_; }
  int protocolType() const { return protocol_type_; }
  // After a failed login(): why no login was even tried, as the account's last line; empty when
  // the server refused one.
  const std::string& loginNotTried() const { return login_not_tried_; }
  // The state file's part in the scan of the account being checked (not owned); null without it.
  void setIncremental(IncrementalScan* scan) { incremental_ = scan; }
  IncrementalScan* incremental() const { return incremental_; }

  // What the last scan judged: messages examined and, of those, condemned ones whose deletion
  // the server accepted (or that were simulated in test mode); and how many deletions were sent,
  // answered or not, which a QUIT would carry out.
  struct Tally {
    int examined = 0;
    int deleted = 0;
    int marked = 0;
    // With QUARANTINE: condemned messages stored there before their DELE, and those that could
    // not be stored and so stay on the server.
    int quarantined = 0;
    int unstored = 0;
  };
  const Tally& tally() const { return tally_; }

 protected:
  Tally tally_;
  std::string login_not_tried_;

 private:
  Connection* connection_ = nullptr;
  IncrementalScan* incremental_ = nullptr;
  int protocol_type_ = kProtocolPop3;
  LoginOptions login_options_;
};
