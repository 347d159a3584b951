#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

// Random POSIX expressions and header fields for the rule engine's tests, from a fixed seed. The
// expressions come from a grammar of basic and extended syntax (literals, escapes, ., brackets
// and classes, repetitions and intervals, alternation, groups, anchors, GNU escapes,
// back-references, context-dependent characters); some do not compile, and callers drop those.
// The fields reuse the expressions' words with case variants, near misses, longer words holding
// them, bytes above 127, line ends and the odd NUL, so that rules and lines meet often.
class ExpressionGenerator {
 public:
  explicit ExpressionGenerator(uint32_t seed) : random_(seed) {}

  std::string expression(bool extended);
  std::pair<std::string, std::string> field();
  std::string line();

  // Adds the words of letters and digits in text (a line or an expression) to the words the
  // fields are made of.
  void learnWords(const std::string& text);

  // A number from 0 to n - 1.
  uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_); }
  bool chance(int percent) { return below(100) < static_cast<uint32_t>(percent); }

 private:
  std::string fieldRule(bool extended);
  std::string alternatives(bool extended, int depth);
  std::string piece(bool extended, int depth);
  std::string atom(bool extended, int depth);
  std::string repetition(bool extended);
  std::string repeatedWords(bool extended);
  std::string bracket();
  std::string value();
  std::string word();
  std::string mutated(std::string word);
  std::string longer(const std::string& word);

  std::mt19937 random_;
  std::vector<std::string> learned_;
};

// Whether a rule with expression and cflags is accepted: regcomp takes it and it is not refused
// as unsafe to match.
bool compiles(const std::string& expression, int cflags);
