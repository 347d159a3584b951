#include "header/message_header.h"

#include <exception>
#include <string_view>
#include <utility>

#include "config/compare.h"
#include "config/fatal.h"
#include "config/settings.h"
#include "report/reporter.h"

namespace {

// Character classes of the POSIX locale, spelled out so that no locale and no byte above 127 can
// change them.
bool isSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool isLetter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool isKept(unsigned char c) {
  return isLetter(c) || isDigit(c) || isSpace(c) || c == '@';
}

// The form that the duplicate check relies on: "<...@...>", at least five characters.
bool isWellFormedMessageId(const std::string& value) {
  return value.size() >= 5 && value.front() == '<' && value.back() == '>' &&
         value.find('@') != std::string::npos;
}

// A Message-ID folded onto the line after its name arrives with the blanks that folding put
// around it (" <id@host> "); they are not part of the ID. A value that starts with a blank can
// only come from such a fold, as the blanks after the colon are skipped.
std::string unfoldedMessageId(const std::string& value) {
  if (value.empty() || value.front() != ' ') return value;
  const size_t first = value.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return value.substr(first, value.find_last_not_of(' ') - first + 1);
}

// Every field is tested against the four kept names; the length settles most of them at once.
bool isNamed(const std::string& name, std::string_view kept) {
  return name.size() == kept.size() && equalsIgnoreCase(name, kept);
}

}  // namespace

void MessageHeader::addField(std::string name_text, std::string value_text) {
  fields_.emplace_back(std::move(name_text), std::move(value_text));
  const std::string& name = fields_.back().first;
  const std::string& value = fields_.back().second;
  if (isNamed(name, "Message-Id")) {
    std::string id = unfoldedMessageId(value);
    if (!Settings::instance().ignoreTimeStamps() && !isWellFormedMessageId(id)) {
      const WrongMessageIDException wrong;
      Reporter::instance().error(wrong.what(), 1);
      throw wrong;
    }
    message_id_ = std::move(id);
  } else if (isNamed(name, "From")) {
    from_ = value;
  } else if (isNamed(name, "Subject")) {
    subject_ = value;
    if (Settings::instance().normal()) {
      try {
        normaliseSubject(value);
      } catch (const std::exception& e) {
        // Only memory exhaustion gets here; the run cannot sensibly go on.
        fatalError(std::string("Runtime exception while normalising a subject: ") + e.what());
      }
    }
  } else if (isNamed(name, "Date")) {
    date_ = value;
  }
}

// Drops every character other than letters, digits, white space and "@", then shrinks each run of
// white space to its last character. Dropping first is what lets white space on both sides of a
// dropped character merge ("a ! b" gives "a b").
void MessageHeader::normaliseSubject(std::string text) {
  std::string kept;
  kept.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!isKept(c)) continue;
    if (isSpace(c) && !kept.empty() && isSpace(static_cast<unsigned char>(kept.back()))) {
      kept.back() = ch;
    } else {
      kept += ch;
    }
  }
  normalised_subject_ = "Subject: " + kept;
}
