#include <string>
#include <string_view>

#include "config/settings.h"
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

// Accepts any Message-ID while it lives, and restores the setting afterwards.
class AcceptAnyMessageId {
 public:
  AcceptAnyMessageId() : saved_(Settings::instance().ignoreTimeStamps()) {
    Settings::instance().setIgnoreTimeStamps(true);
  }
  ~AcceptAnyMessageId() { Settings::instance().setIgnoreTimeStamps(saved_); }
  AcceptAnyMessageId(const AcceptAnyMessageId&) = delete;
  AcceptAnyMessageId& operator=(const AcceptAnyMessageId&) = delete;

 private:
  bool saved_;
};

}  // namespace

std::string wrongMessageIdNotice(std::string_view which, std::string_view text) {
  // The refused parse stopped at the Message-ID; From and Subject may come after it.
  MessageHeader header;
  {
    const AcceptAnyMessageId accept;
    parseHeader(text, &header);
  }
  return "Message " + std::string(which) + " (From: " + shortened(header.from()) +
         ", Subject: " + shortened(header.subject()) +
         ") has a Message-ID of the wrong form; -i (--ignore-time-stamps) accepts such IDs.";
}
