#pragma once

#include <optional>
#include <string>
#include <vector>

#include "net/connection.h"
#include "protocol/capabilities.h"

class MailAccount;

// What a server showed a probe that sent it nothing but CAPA, STLS and QUIT.
struct ProbeReport {
  bool connected = false;  // TCP came up (and, for the SSL protocols, the TLS hand-shake)
  bool tls_from_start = false;
  std::string greeting;    // the greeting line without its line end; empty when none came
  // The lines CAPA listed (no status line, no "."), in force for the login: after STLS when the
  // connection was upgraded. Null when CAPA was refused or not answered.
  std::optional<std::vector<std::string>> capabilities;
  // What CAPA listed on the plain connection before the upgrade.
  std::optional<std::vector<std::string>> capabilities_before_tls;
  bool stls_offered = false;
  bool stls_done = false;
  std::optional<TlsPeer> tls;  // the hand-shake of an encrypted connection

  bool answered() const { return !greeting.empty(); }
};

// Connects to the account's server as its SERVER, PORT and PROTOCOL say and reads its greeting
// and capabilities; a plain connection is upgraded with STLS where the server offers it. No user
// name, password or login command is ever sent, and a certificate that does not verify is only
// noted. Failures are reported through the Reporter as they happen.
ProbeReport probeServer(const MailAccount& account, int timeout);

// What capability lines as CAPA lists them offer.
Capabilities capabilitiesOf(const std::vector<std::string>& lines);
