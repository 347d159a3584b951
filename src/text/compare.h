#pragma once

#include <string_view>

// Byte-wise comparison after toupper(): -1, 0 or 1; a prefix sorts before the longer string.
int compareIgnoreCase(std::string_view a, std::string_view b);

inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return compareIgnoreCase(a, b) == 0;
}
