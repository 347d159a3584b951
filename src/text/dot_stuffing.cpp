#include "text/dot_stuffing.h"

std::string_view unstuffedLine(std::string_view line) {
  if (line == ".") return line;
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (line.starts_with('.')) line.remove_prefix(1);
  return line;
}
