#include <string>
#include <string_view>

#include "header/message_header.h"
#include "header/parse_header.h"

namespace {

// A hostile header may carry a Subject of any length; the notice needs only enough to recognise
// the message.
std::string shortened(const std::string& text) {
  constexpr size_t kShown = 120;
  if (text.size() <= kShown) return text;
  return text.substr(0, kShown) + "...";
}

}  // namespace

std::string wrongMessageIdNotice(std::string_view which, const MessageHeader& header) {
  return "Message " + std::string(which) + " (From: " + shortened(header.from()) +
         ", Subject: " + shortened(header.subject()) +
         ") has a Message-ID of the wrong form; -i (--ignore-time-stamps) accepts such IDs.";
}
