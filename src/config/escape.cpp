#include "config/escape.h"

std::string escapeControls(std::string_view text, bool keep_line_ends) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (keep_line_ends && c == '\n') {
      out += '\n';
    } else if (keep_line_ends && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      // CR LF becomes one line end.
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
