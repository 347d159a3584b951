#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config/mail_account.h"
#include "config/protocol_codes.h"
#include "config/settings.h"
#include "driver/modes.h"
#include "protocol/probe.h"
#include "report/reporter.h"
#include "text/escape.h"

namespace {

void line(const std::string& text) {
  std::fputs(escapeControls(text).c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// What the server (or its certificate) says, as a line shows it: a terminal line's worth, with
// nothing in it that could turn the text around.
constexpr size_t kShownServerText = 200;
std::string fromServer(const std::string& text) { return escapeShownText(text, kShownServerText); }

// The words after a capability's name ("10" of "LOGIN-DELAY 10"), or "".
std::string argumentsOf(const std::string& capability) {
  const size_t blank = capability.find(' ');
  if (blank == std::string::npos) return "";
  const size_t start = capability.find_first_not_of(' ', blank);
  return start == std::string::npos ? "" : capability.substr(start);
}

// What a capability means for pollensift, by its name; the words after it follow in "%s".
struct Meaning {
  std::string_view name;
  const char* text;
};
constexpr Meaning kMeanings[] = {
    {"STLS", "upgrades this connection to TLS (PROTOCOL = \"POP3/STLS\")"},
    {"USER", "takes USER and PASS"},
    {"TOP", "sends a message's header alone, which the scan needs"},
    {"UIDL", "names every message lastingly; STATEFILE uses it to skip messages judged before"},
    {"PIPELINING", "takes several commands at once; the scan keeps a window of them in flight"},
    {"UTF8", "sends headers in UTF-8 once asked, and pollensift asks"},
    {"LOGIN-DELAY", "wants that many seconds between logins: run pollensift no more often"},
    {"EXPIRE",
     "deletes messages on its own after that many days once they were retrieved (NEVER: keeps "
     "them)"},
    {"RESP-CODES", "explains its refusals with codes"},
    {"AUTH-RESP-CODE", "explains a failed login with a code"},
    {"IMPLEMENTATION", "names the server's software"},
};

std::string explain(const std::string& capability, bool encrypted) {
  const Capabilities named = capabilitiesOf({capability});
  const std::string arguments = fromServer(argumentsOf(capability));
  const std::string first = arguments.substr(0, arguments.find(' '));
  if (named.has("STLS") && encrypted) {
    return "upgrades a plain connection to TLS; this one is encrypted already";
  }
  if (named.has("LOGIN-DELAY") && !first.empty()) {
    return "wants " + first + " seconds between logins: run pollensift no more often";
  }
  if (named.has("EXPIRE") && !first.empty()) {
    if (first == "NEVER") return "keeps retrieved messages (NEVER): it deletes none on its own";
    return "deletes messages on its own " + first +
           " day(s) after they were retrieved (0: at the end of the session that retrieved them)";
  }
  if (named.has("SASL")) {
    std::string text = "logins with AUTH:";
    const std::string listed = named.saslList();
    for (size_t at = 0; at < listed.size();) {
      const size_t end = std::min(listed.find(' ', at), listed.size());
      const std::string mechanism = listed.substr(at, end - at);
      bool supported = false;
      for (const char* known : kAuthMechanisms) supported = supported || mechanism == known;
      text += " " + mechanism + (supported ? "" : " (not in pollensift)");
      at = end + 1;
    }
    return text;
  }
  for (const Meaning& meaning : kMeanings) {
    if (named.has(meaning.name)) return meaning.text;
  }
  return "not used by pollensift";
}

void showCapabilities(const std::string& heading,
                      const std::optional<std::vector<std::string>>& lines, bool encrypted) {
  if (!lines) {
    line("  " + heading + ": refused or not answered; the server gets the commands of RFC 1939 "
         "alone.");
    return;
  }
  line("  " + heading + ":" + (lines->empty() ? " nothing" : ""));
  for (const std::string& capability : *lines) {
    line("    " + fromServer(capability) + ": " + explain(capability, encrypted));
  }
}

// The APOP time stamp of a greeting ("<...>"), or empty.
std::string apopStamp(const std::string& greeting) {
  const size_t open = greeting.find('<');
  const size_t close = open == std::string::npos ? open : greeting.find('>', open);
  return close == std::string::npos ? "" : greeting.substr(open, close - open + 1);
}

void showTls(const TlsPeer& tls) {
  line("  TLS: " + tls.version + ", cipher " + tls.cipher);
  line("  Certificate names: " + fromServer(tls.names));
  line("  Issued by: " + fromServer(tls.issuer));
  line("  Valid from " + tls.valid_from + " until " + tls.valid_until);
  line("  SHA-256 fingerprint: TLS_FINGERPRINT = \"" + tls.fingerprint + "\"");
  line(tls.problem.empty() ? "  Verified: yes" : "  Verified: no: " + tls.problem);
}

// The AUTH statement that suits what the server lists for the login.
std::string suitedAuth(const MailAccount& account, const Capabilities& offered, bool apop) {
  if (apop) return "(no AUTH: APOP)";
  if (!account.auth().empty() && offered.offersSasl(account.auth())) {
    return "AUTH     = \"" + account.auth() + "\"";
  }
  if (!offered.known() || offered.has("USER")) return "(no AUTH: USER and PASS)";
  for (const char* mechanism : kAuthMechanisms) {
    if (offered.has("SASL") && offered.offersSasl(mechanism)) {
      return std::string("AUTH     = \"") + mechanism + "\"" +
             (std::string_view(mechanism) == "PLAIN" ? "" : "   (PASS gives an access token)");
    }
  }
  return "(no AUTH: the server lists neither USER nor a mechanism pollensift has; USER and PASS "
         "may work all the same)";
}

void suggest(const MailAccount& account, const ProbeReport& report) {
  // Without TLS, APOP at least keeps the password off the wire.
  const bool apop = !apopStamp(report.greeting).empty() &&
                    (protocolUsesApop(account.protocolCode()) || !report.tls);
  std::string protocol = apop ? "APOP" : "POP3";
  if (report.tls_from_start) protocol += "/SSL";
  if (report.stls_done) protocol += "/STLS";
  line("  Suggested for the rc file:");
  line("    PROTOCOL = \"" + protocol + "\"");
  line("    PORT     = " + std::to_string(account.port()));
  line("    " + suitedAuth(account, report.capabilities ? capabilitiesOf(*report.capabilities) : Capabilities(), apop));
  if (report.tls && !report.tls->problem.empty()) {
    if (!report.tls->names_server && !report.tls->first_dns_name.empty()) {
      line("    SERVER   = \"" + report.tls->first_dns_name + "\"   (a name the certificate carries)");
    }
    if (report.tls->self_signed || report.tls->names_server || report.tls->first_dns_name.empty()) {
      line("    TLS_FINGERPRINT = \"" + report.tls->fingerprint +
           "\"   (once it matches the one the server's owner gives you; TLS_CA_FILE for a "
           "private CA)");
    }
  }
  if (!report.tls) {
    line(std::string("  Warning: this connection is not encrypted: the mail") +
         (apop ? " crosses" : " and the password cross") +
         " the network readable. Ask whether the server has a TLS port (usually 995) and "
         "probe it with PROTOCOL = \"POP3/SSL\".");
  }
}

}  // namespace

int probeAccounts(const std::string& only) {
  Settings& settings = Settings::instance();
  int result = 0;
  bool found = false;
  for (const MailAccount& account : settings.accounts()) {
    const std::string name = account.user() + "@" + account.server();
    if (!only.empty() && name != only) continue;
    found = true;
    const char* protocol = "POP3";
    for (const auto& [text, code] : kProtocolNames) {
      if (code == account.protocolCode()) protocol = text;
    }
    line("Probing " + name + " on port " + std::to_string(account.port()) + " (PROTOCOL = \"" +
         protocol + "\"); no password is sent.");
    const ProbeReport report = probeServer(account, settings.timeout());
    if (!report.answered()) {
      line(report.connected ? "  The server sent no greeting." : "  No connection.");
      result = -1;
      continue;
    }
    if (report.tls_from_start && report.tls) showTls(*report.tls);
    line("  Greeting: " + fromServer(report.greeting));
    const std::string stamp = apopStamp(report.greeting);
    line(stamp.empty() ? "  APOP: no time stamp in the greeting, so no APOP login."
                       : "  APOP: the greeting carries the time stamp " + fromServer(stamp) +
                             ", so APOP can log in without sending the password.");
    if (report.stls_done) {
      showCapabilities("CAPA before STLS", report.capabilities_before_tls, false);
      line("  STLS: the connection is now encrypted.");
      showTls(*report.tls);
      showCapabilities("CAPA after STLS", report.capabilities, true);
    } else {
      showCapabilities("CAPA", report.capabilities, report.tls_from_start);
      if (report.stls_offered) line("  STLS: offered, but the upgrade failed (see above).");
    }
    if (protocolUsesStls(account.protocolCode()) && !report.stls_done) {
      // Whoever sits on the link can strip STLS or break it; a suggestion without it would hand
      // them the password.
      line(std::string("  Warning: the server's STLS looks tampered with: ") +
           (report.stls_offered ? "the upgrade to TLS failed"
                                : "CAPA does not list STLS, as if it had been stripped on the way") +
           ". Nothing less than PROTOCOL = \"" + protocol +
           "\" is suggested; a run skips the account rather than send the password in clear "
           "text. Probe again from another network, or ask the server's owner.");
      result = -1;
      continue;
    }
    suggest(account, report);
  }
  if (!only.empty() && !found) {
    std::fflush(stdout);
    std::fprintf(stderr, "pollensift: Error: %s\n",
                 escapeControls("No account " + only + " in the rcfile.").c_str());
    return -1;
  }
  return result;
}
