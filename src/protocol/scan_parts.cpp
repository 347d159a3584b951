#include "protocol/scan_parts.h"

#include <utility>

#include "header/line_ends.h"

namespace {

constexpr std::string_view kEndLine = ".\r\n";
constexpr std::string_view kHeaderTail = "\r\n.\r\n";

}  // namespace

const char* failure(PendingCommand::Kind kind) {
  using Kind = PendingCommand::Kind;
  switch (kind) {
    case Kind::kList:
      return "Error occurred while sending LIST to server.";
    case Kind::kTop:
      return "Error occurred while sending TOP to server.";
    case Kind::kRetr:
      return "Error occurred while sending RETR to server.";
    case Kind::kDele:
      break;
  }
  return "Error occurred while sending DELE to server.";
}

std::optional<std::string_view> headerOf(const std::string& reply, int size, std::string* buffer,
                                         bool* left_out) {
  std::string_view text(reply);
  const size_t line_feed = text.find('\n');
  if (line_feed != std::string_view::npos) text.remove_prefix(line_feed + 1);
  buffer->clear();
  if (const size_t end = headerEnd(text); end != std::string_view::npos) {
    // What follows the header's empty line must be the "." line alone.
    const size_t after_empty = text.find('\n', end) + 1;
    if (text.substr(after_empty) != kEndLine) {
      if (left_out != nullptr) *left_out = true;
      buffer->reserve(end + kHeaderTail.size());
      buffer->append(text.substr(0, end)).append(kHeaderTail);
      text = *buffer;
    }
  } else if (text.ends_with(kEndLine) &&
             text.size() - kEndLine.size() < static_cast<size_t>(size)) {
    return std::nullopt;
  }
  if (std::string rebuilt; withSingleCarriageReturns(text, &rebuilt)) {
    *buffer = std::move(rebuilt);
    text = *buffer;
  }
  return text;
}
