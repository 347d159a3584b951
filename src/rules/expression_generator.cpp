#include "rules/expression_generator.h"

#include <regex.h>

#include <cctype>
#include <string_view>

#include "rules/posix_translation.h"

namespace {

// Words of ordinary headers and of spam rules, a few with bytes above 127 or with characters
// that are operators in one syntax or the other.
const std::vector<std::string> kWords = {
    "Subject", "From",   "To",      "Received", "X-Spam-Flag", "Date",   "viagra", "cheap",
    "winner",  "lottery", "friend", "example",  "org",         "Re",     "YES",    "ab",
    "a",       "b",      "ba",      "@",        "1",           "42",     "10.0.3", "mx1",
    "\xe9t\xe9", "\xc9T\xc9", "na\xefve", "\xff", "x.y", "a+b", "(1)",  "{2}",    "$5",
    "^_^",     "[x]",    "a|b",     "c*d",      "\\",          "?",      "}",      "pills",
};

const std::vector<std::string> kNames = {
    "Subject", "From", "To", "Received", "X-Spam-Flag", "Date", "SUBJECT", "subject", "X-Mailer",
    "Reply-To", "List-Id",
};

// Escapes the characters that are operators in the syntax.
std::string escaped(std::string_view word, bool extended) {
  const std::string_view special = extended ? ".[]()*+?{}|^$\\" : ".[*^$\\";
  std::string out;
  for (const char c : word) {
    if (special.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::string ExpressionGenerator::expression(bool extended) {
  const uint32_t roll = below(100);
  std::string text = roll < 30   ? fieldRule(extended)
                     : roll < 38 ? repeatedWords(extended)
                                 : alternatives(extended, 0);
  if (chance(3)) text.insert(below(static_cast<uint32_t>(text.size()) + 1), 1, '\0');
  return text;
}

// The usual shape of a rule: a field name anchored at the start, then words of its value,
// letters and digits only, so that it can also match a normalised subject.
std::string ExpressionGenerator::fieldRule(bool extended) {
  std::string text = "^";
  text += chance(40) ? "Subject" : escaped(kNames[below(static_cast<uint32_t>(kNames.size()))], extended);
  text += chance(50) ? ":.*" : ": ";
  for (const char c : word()) {
    if (std::isalnum(static_cast<unsigned char>(c))) text += c;
  }
  if (chance(30)) {
    text += extended ? "( |.*)" : ".*";
    text += escaped(word(), extended);
  }
  return text;
}

std::string ExpressionGenerator::alternatives(bool extended, int depth) {
  const std::string bar = extended ? "|" : "\\|";
  std::string text;
  const int branches = chance(25) ? 2 + static_cast<int>(below(2)) : 1;
  for (int b = 0; b < branches; ++b) {
    if (b > 0) text += bar;
    if (chance(25)) text += '^';
    const int pieces = 1 + static_cast<int>(below(4));
    for (int p = 0; p < pieces; ++p) text += piece(extended, depth);
    if (chance(12)) text += '$';
  }
  return text;
}

std::string ExpressionGenerator::piece(bool extended, int depth) {
  std::string text = atom(extended, depth);
  if (chance(30)) text += repetition(extended);
  return text;
}

std::string ExpressionGenerator::atom(bool extended, int depth) {
  const uint32_t roll = below(100);
  if (roll < 35) return escaped(word(), extended);
  if (roll < 42) return word();  // unescaped: its operators act
  if (roll < 50) return ".*";
  if (roll < 55) return ".";
  if (roll < 67) return bracket();
  if (roll < 77 && depth < 3) {
    if (chance(25)) return repeatedWords(extended);
    const std::string inner = alternatives(extended, depth + 1);
    return extended ? "(" + inner + ")" : "\\(" + inner + "\\)";
  }
  if (roll < 82) {
    static const char* const kEscapes[] = {"\\w", "\\W", "\\s", "\\S", "\\b", "\\B", "\\<", "\\>",
                                           "\\`", "\\'", "\\n", "\\t", "\\.", "\\\\"};
    return kEscapes[below(sizeof kEscapes / sizeof kEscapes[0])];
  }
  if (roll < 86) return std::string(1, '\\') += static_cast<char>('1' + below(2));  // back-reference
  if (roll < 93) {
    // One character, any byte but NUL, as it stands.
    return std::string(1, static_cast<char>(1 + below(255)));
  }
  static const char* const kQuirks[] = {"*", "+", "?", "|", "{", "}", "(", ")", "\\{", "\\}",
                                        "\\(", "\\)", "^", "$", "\\+", "\\?", "\\|", "^*", "a{,2}",
                                        "b\\{1,\\}", "x{0}", "()", "[]", "\\"};
  return kQuirks[below(sizeof kQuirks / sizeof kQuirks[0])];
}

std::string ExpressionGenerator::repetition(bool extended) {
  const std::string open = extended ? "{" : "\\{";
  const std::string close = extended ? "}" : "\\}";
  const std::string m = std::to_string(below(3));
  const std::string n = std::to_string(1 + below(3));
  switch (below(7)) {
    case 0: return "*";
    case 1: return extended ? "+" : "\\+";
    case 2: return extended ? "?" : "\\?";
    case 3: return open + m + close;
    case 4: return open + m + "," + close;
    case 5: return open + m + "," + n + close;
    default: return open + "," + n + close;
  }
}

// A repeated group of a word with word assertions about it and what may come before the next
// copy, as in "(\bfree\b.*){2}": the C library once skipped the assertions in later copies.
std::string ExpressionGenerator::repeatedWords(bool extended) {
  static const char* const kBefore[] = {"\\b", "\\<", "\\B", ""};
  static const char* const kAfter[] = {"\\b", "\\>", "\\B", ""};
  static const char* const kGaps[] = {".*", "[^a-z]*", " ", "\\s*", "\\W", ""};
  std::string text = extended ? "(" : "\\(";
  text += kBefore[below(4)];
  text += escaped(word(), extended);
  text += kAfter[below(4)];
  text += kGaps[below(sizeof kGaps / sizeof kGaps[0])];
  text += extended ? ")" : "\\)";
  return text + repetition(extended);
}

std::string ExpressionGenerator::bracket() {
  static const char* const kItems[] = {
      "a",  "B",  "v",   "V",  "i",  "1",  "a-f", "0-9", "[:alpha:]", "[:digit:]", "[:space:]",
      "[:upper:]", "\xe9", "\xc9", "\\", ".", "*", "^", "[", "[.a.]", "[=e=]", "-", "@", ":"};
  std::string text = "[";
  if (chance(20)) text += '^';
  if (chance(10)) text += ']';
  const int items = 1 + static_cast<int>(below(4));
  for (int i = 0; i < items; ++i) text += kItems[below(sizeof kItems / sizeof kItems[0])];
  if (chance(10)) text += '-';
  return text + "]";
}

std::pair<std::string, std::string> ExpressionGenerator::field() {
  std::string name = chance(80) ? kNames[below(static_cast<uint32_t>(kNames.size()))] : word();
  if (chance(10)) name = mutated(name);
  return {name, value()};
}

std::string ExpressionGenerator::line() {
  auto [name, text] = field();
  return name + ": " + text;
}

std::string ExpressionGenerator::value() {
  static const char* const kSeparators[] = {" ", " ", " ", "", ".", "-", "\t", "\n", "\r\n ", ": ",
                                            "@", " [", "] ", " *"};
  // Spam likes punctuation between letters, which the normalised subject drops.
  std::string text = chance(15) ? "!" : "";
  const int words = static_cast<int>(below(7));
  std::string last;
  for (int i = 0; i < words; ++i) {
    if (i > 0) text += kSeparators[below(sizeof kSeparators / sizeof kSeparators[0])];
    // A word again, alone or inside a longer one ("free freedom"), tells word assertions apart.
    if (i > 0 && chance(20)) {
      last = chance(50) ? last : longer(last);
    } else {
      last = chance(70) ? word() : mutated(word());
    }
    text += last;
  }
  if (chance(5)) text += static_cast<char>(1 + below(255));
  if (chance(2)) text.insert(below(static_cast<uint32_t>(text.size()) + 1), 1, '\0');
  return text;
}

std::string ExpressionGenerator::word() {
  if (!learned_.empty() && chance(40)) return learned_[below(static_cast<uint32_t>(learned_.size()))];
  return kWords[below(static_cast<uint32_t>(kWords.size()))];
}

// A case variant or a near miss: one character changed, dropped or doubled, or letters added.
std::string ExpressionGenerator::mutated(std::string word) {
  if (word.empty()) return word;
  const uint32_t at = below(static_cast<uint32_t>(word.size()));
  const unsigned char c = static_cast<unsigned char>(word[at]);
  switch (below(6)) {
    case 0:
      for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      break;
    case 1:
      word[at] = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
      break;
    case 2:
      word.erase(at, 1);
      break;
    case 3:
      word.insert(at, 1, word[at]);
      break;
    case 4:
      word = longer(word);
      break;
    default:
      word[at] = static_cast<char>(c ^ 1);
      break;
  }
  return word;
}

// The word with letters after it.
std::string ExpressionGenerator::longer(const std::string& word) {
  return word + (chance(50) ? "s" : this->word());
}

void ExpressionGenerator::learnWords(const std::string& text) {
  std::string current;
  bool escaped = false;
  for (const char c : text + " ") {
    // In an expression the letter after a backslash is an operator ("\bfree\b" gives "free").
    const bool letter = std::isalnum(static_cast<unsigned char>(c)) && !escaped;
    escaped = c == '\\' && !escaped;
    if (letter) {
      current += c;
    } else if (!current.empty()) {
      learned_.push_back(current);
      current.clear();
    }
  }
}

bool compiles(const std::string& expression, int cflags) {
  if (!translatePosix(expression, (cflags & REG_EXTENDED) != 0, (cflags & REG_ICASE) != 0)
           .refusal.empty()) {
    return false;
  }
  regex_t pattern;
  if (regcomp(&pattern, expression.c_str(), cflags) != 0) return false;
  regfree(&pattern);
  return true;
}
