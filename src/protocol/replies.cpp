#include "protocol/replies.h"

#include <cctype>
#include <climits>
#include <utility>

#include "report/reporter.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The next word of text after *at (blanks separate words, a line end ends the text).
std::string_view nextWord(std::string_view text, size_t* at) {
  size_t i = *at;
  while (i < text.size() && isBlank(text[i])) ++i;
  const size_t start = i;
  while (i < text.size() && !isBlank(text[i]) && text[i] != '\r' && text[i] != '\n') ++i;
  *at = i;
  return text.substr(start, i - start);
}

// A word made only of decimal digits, saturating at INT_MAX; nullopt for anything else.
std::optional<int> decimal(std::string_view word) {
  if (word.empty()) return std::nullopt;
  long long value = 0;
  for (char c : word) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) value = INT_MAX;
  }
  return static_cast<int>(value);
}

// The leading decimal digits of text as a count; 0 without digits, INT_MAX when too large.
int leadingNumber(std::string_view text) {
  long long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

// "n size ..." with n and size decimal numbers: the pair, or nullopt.
std::optional<std::pair<int, int>> numberAndSize(std::string_view line) {
  size_t at = 0;
  const std::optional<int> number = decimal(nextWord(line, &at));
  const std::optional<int> size = decimal(nextWord(line, &at));
  if (!number || !size) return std::nullopt;
  return std::pair{*number, *size};
}

}  // namespace

int statCount(std::string_view reply) {
  std::string_view words[2];
  size_t found = 0;
  size_t at = 0;
  while (found < 2) {
    while (at < reply.size() && std::isspace(static_cast<unsigned char>(reply[at]))) ++at;
    if (at == reply.size()) break;
    const size_t start = at;
    while (at < reply.size() && !std::isspace(static_cast<unsigned char>(reply[at]))) ++at;
    words[found++] = reply.substr(start, at - start);
  }
  return leadingNumber(words[found > 1 ? 1 : 0]);
}

std::optional<int> listedSize(std::string_view reply, int number) {
  if (reply.starts_with("+OK")) reply.remove_prefix(3);
  if (reply.empty() || !isBlank(reply.front())) return std::nullopt;
  const auto listed = numberAndSize(reply);
  if (!listed || listed->first != number) return std::nullopt;
  return listed->second;
}

std::optional<std::vector<int>> listedSizes(std::string_view reply, int count) {
  std::vector<int> sizes;
  size_t start = reply.find('\n');
  while (start != std::string_view::npos) {
    ++start;
    const size_t end = reply.find('\n', start);
    const std::string_view line = reply.substr(start, end == std::string_view::npos
                                                          ? std::string_view::npos
                                                          : end - start);
    start = end;
    if (line == ".\r" || line == ".") break;
    if (static_cast<int>(sizes.size()) == count) return std::nullopt;
    const auto listed = numberAndSize(line);
    if (!listed || listed->first != static_cast<int>(sizes.size()) + 1) return std::nullopt;
    sizes.push_back(listed->second);
  }
  if (static_cast<int>(sizes.size()) != count) return std::nullopt;
  return sizes;
}

std::string statusLine(std::string_view reply) {
  const size_t end = reply.find_first_of("\r\n");
  return Reporter::instance().withoutSecrets(end == std::string_view::npos ? reply
                                                                            : reply.substr(0, end));
}
