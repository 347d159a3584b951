#include "header/line_scanner.h"

#include <cstring>
#include <string>

#include "config/settings.h"
#include "report/reporter.h"
#include "rfc_parser.hh"

std::string header_token_value;

namespace {

using Token = rfc::rfcparser::token;

// How many dropped characters of the current header are traced, one line each.
constexpr int kTracedDropsPerHeader = 100;

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isWhite(char c) {
  return isBlank(c) || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool isLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isNameCharacter(char c) {
  return isLetter(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

const char* findLineEnd(const char* from, const char* end) {
  return static_cast<const char*>(std::memchr(from, '\n', static_cast<size_t>(end - from)));
}

// The length of "Name:" with the blanks around its colon at p (after any full stops when
// dots_first), or 0. A name is a letter and then letters, digits, full stops and hyphens.
size_t fieldNameLength(const char* p, const char* end, bool dots_first) {
  const char* q = p;
  if (dots_first) {
    while (q < end && *q == '.') ++q;
  }
  if (q == end || !isLetter(*q)) return 0;
  for (++q; q < end && isNameCharacter(*q); ++q) {
  }
  while (q < end && isBlank(*q)) ++q;
  if (q == end || *q != ':') return 0;
  for (++q; q < end && isBlank(*q); ++q) {
  }
  return static_cast<size_t>(q - p);
}

// The field name of a matched "Name :" with its blanks: up to its colon (no name character is
// one), without the blanks before it.
void takeFieldName(const char* text, size_t length) {
  const char* end = static_cast<const char*>(std::memchr(text, ':', length));
  while (end > text && isBlank(end[-1])) --end;
  header_token_value.assign(text, end);
}

bool isHeaderEnd(const char* p, const char* end) {
  return end - p >= 5 && std::memcmp(p, "\r\n.\r\n", 5) == 0;
}

}  // namespace

void traceDroppedCharacter(char c, int& traced) {
  // No message is even built unless traced.
  if (Settings::instance().verbose() < 6 || traced > kTracedDropsPerHeader) return;
  Reporter& reporter = Reporter::instance();
  if (++traced > kTracedDropsPerHeader) {
    reporter.print("Debugging: Header scanner drops further characters of this header without "
                   "tracing them.", 6);
    return;
  }
  /* The byte is untrusted mail text: it never goes to the terminal raw. */
  reporter.print("Debugging: Header scanner dropped the character \"" + std::string(1, c) + "\".",
                 6);
}

void LineScanner::restart(std::string_view text) {
  at_ = text.data();
  end_ = text.data() + text.size();
  state_ = State::kInitial;
  line_start_ = true;
  traced_drops_ = 0;
}

void LineScanner::drop(const char* from, const char* to) {
  if (Settings::instance().verbose() < 6) return;
  for (const char* p = from; p < to; ++p) {
    if (!isBlank(*p)) traceDroppedCharacter(*p, traced_drops_);
  }
}

int LineScanner::next() {
  while (at_ < end_) {
    const int token = state_ == State::kBody ? body() : lineStart();
    if (token != 0) return token;
    if (at_ < end_ && state_ != State::kBody && !line_start_) {
      const int one = oneByte();
      if (one != 0) return one;
    }
  }
  return 0;
}

// A field's body: the rest of its line up to CR LF, which is the token; a line without CR LF at
// its end is dropped whole, and its line end read as such. A body that starts with "\n\r\n" is
// the text "\n".
int LineScanner::body() {
  const char* p = at_;
  if (*p == '\n') {
    if (end_ - p >= 3 && p[1] == '\r' && p[2] == '\n') {
      header_token_value.assign(p, 1);
      at_ = p + 3;
    } else {
      at_ = p + 1;
    }
    state_ = State::kInitial;
    line_start_ = true;
    return at_ == p + 3 ? static_cast<int>(Token::FIELD_TEXT) : 0;
  }
  const char* line_end = findLineEnd(p, end_);
  if (line_end != nullptr && line_end[-1] == '\r') {
    header_token_value.assign(p, line_end - 1);
    at_ = line_end + 1;
    state_ = State::kInitial;
    line_start_ = true;
    return Token::FIELD_TEXT;
  }
  const char* run_end = line_end != nullptr ? line_end : end_;
  drop(p, run_end);
  at_ = run_end;
  line_start_ = false;
  return 0;
}

// At the start of a line: an envelope line or the From field with blanks before its colon
// (INITIAL only), the server's dot-stuffing, a field name, a continued line or the end of the
// header. Leaves line_start_ false when none of them is here, for the one-byte rules.
int LineScanner::lineStart() {
  const char* p = at_;
  if (!line_start_) return 0;
  const char c = *p;
  if (state_ == State::kInitial && end_ - p >= 5 && (c | 0x20) == 'f' && (p[1] | 0x20) == 'r' &&
      (p[2] | 0x20) == 'o' && (p[3] | 0x20) == 'm' && isWhite(p[4])) {
    const char* line_end = p + 5 < end_ ? findLineEnd(p + 5, end_) : nullptr;
    if (line_end != nullptr && line_end - 1 >= p + 5 && line_end[-1] == '\r') {
      // "From : x" is the From field with a blank before its colon, not an envelope line.
      const char* after = p + 4;
      while (isBlank(*after)) ++after;
      if (*after != ':') {
        header_token_value.assign(p, line_end + 1);
        at_ = line_end + 1;
        line_start_ = true;
        return Token::ENVELOPE_LINE;
      }
      header_token_value.assign(p, 4);
      for (++after; isBlank(*after); ++after) {
      }
      at_ = after;
      state_ = State::kBody;
      return Token::FIELD_NAME;
    }
  }
  const bool unstuffed = state_ == State::kUnstuffed;
  // The server's dot-stuffing: ".X" at the start of a line stands for "X", read as a line of its
  // own where a field name may begin with a full stop.
  if (!unstuffed && c == '.' && end_ - p >= 2 && p[1] != '\r' && p[1] != '\n') {
    at_ = p + 1;
    state_ = State::kUnstuffed;
    return 0;
  }
  if (const size_t length = fieldNameLength(p, end_, unstuffed); length != 0) {
    takeFieldName(p, length);
    at_ = p + length;
    state_ = State::kBody;
    line_start_ = false;
    return Token::FIELD_NAME;
  }
  if (isWhite(c) && !(!unstuffed && isHeaderEnd(p, end_))) {
    // A continued line, up to its line end, every white-space character a space.
    const char* line_end = p + 1 < end_ ? findLineEnd(p + 1, end_) : nullptr;
    const char* stop = line_end != nullptr ? line_end : end_;
    header_token_value.assign(p, stop);
    for (char& ch : header_token_value) {
      if (ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f') ch = ' ';
    }
    at_ = stop;
    state_ = State::kFolded;
    line_start_ = stop - p == 1 && c == '\n';
    return Token::FIELD_TEXT;
  }
  line_start_ = false;
  return 0;
}

int LineScanner::oneByte() {
  const char* p = at_;
  if (state_ != State::kUnstuffed && isHeaderEnd(p, end_)) {
    header_token_value.assign(p, 5);
    at_ = p + 5;
    line_start_ = true;
    return Token::HEADER_END;
  }
  at_ = p + 1;
  if (*p == '\n') {
    state_ = State::kInitial;
    line_start_ = true;
  } else {
    line_start_ = false;
    if (!isBlank(*p)) drop(p, p + 1);
  }
  return 0;
}
