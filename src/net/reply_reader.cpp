#include "net/reply_reader.h"

#include <algorithm>

namespace {
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kTerminator = "\r\n.\r\n";
}  // namespace

ReplyReader::Status ReplyReader::check(bool multiline) {
  if (multiline != multiline_) {
    multiline_ = multiline;
    status_end_ = end_ = search_from_ = 0;
  }
  if (end_ == 0) findEnd();
  if (end_ != 0) return end_ > limit_ ? Status::kTooLarge : Status::kComplete;
  return buffer_.size() > limit_ ? Status::kTooLarge : Status::kIncomplete;
}

void ReplyReader::findEnd() {
  if (status_end_ == 0) {
    const size_t at = buffer_.find(kLineEnd, search_from_);
    if (at == std::string::npos) {
      // A CR at the very end may still be joined by its LF.
      search_from_ = buffer_.empty() ? 0 : buffer_.size() - 1;
      return;
    }
    status_end_ = at + kLineEnd.size();
    search_from_ = at;  // the status line's CR LF may open the terminator
  }
  if (!multiline_ || buffer_.front() == '-') {
    end_ = status_end_;
    return;
  }
  const size_t at = buffer_.find(kTerminator, search_from_);
  if (at == std::string::npos) {
    if (buffer_.size() >= kTerminator.size()) {
      search_from_ = std::max(search_from_, buffer_.size() - (kTerminator.size() - 1));
    }
    return;
  }
  end_ = at + kTerminator.size();
}

std::string ReplyReader::take() {
  std::string reply;
  if (end_ == buffer_.size()) {
    // Nearly always the reply is all there is: hand the buffer over instead of copying it.
    reply.swap(buffer_);
  } else {
    reply = buffer_.substr(0, end_);
    buffer_.erase(0, end_);
  }
  status_end_ = end_ = search_from_ = 0;
  return reply;
}

void ReplyReader::consume(size_t count) {
  buffer_.erase(0, count);
  status_end_ = end_ = search_from_ = 0;
}

void ReplyReader::clear() {
  buffer_.clear();
  status_end_ = end_ = search_from_ = 0;
}
