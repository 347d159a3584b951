#include "header/parse_header.h"

#include <algorithm>
#include <memory>

#include "header/line_scanner.h"
#include "header/message_header.h"
#include "header/rfc_lexer.h"
#include "rfc_parser.hh"

namespace {

// One parser serves every header of a run: setting it up per message (its stack) costs more than
// scanning a short header. The scanner is handed in.
struct HeaderParser {
  HeaderTokens* scanner = nullptr;
  MessageHeader* header = nullptr;
  bool malformed = false;
  rfc::rfcparser parser{scanner, header, malformed};
};

// The parser's stack grows with the longest header it has read; past this size it is not kept for
// the rest of the run.
constexpr size_t kKeptInputBytes = size_t{1} << 20;

}  // namespace

int parseHeader(const std::string* text, MessageHeader* header) {
  if (text == nullptr) return -1;
  return parseHeader(std::string_view(*text), header);
}

int parseHeader(std::string_view text, MessageHeader* header) {
  static LineScanner scanner;
  return parseHeaderWith(scanner, text, header);
}

int parseHeaderWith(HeaderTokens& tokens, std::string_view text, MessageHeader* header) {
  if (header == nullptr) return -1;
  static std::unique_ptr<HeaderParser> cached;
  int result;
  try {
    if (!cached) cached = std::make_unique<HeaderParser>();
    // Every field starts a line, and its name and value are no longer than the text.
    header->reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1,
                    text.size());
    cached->scanner = &tokens;
    cached->header = header;
    cached->malformed = false;
    tokens.restart(text);
    result = cached->parser.parse();
    if (cached->malformed) result = -3;
  } catch (...) {
    // A header beyond what the record or memory can hold.
    result = -2;
  }
  if (cached) {
    cached->header = nullptr;
    cached->scanner = nullptr;
    if (text.size() > kKeptInputBytes) cached.reset();
  }
  return result;
}
