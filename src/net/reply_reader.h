#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Cuts POP3 replies out of a byte stream that arrives in pieces of any size. A single-line reply
// ends at its first CR LF. A multi-line reply ends at the line "." (CR LF "." CR LF, where the
// status line's own CR LF may be the first CR LF), or at the end of its status line when that is
// negative ("-..."). Bytes after the end of a reply stay for the next one.
class ReplyReader {
 public:
  // Generous for the listing of a large mailbox, yet a hostile server cannot make the process
  // hold more. Headers have a smaller limit of their own (kHeaderReplyLimit).
  static constexpr size_t kDefaultLimit = size_t{64} << 20;

  enum class Status { kIncomplete, kComplete, kTooLarge };

  explicit ReplyReader(size_t limit = kDefaultLimit) : limit_(limit) {}

  void append(std::string_view bytes) { buffer_.append(bytes); }
  // Whether the reply at the front has arrived whole; kTooLarge once it is (or would become)
  // longer than the limit. Each call looks only at bytes not examined before.
  Status check(bool multiline);
  // Removes the complete reply that check found from the front and returns it.
  std::string take();
  void clear();

  size_t buffered() const { return buffer_.size(); }
  // For a reply read piece by piece instead of whole: the bytes not taken yet, and taking the
  // first count of them.
  std::string_view pending() const { return buffer_; }
  void consume(size_t count);
  size_t limit() const { return limit_; }
  void setLimit(size_t limit) { limit_ = limit; }

 private:
  void findEnd();

  std::string buffer_;
  size_t limit_;
  bool multiline_ = false;
  size_t status_end_ = 0;  // just past the status line's CR LF; 0 while unknown
  size_t end_ = 0;         // just past the reply; 0 while unknown
  size_t search_from_ = 0;
};
