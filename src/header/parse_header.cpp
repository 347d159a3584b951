#include "header/parse_header.h"

#include <istream>
#include <streambuf>

#include "header/message_header.h"
#include "header/rfc_lexer.h"
#include "rfc_parser.hh"

namespace {

// Reads a string in place, so a header is not copied into a string stream first.
class StringReader : public std::streambuf {
 public:
  explicit StringReader(std::string_view text) {
    char* begin = const_cast<char*>(text.data());  // only ever read
    setg(begin, begin, begin + text.size());
  }
};

}  // namespace

int parseHeader(const std::string* text, MessageHeader* header) {
  if (text == nullptr) return -1;
  return parseHeader(std::string_view(*text), header);
}

int parseHeader(std::string_view text, MessageHeader* header) {
  if (header == nullptr) return -1;
  try {
    StringReader reader(text);
    std::istream input(&reader);
    rfcFlexLexer scanner(&input, nullptr);
    bool malformed = false;
    rfc::rfcparser parser(scanner, *header, malformed);
    const int result = parser.parse();
    return malformed ? -3 : result;
  } catch (...) {
    // In practice a Message-ID of the wrong form; its cause has been reported already.
    return -2;
  }
}
