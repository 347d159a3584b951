#include "protocol/probe.h"

#include <string_view>

#include "config/mail_account.h"
#include "config/protocol_codes.h"
#include "net/socket.h"

namespace {

std::string withoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

bool positiveReply(Socket& socket, int got) {
  const std::string* reply = socket.lastReply();
  return got > 0 && reply != nullptr && !reply->empty() && reply->front() == '+';
}

// CAPA's lines, or nothing when the server refused it or did not answer.
std::optional<std::vector<std::string>> readCapabilities(Socket& socket) {
  if (socket.sendCommand("CAPA\r\n") < 0) return std::nullopt;
  const int got = socket.readReply(true);
  if (!positiveReply(socket, got)) return std::nullopt;
  std::vector<std::string> lines;
  std::string_view rest(*socket.lastReply());
  rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));  // the status line
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string line = withoutLineEnd(std::string(rest.substr(0, end)));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line == ".") break;
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

Capabilities capabilitiesOf(const std::vector<std::string>& lines) {
  std::string reply = "+OK\r\n";
  for (const std::string& line : lines) reply += line + "\r\n";
  return Capabilities::parse(reply);
}

ProbeReport probeServer(const MailAccount& account, int timeout) {
  // A probe asks a few short questions: a port that has not greeted within a few seconds will not
  // (it may expect TLS from the start), and the person waiting wants the explanation soon.
  constexpr int kProbeTimeout = 10;
  if (timeout > kProbeTimeout) timeout = kProbeTimeout;
  ProbeReport report;
  Socket socket;
  socket.setTlsTrust({account.tlsFingerprint(), account.tlsCaFile(), true});
  report.tls_from_start = protocolUsesTls(account.protocolCode());
  if (socket.connect(account.server().c_str(), account.port(), timeout,
                     report.tls_from_start ? kProtocolPop3Ssl : kProtocolPop3) != 0) {
    return report;
  }
  report.connected = true;
  if (const TlsPeer* peer = socket.tlsPeer()) report.tls = *peer;
  if (socket.readReply(false) <= 0 || socket.lastReply() == nullptr) {
    socket.close();
    return report;
  }
  report.greeting = withoutLineEnd(*socket.lastReply());
  report.capabilities = readCapabilities(socket);

  if (!report.tls_from_start && report.capabilities && capabilitiesOf(*report.capabilities).has("STLS")) {
    report.stls_offered = true;
    const bool agreed =
        socket.sendCommand("STLS\r\n") >= 0 && positiveReply(socket, socket.readReply(false));
    if (agreed && socket.startTls() != 0) {
      // The connection may be half-way into TLS; nothing more can be said on it.
      socket.close();
      return report;
    }
    if (agreed) {
      report.stls_done = true;
      if (const TlsPeer* peer = socket.tlsPeer()) report.tls = *peer;
      report.capabilities_before_tls = std::move(report.capabilities);
      // What the server said before the upgrade may have been forged on the way.
      report.capabilities = readCapabilities(socket);
    }
  }
  socket.sendCommand("QUIT\r\n");
  socket.readReply(false);
  socket.close();
  return report;
}
