#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// What a TLS connection of one account trusts instead of the system's store alone.
struct TlsTrust {
  // SHA-256 of the server certificate as 64 lowercase hexadecimal digits: exactly that
  // certificate is accepted, whatever its chain and names. Empty for none.
  std::string fingerprint;
  // A file of trusted certificates used instead of the system's store. Empty for the store.
  std::string ca_file;
  // For a probe that sends no secret: a certificate that fails verification is accepted without
  // a word, and TlsPeer::problem says why it failed.
  bool report_only = false;
};

// What the hand-shake of an encrypted connection showed. Texts from the certificate are as it
// carries them; they must be escaped before they are shown.
struct TlsPeer {
  std::string version;      // "TLSv1.3"
  std::string cipher;       // "TLS_AES_256_GCM_SHA384"
  std::string names;        // "CN=pop.example.org, DNS:pop.example.org, IP:192.0.2.1"
  std::string issuer;       // "CN=Example CA,O=Example"
  std::string valid_from;   // "2025-01-31 12:00:00 UTC"
  std::string valid_until;
  std::string fingerprint;  // SHA-256 as TLS_FINGERPRINT takes it: "3F:A1:...:9C"
  std::string problem;      // why it did not verify; empty when it did
  std::string first_dns_name;  // a name SERVER could use; empty when it names none
  bool names_server = true;    // it names the server as configured
  bool self_signed = false;
};

// The transport a mailbox protocol talks through. Socket is the real one; tests plug in their own.
class Connection {
 public:
  virtual ~Connection() = default;
  // 0 when connected (for the TLS protocol codes: hand-shake done); -1 after reporting why.
  virtual int connect(const char* host, int port, int timeout, int protocolType) = 0;
  virtual int close() = 0;
  // Closes once the server has had what was sent, waiting up to wait_seconds for it to close too
  // (see Transport::closeInOrder): for a session that ends without QUIT after commands whose
  // replies are not read.
  virtual int closeInOrder(int /*wait_seconds*/) { return close(); }
  // Length of the complete reply, -1 on time-out, end of stream or read failure, -2 when it could
  // not be stored.
  virtual int readReply(bool multiline) = 0;
  // A multi-line reply read piece by piece, for a whole message: its status line becomes
  // lastReply; when that is positive, the text after it goes to sink in pieces, dot-unstuffed and
  // with LF line ends, up to its "." line. A sink that returns false gets nothing more, but the
  // reply is still read to its end. The bytes read, -1 as readReply (time-out, end of stream, a
  // reply longer than limit). The transport of tests without it returns -1.
  virtual long readMessage(const std::function<bool(std::string_view)>& /*sink*/,
                           size_t /*limit*/) {
    return -1;
  }
  // Bytes written, or a negative value on failure (also for a null text).
  virtual int sendCommand(const char* text) = 0;
  // Several commands, each ending in CR LF, in one write where the transport allows: commands
  // that leave in separate small segments may each wait for an acknowledgement. Traced one line
  // each, a PASS command as sendCommand traces it; no other may carry a secret.
  virtual int sendCommands(const std::string& commands) { return sendCommand(commands.c_str()); }
  // Like sendCommand for a text that carries a secret: the trace shows only its first shown
  // bytes, then "*****".
  virtual int sendSecret(const char* text, size_t shown) = 0;
  // Starts TLS over the open plain connection, verified exactly as for the TLS protocol codes:
  // 0, or -1 after reporting why. Nothing the server sent before stays readable.
  virtual int startTls() = 0;
  // The trust of the account about to connect; connections are shared between accounts.
  virtual void setTlsTrust(const TlsTrust& trust) = 0;
  // What the hand-shake showed while the connection is encrypted; null otherwise.
  virtual const TlsPeer* tlsPeer() const { return nullptr; }
  // The last complete reply, or null before the first one.
  virtual const std::string* lastReply() const = 0;
  // Sets the longest reply accepted from now on and returns the one before; a transport without
  // a limit ignores it and returns 0.
  virtual size_t setReplyLimit(size_t /*bytes*/) { return 0; }
  // Whether the server has closed its side: further commands would go nowhere. It does not wait.
  virtual bool peerClosed() const { return false; }
  // Whether the server has sent bytes that no reply read has taken yet. It does not wait.
  virtual bool pendingInput() const { return false; }
  // Whether the next reply (multi-line or not) has already arrived whole, so that reading it
  // will not wait. It neither waits nor reads from the network.
  virtual bool replyBuffered(bool /*multiline*/) { return false; }
};

// The longest header (the reply to TOP n 0) accepted. Real headers are kilobytes, spam with long
// lines tens of kilobytes; parsing and judging a header costs a few times its size in memory,
// so a hostile server must not send hundreds of megabytes of it.
constexpr size_t kHeaderReplyLimit = size_t{4} << 20;

// While it lives, replies on a connection are held to a limit; then the one before holds again.
class ReplyLimit {
 public:
  ReplyLimit(Connection& link, size_t bytes) : link_(link), before_(link.setReplyLimit(bytes)) {}
  ~ReplyLimit() {
    if (before_ != 0) link_.setReplyLimit(before_);
  }
  ReplyLimit(const ReplyLimit&) = delete;
  ReplyLimit& operator=(const ReplyLimit&) = delete;

 private:
  Connection& link_;
  size_t before_;
};
