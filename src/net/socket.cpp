#include "net/socket.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "config/protocol_codes.h"
#include "config/settings.h"
#include "net/tcp_transport.h"
#include "net/tls.h"
#include "report/reporter.h"
#include "text/dot_stuffing.h"

namespace {

constexpr std::string_view kPasswordCommand = "PASS ";
// How long a silent server may keep its greeting before the wait is explained.
constexpr int kGreetingPatienceMs = 3000;

// A TCP connection without a time-out is bounded by the system; a TLS hand-shake is not, so with
// a time-out of 0 it must not wait at all.
Deadline handshakeDeadline(const Deadline& deadline, int timeout) {
  return timeout > 0 ? deadline : Deadline::expired();
}

void reportNotConnected() { Reporter::instance().error("There is no open connection.", 1); }

}  // namespace

Socket::Socket(std::unique_ptr<Transport> transport, int timeout)
    : transport_(std::move(transport)), timeout_(timeout) {}

// The descriptor is closed by the transport's owner even when close() was never called, so an
// abandoned check cannot leak it.
Socket::~Socket() = default;

int Socket::connect(const char* host, int port, int timeout, int protocolType) {
  Reporter& reporter = Reporter::instance();
  if (transport_) close();
  timeout_ = timeout;
  reader_.clear();
  last_reply_.reset();
  const Deadline deadline(timeout);

  use_ssl_ = protocolUsesTls(protocolType);
  if (use_ssl_) {
    reporter.print("Debugging: Using SSL encrypted communication.", 6);
  } else {
    reporter.print("Debugging: Client-server communication is not encrypted.", 6);
  }

  host_ = host != nullptr ? host : "";
  UniqueFd fd = connectTcp(host, port, deadline);
  if (!fd.valid()) return -1;
  auto tcp = std::make_unique<TcpTransport>(std::move(fd));
  if (use_ssl_) {
    transport_ = ::startTls(std::move(tcp), host, handshakeDeadline(deadline, timeout), trust_,
                            TlsStart::kFirstByte);
    if (!transport_) return -1;
  } else {
    transport_ = std::move(tcp);
  }
  return 0;
}

int Socket::startTls() {
  Reporter& reporter = Reporter::instance();
  // Bytes that came after the server's consent were sent in clear text by someone; they must
  // not be read as if they had come through TLS.
  if (reader_.buffered() != 0) {
    reporter.error("The server sent more text after agreeing to start TLS.", 1);
    const std::string_view more = reader_.pending();
    if (more.starts_with("-ERR")) {
      reporter.error(stlsRefusalLine(more.substr(0, std::min(more.find_first_of("\r\n"),
                                                             size_t{200}))),
                     1);
    }
    return -1;
  }
  auto* tcp = dynamic_cast<TcpTransport*>(transport_.get());
  if (tcp == nullptr || use_ssl_) {
    reporter.error(use_ssl_ ? "The connection is encrypted already."
                            : "TLS cannot be started on this connection.",
                   1);
    return -1;
  }
  reporter.print("Debugging: Starting TLS on the open connection.", 6);
  transport_.release();
  std::unique_ptr<TcpTransport> plain(tcp);
  const Deadline deadline(timeout_);
  transport_ = ::startTls(std::move(plain), host_.c_str(), handshakeDeadline(deadline, timeout_),
                          trust_, TlsStart::kUpgrade);
  if (!transport_) return -1;
  use_ssl_ = true;
  last_reply_.reset();
  return 0;
}

int Socket::close() {
  if (!transport_) return -1;
  const int result = transport_->close();
  transport_.reset();
  reader_.clear();
  return result;
}

int Socket::closeInOrder(int wait_seconds) {
  if (!transport_) return -1;
  const int result = transport_->closeInOrder(wait_seconds);
  transport_.reset();
  reader_.clear();
  return result;
}

int Socket::replyWaitMs() const {
  // A time-out of 0 waits for nothing: what has not arrived yet fails at once.
  if (timeout_ <= 0) return 0;
  return timeout_ > INT_MAX / 1000 ? INT_MAX : timeout_ * 1000;
}

long Socket::awaitGreeting(char* chunk, size_t size, int wait_ms) {
  if (wait_ms <= kGreetingPatienceMs) return transport_->receive(chunk, size, wait_ms);
  // A port that expects TLS at once waits in silence for the client's hello, and so does a slow
  // server before its greeting. Nothing tells them apart without sending something, and a plain
  // server would read any byte sent before its greeting as a command; so the wait goes on, but
  // after a few seconds it says what it is waiting for.
  const long got = transport_->receive(chunk, size, kGreetingPatienceMs);
  if (got != Transport::kTimedOut) return got;
  const int left_ms = wait_ms - kGreetingPatienceMs;
  Reporter::instance().print(
      "No greeting from the server after " + std::to_string(kGreetingPatienceMs / 1000) +
          " seconds; waiting up to " + std::to_string((left_ms + 999) / 1000) +
          " seconds more. A port that expects TLS at once (usually 995) stays silent like this: "
          "it needs PROTOCOL = \"POP3/SSL\".",
      3);
  return transport_->receive(chunk, size, left_ms);
}

bool Socket::receiveMore(bool first_data, std::optional<ReplyPace>& pace) {
  Reporter& reporter = Reporter::instance();
  char chunk[16384];
  // Once a reply has begun, each wait for more of it is again a wait for silence of up to the
  // time-out, so a long transfer that keeps coming is not cut short. It must keep coming at
  // kSlowestPace on average too: a server that sends a byte every few seconds would otherwise
  // hold the run for ever.
  int wait_ms = replyWaitMs();
  bool overdue = false;
  if (!first_data && timeout_ > 0) {
    const auto now = std::chrono::steady_clock::now();
    if (!pace) pace.emplace(ReplyPace{now, 0});
    const long long allowed_ms = static_cast<long long>(timeout_) * 1000 +
                                 static_cast<long long>(pace->bytes / kSlowestPace) * 1000;
    const long long left_ms =
        allowed_ms -
        std::chrono::duration_cast<std::chrono::milliseconds>(now - pace->start).count();
    overdue = left_ms <= 0;
    wait_ms = static_cast<int>(std::min<long long>(wait_ms, left_ms));
  }
  const bool greeting = first_data && !use_ssl_ && !last_reply_;
  long got = Transport::kTimedOut;
  if (!overdue) {
    got = greeting ? awaitGreeting(chunk, sizeof chunk, wait_ms)
                   : transport_->receive(chunk, sizeof chunk, wait_ms);
  }
  if (got > 0) {
    if (pace) pace->bytes += static_cast<size_t>(got);
    reader_.append(std::string_view(chunk, static_cast<size_t>(got)));
    return true;
  }
  if (got == 0) {
    reporter.error(first_data ? "The server closed the connection."
                              : "The server closed the connection in the middle of a reply.",
                   1);
  } else if (got == Transport::kTimedOut) {
    reporter.error("Connection has timed out.", 1);
    // Silence from the start of a plain connection is what a port that waits for a TLS
    // hand-shake looks like.
    if (greeting) {
      reporter.error("No greeting came from the server. If this port expects TLS from the "
                     "start (usually 995), use PROTOCOL = \"POP3/SSL\".",
                     1);
    }
  }
  // Whatever part of a reply was read cannot be judged; drop it with the failure.
  reader_.clear();
  return false;
}

int Socket::readReply(bool multiline) {
  Reporter& reporter = Reporter::instance();
  if (!transport_) {
    reportNotConnected();
    return -1;
  }
  try {
    std::optional<ReplyPace> pace;
    for (;;) {
      switch (reader_.check(multiline)) {
        case ReplyReader::Status::kComplete: {
          std::string reply = reader_.take();
          // Every reply passes here; the copy for the trace is made only when it is written.
          if (Settings::instance().verbose() >= 6) {
            std::string trace = "Debugging: Read: ";
            trace += reporter.withoutSecrets(reply);
            reporter.printLines(trace, 6);
          }
          const int length = static_cast<int>(reply.size());
          last_reply_ = std::move(reply);
          return length;
        }
        case ReplyReader::Status::kTooLarge:
          reporter.error("The server's reply is longer than " + std::to_string(reader_.limit()) +
                             " bytes.",
                         1);
          reader_.clear();
          return -1;
        case ReplyReader::Status::kIncomplete:
          break;
      }
      if (!receiveMore(reader_.buffered() == 0, pace)) return -1;
    }
  } catch (const std::exception& e) {
    reader_.clear();
    reporter.error(e.what(), 1);
    return -2;
  }
}

long Socket::readMessage(const std::function<bool(std::string_view)>& sink, size_t limit) {
  Reporter& reporter = Reporter::instance();
  if (!transport_) {
    reportNotConnected();
    return -1;
  }
  // Whatever the message's size, no more than this is held at once: a longer line goes to the
  // sink in pieces.
  constexpr size_t kPiece = size_t{64} << 10;
  try {
    std::optional<ReplyPace> pace;
    const int status = readReply(false);
    if (status <= 0) return -1;
    if (last_reply_->empty() || last_reply_->front() != '+') return status;
    long total = status;
    bool line_start = true;  // the next byte begins a line
    bool sinking = true;
    std::string piece;
    auto emit = [&](std::string_view text) {
      if (sinking) sinking = sink(text);
    };
    auto tooLong = [&](size_t more) {
      if (static_cast<size_t>(total) + more <= limit) return false;
      reporter.error("The server's reply is longer than " + std::to_string(limit) + " bytes.", 1);
      reader_.clear();
      return true;
    };
    for (;;) {
      std::string_view pending = reader_.pending();
      size_t taken = 0;
      for (;;) {
        const std::string_view left = pending.substr(taken);
        const size_t end = left.find('\n');
        if (end == std::string_view::npos) {
          // A long line without its end yet: pass all of it on but a final CR, which may be the
          // start of the line end.
          if (left.size() > kPiece) {
            std::string_view part = left.substr(0, left.size() - 1);
            if (line_start && part.front() == '.') part.remove_prefix(1);
            emit(part);
            line_start = false;
            taken += left.size() - 1;
            if (tooLong(taken)) return -1;
          }
          break;
        }
        std::string_view line = left.substr(0, end);
        taken += end + 1;
        if (tooLong(taken)) return -1;
        if (line_start && line == ".\r") {
          reader_.consume(taken);
          total += static_cast<long>(taken);
          if (Settings::instance().verbose() >= 6) {
            reporter.print("Debugging: Read: " + std::to_string(total - status) +
                               " more bytes, the message up to its \".\" line.",
                           6);
          }
          return total;
        }
        // Dot-stuffing: a line that begins with "." was sent with one more.
        if (line_start) {
          line = unstuffedLine(line);
        } else if (line.ends_with('\r')) {
          line.remove_suffix(1);
        }
        piece.assign(line);
        piece += '\n';
        emit(piece);
        line_start = true;
      }
      reader_.consume(taken);
      total += static_cast<long>(taken);
      if (!receiveMore(false, pace)) return -1;
    }
  } catch (const std::exception& e) {
    reader_.clear();
    reporter.error(e.what(), 1);
    return -2;
  }
}

int Socket::sendCommand(const char* text) {
  if (text == nullptr) return -1;
  const std::string_view command(text);
  return write(text, command.starts_with(kPasswordCommand) ? kPasswordCommand.size()
                                                           : command.size());
}

int Socket::sendSecret(const char* text, size_t shown) {
  if (text == nullptr) return -1;
  return write(text, std::min(shown, std::strlen(text)));
}

int Socket::write(const char* text, size_t shown) {
  return writeAll(text, shown, false);
}

int Socket::sendCommands(const std::string& commands) {
  return writeAll(commands, commands.size(), true);
}

int Socket::writeAll(std::string_view text, size_t shown, bool by_line) {
  Reporter& reporter = Reporter::instance();
  if (!transport_) {
    reportNotConnected();
    return -1;
  }
  const long wrote = transport_->send(text.data(), text.size(), replyWaitMs());
  if (wrote == Transport::kTimedOut) reporter.error("Connection has timed out.", 1);

  if (Settings::instance().verbose() >= 6) {
    const std::string_view kWrote = "Debugging: Wrote: ";
    if (by_line) {
      for (std::string_view rest = text; !rest.empty();) {
        const size_t end = rest.find('\n');
        const size_t length = end == std::string_view::npos ? rest.size() : end + 1;
        const std::string_view line = rest.substr(0, length);
        // As sendCommand traces it: the password command shows only its keyword.
        reporter.printLines(line.starts_with(kPasswordCommand)
                                ? std::string(kWrote).append(kPasswordCommand).append("*****")
                                : std::string(kWrote).append(line),
                            6);
        rest.remove_prefix(length);
      }
    } else {
      std::string trace = std::string(kWrote).append(text.substr(0, shown));
      if (shown < text.size()) trace += "*****";
      reporter.printLines(trace, 6);
    }
  }
  return wrote < 0 ? -1 : static_cast<int>(wrote);
}

const std::string* Socket::lastReply() const { return last_reply_ ? &*last_reply_ : nullptr; }
