#pragma once

#include <memory>
#include <string>
#include <string_view>

// The digest of a message's header as two copies of it compare: its lines up to the first empty
// one, each without the CRs before its LF (a copy stored with LF line ends and one sent with
// CR LF, or with CR CR LF, are the same header). Fed the message's text, dot-unstuffed, in pieces
// of any size; what follows the header is ignored.
class HeaderDigest {
 public:
  HeaderDigest();
  ~HeaderDigest();
  HeaderDigest(const HeaderDigest&) = delete;
  HeaderDigest& operator=(const HeaderDigest&) = delete;

  void add(std::string_view text);
  // Whether the header's empty line has come: nothing more changes the digest.
  bool complete() const { return complete_; }
  // SHA-256 of the header as 64 lowercase hexadecimal digits; the digest is done with then.
  std::string value();

 private:
  void flush();

  struct Context;
  std::unique_ptr<Context> context_;
  std::string pending_;      // bytes not yet handed to the digest
  size_t carriage_returns_ = 0;  // CRs seen since the last other byte of the line
  bool line_empty_ = true;
  bool complete_ = false;
};

// The digest of the header of a POP3 reply's text (the status line removed, dot-stuffed, with
// CR LF line ends and maybe its "." line), as HeaderDigest gives it for the message.
std::string replyHeaderDigest(std::string_view reply_text);

// A short name for one message of one mailbox: the account, the listed size and the header
// digest together, as 16 hexadecimal digits. A stored copy carries it in its file name, so that a
// run that finds it there need not store the message again.
std::string messageTag(std::string_view account, int size, const std::string& header_digest);
