#include "config/rc_diagnostics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>

#include "report/fatal.h"
#include "text/compare.h"
#include "text/escape.h"

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

// PASS (password or access token) is the one keyword whose value is secret; a word that is no
// keyword counts when it probably means PASS or names a secret ("PASWORD", "PWD", "TOKEN").
bool isSecretKeyword(const std::string& word) {
  if (equalsIgnoreCase(word, "PASS")) return true;
  for (const std::string& keyword : rcKeywords()) {
    if (equalsIgnoreCase(word, keyword)) return false;
  }
  const std::string name = upper(word);
  if (name.rfind("PAS", 0) == 0) return true;
  for (const char* part : {"PASS", "PWD", "SECRET", "TOKEN"}) {
    if (name.find(part) != std::string::npos) return true;
  }
  return nearestKeyword(word, rcKeywords()) == "PASS";
}

// Where a quoted value that opens at open ends, as the scanner sees it: at a closing quote that
// ends the line, else at a quote that a comment follows, else at the line end.
size_t quotedValueEnd(const std::string& line, size_t open) {
  const size_t last = line.find_last_not_of(" \t\r");
  if (last != std::string::npos && last > open && line[last] == '"') return last;
  for (size_t quote = line.find('"', open + 1); quote != std::string::npos;
       quote = line.find('"', quote + 1)) {
    const size_t next = line.find_first_not_of(" \t", quote + 1);
    if (next != std::string::npos && line[next] == '#') return quote;
  }
  return line.size();
}

bool quotedYesNo(const std::string& line, size_t at, size_t& end) {
  for (const char* word : {"\"yes\"", "\"no\""}) {
    const std::string_view text(word);
    if (line.size() - at >= text.size() && equalsIgnoreCase(line.substr(at, text.size()), text)) {
      end = at + text.size();
      return true;
    }
  }
  return false;
}

// The secret in line as [from, to); false when it holds none. Only words before the first
// quoted value count as keywords (a value runs to the line end), but for quoted yes and no.
bool findSecret(const std::string& line, size_t& from, size_t& to) {
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == '"') {
      if (!quotedYesNo(line, i, i)) return false;
      continue;
    }
    // A comment after a value (an error of its own): its words are no keywords.
    if (line[i] == '#' && line.find_first_not_of(" \t") < i) return false;
    if (std::isalpha(static_cast<unsigned char>(line[i])) == 0 ||
        (i > 0 && isWordCharacter(line[i - 1]))) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < line.size() && isWordCharacter(line[end])) ++end;
    if (!isSecretKeyword(line.substr(i, end - i))) {
      i = end;
      continue;
    }
    // Whatever follows the keyword (and its '=') is its value, written well or not.
    size_t value = line.find_first_not_of(" \t", end);
    if (value != std::string::npos && line[value] == '=') {
      value = line.find_first_not_of(" \t", value + 1);
    }
    if (value == std::string::npos) return false;
    if (line[value] == '"') {
      from = value + 1;
      to = std::max(from, quotedValueEnd(line, value));
    } else {
      from = value;
      to = line.size();
    }
    return true;
  }
  return false;
}

}  // namespace

bool isWordCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

ShownLine hideSecrets(const std::string& before, const std::string& rest) {
  const std::string line = before + rest;
  size_t from = 0;
  size_t to = 0;
  if (!findSecret(line, from, to)) return {before, rest, false};
  constexpr std::string_view kStars = "*****";
  const std::string masked = line.substr(0, from) + std::string(kStars) + line.substr(to);
  size_t spot = before.size();
  bool hidden = false;
  if (spot >= to) {
    spot = spot - (to - from) + kStars.size();
  } else if (spot >= from) {
    spot = from;
    hidden = true;
  }
  return {masked.substr(0, spot), masked.substr(spot), hidden};
}

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

void refuseForeignRcFile(const std::string& path, const char* what) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;  // its opening says what is wrong
  if (status.st_uid == ::geteuid() || status.st_uid == 0) return;
  std::ifstream input(path, std::ios::in | std::ios::binary);
  std::string line;
  bool secret = false;
  bool command = false;
  while (!secret && !command && std::getline(input, line)) {
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    size_t from = 0;
    size_t to = 0;
    secret = findSecret(line, from, to);
    command = line.find('`') != std::string::npos || line.find("$(") != std::string::npos;
  }
  if (!secret && !command) return;
  failFatal("pollensift: Error: The " + std::string(what) + " '" + escapeControls(path) +
                "' holds " + (secret ? "a password" : "a command") + " but belongs to user " +
                std::to_string(status.st_uid) + ", not to you: it must be owned by you (or root).\n",
            -1);
}
