#include "protocol/capabilities.h"

#include <cctype>
#include <string>

namespace {

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

// The next blank-separated word of text from at, moving at past it; empty at the end.
std::string_view nextWord(std::string_view text, size_t& at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  const size_t start = at;
  while (at < text.size() && text[at] != ' ' && text[at] != '\t') ++at;
  return text.substr(start, at - start);
}

}  // namespace

Capabilities Capabilities::parse(std::string_view reply) {
  Capabilities result;
  if (!reply.starts_with("+OK")) return result;
  result.known_ = true;
  size_t line_start = reply.find('\n');
  while (line_start != std::string_view::npos) {
    ++line_start;
    const size_t line_end = reply.find('\n', line_start);
    std::string_view line = reply.substr(
        line_start, line_end == std::string_view::npos ? std::string_view::npos
                                                       : line_end - line_start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line_start = line_end;
    if (line == ".") break;
    size_t at = 0;
    const std::string name = upper(nextWord(line, at));
    if (name.empty()) continue;
    if (name == "SASL") {
      result.sasl_listed_ = true;
      for (std::string_view word = nextWord(line, at); !word.empty(); word = nextWord(line, at)) {
        result.sasl_.insert(upper(word));
      }
    }
    result.names_.insert(name);
  }
  return result;
}

bool Capabilities::has(std::string_view name) const { return names_.contains(upper(name)); }

bool Capabilities::offersSasl(std::string_view mechanism) const {
  return !sasl_listed_ || sasl_.contains(upper(mechanism));
}

std::string Capabilities::saslList() const {
  std::string list;
  for (const std::string& mechanism : sasl_) {
    if (!list.empty()) list += ' ';
    list += mechanism;
  }
  return list;
}
