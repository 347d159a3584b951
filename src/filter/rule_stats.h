#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "filter/shortlist.h"

// For --stats: how many of the messages judged each rule decided, and how many it matched at
// all, by list and position in the list. A message counts once for a rule, however many of its
// lines the rule matched.
class RuleStats {
 public:
  // The next message; what is noted from here on is its own.
  void beginMessage();
  int messages() const { return messages_; }

  void noteMatched(ListKind list, uint32_t rule) { note(list, rule, &Count::matched); }
  void noteDecided(ListKind list, uint32_t rule) { note(list, rule, &Count::decided); }
  // Whether the current message has been noted for rule already.
  bool matchedNow(ListKind list, uint32_t rule) const;

  int matched(ListKind list, uint32_t rule) const { return at(list, rule).matched; }
  int decided(ListKind list, uint32_t rule) const { return at(list, rule).decided; }

  // The learned score, for a message whose score it joined: matched when it added points,
  // decided when they pushed the total towards the verdict, as for a score rule.
  void noteLearned(bool matched, bool decided);
  bool learnedUsed() const { return learned_used_; }
  const std::pair<int, int>& learned() const { return learned_; }  // matched, decided

  // What was counted after earlier, a copy of these counts taken before: for a table of its own.
  RuleStats since(const RuleStats& earlier) const;

 private:
  struct Count {
    int matched = 0;
    int decided = 0;
    // The message each was last counted for: counted once a message.
    int matched_for = -1;
    int decided_for = -1;
  };
  void note(ListKind list, uint32_t rule, int Count::*field);
  Count at(ListKind list, uint32_t rule) const;

  std::array<std::vector<Count>, 3> counts_;
  int messages_ = 0;
  bool learned_used_ = false;
  std::pair<int, int> learned_;
};

// Prints the table of every rule of the rc file in the order it was read, with the messages it
// decided and matched, and the learned score's row when it was used, then the rules that never
// matched; at every verbosity but 0. of names what was judged ("" for the whole run).
void printRuleStatistics(const RuleStats& stats, const std::string& of = "");
