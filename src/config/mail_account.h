#pragma once

#include <memory>
#include <string>

class Connection;
class Protocol;

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
  Protocol* protocol() const { return protocol_.get(); }
  Connection* connection() const { return connection_.get(); }

  void setServer(const std::string& server) { server_ = server; }
  void setUser(const std::string& user) { user_ = user; }
  void setPass(const std::string& pass) { pass_ = pass; }
  void setPort(int port) { port_ = port; }
  void setAuth(const std::string& mechanism) { auth_ = mechanism; }
  void setTlsFingerprint(const std::string& fingerprint) { tls_fingerprint_ = fingerprint; }
  void setTlsCaFile(const std::string& path) { tls_ca_file_ = path; }
  void setPlace(const std::string& place) { place_ = place; }

  // An APOP object for codes 4 and 4100, POP3 for 4098, POP3 with code 2 for anything else.
  void createProtocol(int code);
  // A new Socket, attached to the current protocol object.
  void attachConnection();

  // Visits the mailbox: connect, login, status, scan, quit, close. 0, or -1 after reporting why.
  // Defined by the protocol layer.
  int check();

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
  std::shared_ptr<Protocol> protocol_;
  std::shared_ptr<Connection> connection_;
};

// Messages left on the servers, summed over the accounts checked through; the exit status under
// --return-value.
extern int remaining_total;
