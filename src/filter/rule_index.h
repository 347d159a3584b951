#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filter/required_literals.h"

// Finds the rules of a list that might match a text, with one case-folded pass over the text for
// the literals that the rules' matches need: a rule it leaves out certainly does not match, so
// its pattern need not run. Rules whose expressions it cannot reason about are always in.
class RuleIndex {
 public:
  struct Pattern {
    std::string_view expression;
    int cflags;  // as regcomp took them: REG_EXTENDED, REG_ICASE
  };

  RuleIndex() = default;
  explicit RuleIndex(const std::vector<Pattern>& patterns);

  // The positions of the rules that might match text (as regexec sees it: up to its first NUL),
  // ascending. out is overwritten; the pass keeps its scratch space between calls.
  void candidates(std::string_view text, std::vector<uint32_t>& out);

  // Rules that are candidates for every text.
  size_t unindexed() const { return always_.size(); }

 private:
  // A literal of four bytes or more is looked for by one of its four-byte pieces.
  struct Gram {
    uint32_t key;
    uint32_t literal;
    uint32_t offset;  // of the piece in the literal
  };
  // The trie of anchored literals, walked from the start of a text.
  struct Node {
    std::vector<std::pair<unsigned char, uint32_t>> next;
    int32_t literal = -1;
  };

  void addPrefix(uint32_t literal);
  void addGrams(const std::vector<uint32_t>& unanchored);
  void found(uint32_t literal);
  bool holds(const LiteralClause& clause) const;

  std::vector<uint32_t> always_;

  // Each rule is looked for by the literals of one clause, its trigger; the rules literal i
  // triggers are triggered_ from triggered_begin_[i] to triggered_begin_[i + 1]. A triggered
  // rule is a candidate when its other clauses, checks_ from checks_begin_[rule] to
  // checks_begin_[rule + 1], hold as well.
  std::vector<std::string> literals_;
  std::vector<uint32_t> triggered_begin_;
  std::vector<uint32_t> triggered_;
  std::vector<uint32_t> checks_begin_;
  std::vector<LiteralClause> checks_;

  std::vector<Node> prefixes_;
  std::vector<uint64_t> gram_bits_;  // a bit per hash of the pieces, to pass over most positions
  std::vector<Gram> grams_;          // sorted by key
  std::vector<uint32_t> short_literals_;  // unanchored literals under four bytes

  // Scratch of one pass; a stamp marks what was seen in the current text.
  std::string folded_;
  uint32_t stamp_ = 0;
  std::vector<uint32_t> literal_seen_;
  std::vector<uint32_t> rule_seen_;
  std::vector<uint32_t> hits_;
};
