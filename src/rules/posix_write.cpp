#include <regex.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

#include "rules/posix_translator.h"

// Bytes and byte sets as the C library reads them, and as the engine's syntax writes them.
namespace posix {

int upper(int c, bool icase) {
  return icase && c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

ByteSet setOf(int (*is)(int)) {
  ByteSet set;
  for (int b = 1; b < 256; ++b) set[b] = is(b) != 0;
  return set;
}

ByteSet wordSet() {
  ByteSet set = setOf(isalnum);
  set.set('_');
  return set;
}

ByteSet allBytes() {
  ByteSet set;
  set.set();
  set.reset(0);
  return set;
}

// The bytes t with T(t) == v, T upper-casing when case is ignored: no byte upper-cases to a
// lower-case letter, an upper-case letter comes from itself and its lower case.
ByteSet literalSet(int v, bool icase) {
  ByteSet set;
  if (v == 0 || (icase && v >= 'a' && v <= 'z')) return set;
  set.set(static_cast<size_t>(v));
  if (icase && v >= 'A' && v <= 'Z') set.set(static_cast<size_t>(v - 'A' + 'a'));
  return set;
}

std::optional<ByteSet> classSet(const std::string& name, bool icase) {
  static const std::pair<const char*, int (*)(int)> kClasses[] = {
      {"alpha", isalpha},   {"upper", isupper}, {"lower", islower}, {"digit", isdigit},
      {"xdigit", isxdigit}, {"space", isspace}, {"print", isprint}, {"punct", ispunct},
      {"graph", isgraph},   {"cntrl", iscntrl}, {"blank", isblank}, {"alnum", isalnum}};
  const std::string looked_up = icase && (name == "upper" || name == "lower") ? "alpha" : name;
  for (const auto& [known, is] : kClasses) {
    if (looked_up == known) return setOf(is);
  }
  return std::nullopt;
}

std::string byteText(int b) {
  if (b < 128 && std::isalnum(b)) return std::string(1, static_cast<char>(b));
  static const char kHex[] = "0123456789abcdef";
  return {'\\', 'x', '{', kHex[(b >> 4) & 15], kHex[b & 15], '}'};
}

// A count kept as a double (it may exceed any integer type), as a whole number.
std::string countText(double count) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", count);
  return text;
}

std::string setText(ByteSet set) {
  static const ByteSet kAll = allBytes();
  set.reset(0);
  // Most sets are one byte or a letter in both cases: those skip the general walk below.
  const size_t first = set._Find_first();
  if (first >= 256) return kNever;
  const size_t second = set._Find_next(first);
  if (second >= 256) return byteText(static_cast<int>(first));
  if (first >= 'A' && first <= 'Z' && second == first - 'A' + 'a' &&
      set._Find_next(second) >= 256) {
    return {'[', static_cast<char>(first), static_cast<char>(second), ']'};
  }
  if (set == kAll) return "(?s:.)";
  std::string text = "[";
  size_t members = 0;
  // Visits the members only: most sets are one or two bytes.
  for (size_t b = set._Find_first(); b < 256; b = set._Find_next(b)) {
    size_t end = b;
    while (end + 1 < 256 && set[end + 1]) ++end;
    text += byteText(static_cast<int>(b));
    ++members;
    if (end > b) {
      text += '-';
      text += byteText(static_cast<int>(end));
      ++members;
    }
    b = end;
  }
  if (members == 1) return text.substr(1);
  return text + "]";
}

std::string headBytes(const ByteSet& set) {
  const size_t one = set._Find_first();
  const size_t other = set._Find_next(one);
  return {static_cast<char>(one), static_cast<char>(other < 256 ? other : one)};
}

// The one byte of set, upper-cased if a letter, when set is that byte or a letter in both cases;
// else -1.
int foldOf(const ByteSet& set) {
  const size_t b = set._Find_first();
  if (b >= 256) return -1;
  const size_t second = set._Find_next(b);
  if (second >= 256)
    return b >= 'a' && b <= 'z' ? static_cast<int>(b - 'a' + 'A') : static_cast<int>(b);
  const bool letter_pair = b >= 'A' && b <= 'Z' && second == b - 'A' + 'a';
  return letter_pair && set._Find_next(second) >= 256 ? static_cast<int>(b) : -1;
}

// The bytes a bracket expression matches, as the C library itself says: for collating elements
// and equivalence classes, whose names this file does not interpret.
ByteSet probedBracket(const std::string& bracket, bool icase) {
  // Rules are translated on two threads at once.
  static std::mutex lock;
  static std::map<std::pair<std::string, bool>, ByteSet> cache;
  const std::lock_guard<std::mutex> hold(lock);
  const auto key = std::make_pair(bracket, icase);
  if (const auto it = cache.find(key); it != cache.end()) return it->second;
  ByteSet set;
  regex_t pattern;
  if (regcomp(&pattern, bracket.c_str(), icase ? REG_ICASE : 0) != 0) {
    throw Unsupported{"a bracket expression the C library rejects"};
  }
  for (int b = 1; b < 256; ++b) {
    const char text[2] = {static_cast<char>(b), '\0'};
    set[b] = regexec(&pattern, text, 0, nullptr, 0) == 0;
  }
  regfree(&pattern);
  return cache[key] = set;
}

}  // namespace posix
