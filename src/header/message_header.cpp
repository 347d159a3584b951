#include "header/message_header.h"

#include <cstdint>
#include <exception>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "config/settings.h"
#include "report/fatal.h"
#include "report/reporter.h"
#include "text/compare.h"

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
std::string unfoldedMessageId(std::string_view value) {
  if (!value.empty() && value.front() == ' ') {
    const size_t first = value.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    value = value.substr(first, value.find_last_not_of(' ') - first + 1);
  }
  return std::string(value);
}

// Past the white space and comments ("(...)", nested, with \-quoted characters) from at on;
// npos in a comment that does not end.
size_t skipCfws(std::string_view text, size_t at) {
  int depth = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (depth > 0 && c == '\\') {
      ++at;
    } else if (c == '(') {
      ++depth;
    } else if (depth > 0 && c == ')') {
      --depth;
    } else if (depth == 0 && c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      return at;
    }
  }
  return depth == 0 ? text.size() : std::string_view::npos;
}

// The msg-id of a Message-ID value: "<...>" with the comments and blanks allowed around it
// ("<3D43@mta.example> (added by postmaster)") left out. Any other value is kept as it is,
// apart from the blanks of a fold, and is then of the wrong form.
std::string messageIdOf(std::string_view value) {
  const size_t start = skipCfws(value, 0);
  if (start < value.size() && value[start] == '<') {
    const size_t end = value.find('>', start);
    if (end != std::string_view::npos && skipCfws(value, end + 1) == value.size()) {
      return std::string(value.substr(start, end - start + 1));
    }
  }
  return unfoldedMessageId(value);
}

// Every field is tested against the four kept names; the length settles most of them at once.
bool isNamed(std::string_view name, std::string_view kept) {
  return name.size() == kept.size() && equalsIgnoreCase(name, kept);
}

}  // namespace

bool MessageHeader::FieldList::operator==(const std::vector<Field>& other) const {
  if (size() != other.size()) return false;
  for (size_t i = 0; i < other.size(); ++i) {
    if ((*this)[i] != other[i]) return false;
  }
  return true;
}

std::ostream& operator<<(std::ostream& out, const MessageHeader::Field& field) {
  return out << '(' << field.first << ", " << field.second << ')';
}

void MessageHeader::reserve(size_t fields, size_t text_bytes) {
  spans_.reserve(fields);
  text_.reserve(text_bytes);
}

void MessageHeader::addField(std::string_view name_text, std::string_view value_text) {
  const size_t at = text_.size();
  if (at + name_text.size() + value_text.size() > UINT32_MAX) {
    throw std::length_error("header fields longer than 4 GiB");
  }
  text_.append(name_text);
  text_.append(value_text);
  spans_.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(name_text.size()),
                    static_cast<uint32_t>(value_text.size())});
  const Field added = field(spans_.size() - 1);
  const std::string_view name = added.first;
  const std::string_view value = added.second;
  if (isNamed(name, "Message-Id")) {
    std::string id = messageIdOf(value);
    if (!Settings::instance().ignoreTimeStamps() && !isWellFormedMessageId(id)) {
      // One hostile header must not stop the filtering of its mailbox: the message is judged,
      // but an identity it may have forged takes no part in the duplicate check. Whoever judges
      // it says so, once (a header read ahead is parsed twice).
      wrong_message_id_ = true;
      message_id_.clear();
    } else if (!wrong_message_id_) {
      message_id_ = std::move(id);
    }
  } else if (isNamed(name, "From")) {
    from_ = value;
  } else if (isNamed(name, "Subject")) {
    subject_ = value;
    if (Settings::instance().normal()) {
      try {
        normaliseSubject(subject_);
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
