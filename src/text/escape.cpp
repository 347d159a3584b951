#include "text/escape.h"

#include <string>

namespace {

// Length of the well-formed UTF-8 sequence at text[i] (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0 when the bytes there are not one.
size_t utf8Length(std::string_view text, size_t i, unsigned* code_point) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned lead = byte(i);
  size_t length;
  unsigned value, minimum;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, value = lead & 0x1f, minimum = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, value = lead & 0x0f, minimum = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3f);
  }
  if (value < minimum || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
  *code_point = value;
  return length;
}

// The bidirectional controls (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069): they
// reorder what follows on the line, so that a header could make a line read as another.
bool isBidiControl(unsigned code_point) {
  return code_point == 0x061c || code_point == 0x200e || code_point == 0x200f ||
         (code_point >= 0x202a && code_point <= 0x202e) ||
         (code_point >= 0x2066 && code_point <= 0x2069);
}

void appendHex(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0xf];
}

}  // namespace

std::string escapeControls(std::string_view text, bool keep_line_ends) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (keep_line_ends && c == '\n') {
      out += '\n';
    } else if (keep_line_ends && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      // CR LF becomes one line end.
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      appendHex(out, c);
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      // C1 controls (U+0080..U+009F) act on terminals like ESC does, whether they come as UTF-8
      // or as raw bytes outside any UTF-8 sequence; other UTF-8 and other bytes pass as they are.
      unsigned code_point = 0;
      const size_t length = utf8Length(text, i, &code_point);
      if (length == 0) {
        if (c <= 0x9f) {
          appendHex(out, c);
        } else {
          out += static_cast<char>(c);
        }
      } else {
        for (size_t k = 0; k < length; ++k) {
          if (code_point <= 0x9f || isBidiControl(code_point)) {
            appendHex(out, static_cast<unsigned char>(text[i + k]));
          } else {
            out += text[i + k];
          }
        }
        i += length - 1;
      }
    }
  }
  return out;
}

namespace {

// U+061C, U+200E, U+200F, U+202A..U+202E and U+2066..U+2069: they turn what follows around or
// hide it, so a line would show other text than it holds.
bool reordersText(unsigned code_point) {
  return code_point == 0x061c || code_point == 0x200e || code_point == 0x200f ||
         (code_point >= 0x202a && code_point <= 0x202e) ||
         (code_point >= 0x2066 && code_point <= 0x2069);
}

}  // namespace

std::string escapeShownText(std::string_view text, size_t limit) {
  size_t kept = text.size();
  if (kept > limit) {
    kept = limit;
    // Not inside a UTF-8 sequence.
    while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xc0) == 0x80) --kept;
  }
  std::string plain;
  plain.reserve(kept);
  for (size_t i = 0; i < kept; ++i) {
    unsigned code_point = 0;
    const size_t length =
        static_cast<unsigned char>(text[i]) >= 0xc2 ? utf8Length(text, i, &code_point) : 0;
    if (length > 0 && i + length <= kept && reordersText(code_point)) {
      static const char kHex[] = "0123456789abcdef";
      plain += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) plain += kHex[(code_point >> shift) & 0xf];
      i += length - 1;
    } else {
      plain += text[i];
    }
  }
  std::string out = escapeControls(plain);
  if (kept < text.size()) out += "... (" + std::to_string(text.size() - kept) + " more bytes)";
  return out;
}
