#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

class Connection;
class Protocol;

// What speaks to an account's server: its protocol object and the connection attached to it.
// The layer above config/ makes them (see AccountObjectFactory); config/ only keeps them.
class AccountObjects {
 public:
  virtual ~AccountObjects() = default;
  virtual Protocol* protocol() const = 0;
  virtual Connection* connection() const = 0;
};

// Makes the objects of one PROTOCOL statement for its protocol code. The driver installs the real
// one at start-up; tests install their own.
using AccountObjectFactory = std::function<std::shared_ptr<AccountObjects>(int code)>;

// One configured mailbox. Copies share the protocol and connection objects, which live as long
// as any account that uses them.
class MailAccount {
 public:
  const std::string& server() const { return server_; }
  const std::string& user() const { return user_; }
  const std::string& pass() const { return pass_; }
  int port() const { return port_; }
  // The SASL mechanism of AUTH in upper case ("PLAIN", "XOAUTH2", "OAUTHBEARER"); empty for the
  // protocol's own login.
  const std::string& auth() const { return auth_; }
  const std::string& tlsFingerprint() const { return tls_fingerprint_; }
  const std::string& tlsCaFile() const { return tls_ca_file_; }
  int protocolCode() const { return protocol_code_; }
  // Where its PORT statement stands ("line 9 of your main rcfile '...'"), for messages.
  const std::string& place() const { return place_; }
  // Null before the account's PROTOCOL statement.
  const std::shared_ptr<AccountObjects>& objects() const { return objects_; }
  Protocol* protocol() const { return objects_ ? objects_->protocol() : nullptr; }
  Connection* connection() const { return objects_ ? objects_->connection() : nullptr; }

  void setServer(const std::string& server) { server_ = server; }
  void setUser(const std::string& user) { user_ = user; }
  void setPass(const std::string& pass) { pass_ = pass; }
  void setPort(int port) { port_ = port; }
  void setAuth(const std::string& mechanism) { auth_ = mechanism; }
  void setTlsFingerprint(const std::string& fingerprint) { tls_fingerprint_ = fingerprint; }
  void setTlsCaFile(const std::string& path) { tls_ca_file_ = path; }
  void setPlace(const std::string& place) { place_ = place; }

  // The objects of a PROTOCOL statement with its code. The ones held before stay alive with the
  // accounts appended before.
  void setObjects(int code, std::shared_ptr<AccountObjects> objects) {
    protocol_code_ = code;
    objects_ = std::move(objects);
  }

 private:
  std::string server_;
  std::string user_;
  std::string pass_;
  int port_ = 0;
  std::string auth_;
  std::string tls_fingerprint_;
  std::string tls_ca_file_;
  int protocol_code_ = 0;
  std::string place_;
  std::shared_ptr<AccountObjects> objects_;
};

// Messages left on the servers, summed over the accounts checked through; the exit status under
// --return-value.
extern int remaining_total;

// What the accounts checked through judged, summed, for the run's closing total; failed counts
// the accounts whose check failed.
struct RunTotals {
  long long examined = 0;
  long long deleted = 0;  // or, in test mode, would be deleted
  long long kept = 0;
  long long quarantined = 0;
  int failed = 0;
};
extern RunTotals run_totals;
