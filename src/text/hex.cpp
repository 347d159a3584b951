#include "text/hex.h"

std::string lowerHex(const unsigned char* bytes, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xf];
  }
  return text;
}
