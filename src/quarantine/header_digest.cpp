#include "quarantine/header_digest.h"

#include <openssl/evp.h>

#include <new>

#include "text/dot_stuffing.h"
#include "text/hex.h"

struct HeaderDigest::Context {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(md); }
};

HeaderDigest::HeaderDigest() : context_(new Context) {
  if (context_->md == nullptr || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

HeaderDigest::~HeaderDigest() = default;

void HeaderDigest::flush() {
  if (pending_.empty()) return;
  EVP_DigestUpdate(context_->md, pending_.data(), pending_.size());
  pending_.clear();
}

void HeaderDigest::add(std::string_view text) {
  for (const char c : text) {
    if (complete_) break;
    if (c == '\n') {
      // CRs before the LF are the line end's; a line of nothing else ends the header.
      if (line_empty_) {
        complete_ = true;
        break;
      }
      pending_ += '\n';
      line_empty_ = true;
      carriage_returns_ = 0;
    } else if (c == '\r') {
      ++carriage_returns_;
    } else {
      pending_.append(carriage_returns_, '\r');
      carriage_returns_ = 0;
      pending_ += c;
      line_empty_ = false;
    }
    if (pending_.size() >= 16384) flush();
  }
}

std::string HeaderDigest::value() {
  // A last line without its LF ends as if it had one.
  if (!complete_ && !line_empty_) pending_ += '\n';
  complete_ = true;
  flush();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_->md, digest, &length) != 1) throw std::bad_alloc();
  return lowerHex(digest, length);
}

std::string replyHeaderDigest(std::string_view reply_text) {
  HeaderDigest digest;
  if (reply_text == ".\r\n") return digest.value();
  if (reply_text.ends_with("\r\n.\r\n")) reply_text.remove_suffix(3);
  while (!reply_text.empty() && !digest.complete()) {
    const size_t end = reply_text.find('\n');
    const std::string_view line = reply_text.substr(0, end);
    reply_text.remove_prefix(end == std::string_view::npos ? reply_text.size() : end + 1);
    digest.add(unstuffedLine(line));
    if (end != std::string_view::npos) digest.add("\n");
  }
  return digest.value();
}

std::string messageTag(std::string_view account, int size, const std::string& header_digest) {
  const std::string key =
      std::string(account) + "\n" + std::to_string(size) + "\n" + header_digest;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(key.data(), key.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return lowerHex(digest, 8);
}
