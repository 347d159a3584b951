#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

// Finds the rules of one list that might match a text, with one case-folded scan of the text for
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
  // ascending. out is overwritten; the scan keeps its scratch space between calls.
  void candidates(std::string_view text, std::vector<uint32_t>& out);

  // Rules that are candidates for every text.
  size_t unindexed() const { return always_.size(); }

 private:
  struct User {
    uint32_t rule;
    uint32_t clause;  // numbered across all rules
    bool anchored;
  };

  void buildAutomaton(const std::vector<std::string>& literals);

  std::vector<uint32_t> always_;
  std::vector<uint32_t> clauses_of_rule_;

  // Per literal: its length, and who needs it (users_ from users_begin_[i] to users_begin_[i + 1]).
  std::vector<uint32_t> literal_length_;
  std::vector<uint32_t> users_begin_;
  std::vector<User> users_;

  // The automaton over folded bytes: next_[state * columns_ + column_[byte]]. output_ is the
  // literal that ends in a state (or -1); chain_ the next shorter suffix state with an output.
  std::array<uint8_t, 256> column_{};
  uint32_t columns_ = 1;
  std::vector<uint32_t> next_;
  std::vector<int32_t> output_;
  std::vector<uint32_t> chain_;

  // Scratch of one scan; a stamp marks what was seen in the current text.
  uint32_t stamp_ = 0;
  std::vector<uint32_t> literal_seen_;
  std::vector<uint32_t> clause_seen_;
  std::vector<uint32_t> rule_seen_;
  std::vector<uint32_t> rule_met_;
  std::vector<uint32_t> hits_;
};
