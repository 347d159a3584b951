#pragma once

#include <utility>

// Protocol codes as configured by PROTOCOL: 4096 marks TLS from the first byte, 8192 an upgrade
// to TLS with STLS after the greeting; the low bits say how the login goes (2 USER/PASS, 4 APOP).
enum ProtocolCode : int {
  kProtocolPop3 = 2,
  kProtocolApop = 4,
  kProtocolPop3Ssl = 4098,
  kProtocolApopSsl = 4100,
  kProtocolPop3Stls = 8194,
  kProtocolApopStls = 8196,
};

// Whether the connection speaks TLS from its first byte.
inline bool protocolUsesTls(int code) { return code == kProtocolPop3Ssl || code == kProtocolApopSsl; }
// Whether the protocol upgrades a plain connection with STLS before it logs in.
inline bool protocolUsesStls(int code) {
  return code == kProtocolPop3Stls || code == kProtocolApopStls;
}
inline bool protocolUsesApop(int code) {
  return code == kProtocolApop || code == kProtocolApopSsl || code == kProtocolApopStls;
}

// Every PROTOCOL value with its code, in the order the manual gives them.
inline constexpr std::pair<const char*, int> kProtocolNames[] = {
    {"POP3", kProtocolPop3},          {"APOP", kProtocolApop},
    {"POP3/SSL", kProtocolPop3Ssl},   {"APOP/SSL", kProtocolApopSsl},
    {"POP3/STLS", kProtocolPop3Stls}, {"APOP/STLS", kProtocolApopStls},
};
// The SASL mechanisms AUTH takes.
inline constexpr const char* kAuthMechanisms[] = {"PLAIN", "XOAUTH2", "OAUTHBEARER"};
