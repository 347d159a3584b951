#include "header/line_ends.h"

#include <utility>

namespace {

// Whether the line starting at text is empty: nothing but CRs before its LF.
bool emptyLine(std::string_view text) {
  const size_t first = text.find_first_not_of('\r');
  return first != std::string_view::npos && text[first] == '\n';
}

}  // namespace

std::string_view withoutLineEnd(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  while (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

size_t headerEnd(std::string_view text) {
  if (emptyLine(text)) return 0;
  for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    if (emptyLine(text.substr(at + 1))) return at + 1;
  }
  return std::string_view::npos;
}

bool withSingleCarriageReturns(std::string_view text, std::string* out) {
  if (text.find("\r\r\n") == std::string_view::npos) return false;
  std::string result;
  result.reserve(text.size());
  size_t start = 0;
  for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', start)) {
    result.append(withoutLineEnd(text.substr(start, at + 1 - start)));
    // A bare LF stays bare: only the CRs beyond one are the server's addition.
    result.append(at > start && text[at - 1] == '\r' ? "\r\n" : "\n");
    start = at + 1;
  }
  result.append(text.substr(start));
  *out = std::move(result);
  return true;
}
