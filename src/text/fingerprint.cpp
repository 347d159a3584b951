#include "text/fingerprint.h"

#include <cctype>

std::string normalFingerprint(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return digits.size() == 64 ? digits : std::string();
}
