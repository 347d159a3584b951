#include "config/rc_diagnostics.h"

#include <algorithm>
#include <cctype>

#include "config/escape.h"

namespace {

constexpr const char* kIndent = "pollensift:     ";

std::string upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string markedLine(const std::string& before, const std::string& rest) {
  const std::string shown_before = escapeControls(before);
  std::string mark;
  for (char c : shown_before) {
    if (c == '\t') {
      mark += '\t';
    } else if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) {
      mark += ' ';  // one column per character, not per UTF-8 byte
    }
  }
  return kIndent + shown_before + escapeControls(rest) + "\n" + kIndent + mark + "^\n";
}

std::string nearestKeyword(const std::string& word, const std::vector<std::string>& keywords) {
  const std::string wanted = upper(word);
  std::string best;
  size_t best_distance = 0;
  for (const std::string& keyword : keywords) {
    const std::string candidate = upper(keyword);
    if (candidate == wanted) continue;
    const size_t distance = editDistance(wanted, candidate);
    // Close enough: a few typing slips, or one word is the start of the other (PASSWORD, MAXSIZE).
    const bool prefix =
        wanted.rfind(candidate, 0) == 0 || (wanted.size() >= 4 && candidate.rfind(wanted, 0) == 0);
    const bool close = distance <= std::max<size_t>(2, wanted.size() / 3);
    if (!prefix && !close) continue;
    if (best.empty() || distance < best_distance) {
      best = keyword;
      best_distance = distance;
    }
  }
  return best;
}
