#include "header/parse_header.h"

#include <algorithm>
#include <memory>

#include "header/message_header.h"
#include "header/rfc_lexer.h"
#include "rfc_parser.hh"

namespace {

// One scanner and one parser serve every header of a run: setting them up per message (their
// streams, the scanner's buffer, the parser's stack) cost more than scanning a short header.
struct HeaderParser {
  HeaderScanner scanner;
  MessageHeader* header = nullptr;
  bool malformed = false;
  rfc::rfcparser parser{scanner, header, malformed};
};

// The scanner's buffer grows to the longest header it has read; past this size it is not kept
// for the rest of the run.
constexpr size_t kKeptInputBytes = size_t{1} << 20;

}  // namespace

int parseHeader(const std::string* text, MessageHeader* header) {
  if (text == nullptr) return -1;
  return parseHeader(std::string_view(*text), header);
}

int parseHeader(std::string_view text, MessageHeader* header) {
  if (header == nullptr) return -1;
  static std::unique_ptr<HeaderParser> cached;
  int result;
  try {
    if (!cached) cached = std::make_unique<HeaderParser>();
    // Every field starts a line, and its name and value are no longer than the text.
    header->reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1,
                    text.size());
    cached->header = header;
    cached->malformed = false;
    cached->scanner.restart(text);
    result = cached->parser.parse();
    if (cached->malformed) result = -3;
  } catch (...) {
    // A header beyond what the record or memory can hold.
    result = -2;
  }
  if (cached) {
    cached->header = nullptr;
    if (text.size() > kKeptInputBytes) cached.reset();
  }
  return result;
}
