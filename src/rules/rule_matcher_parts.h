#pragma once

// The insides of RuleMatcher, shared by the files of its stages: rule_matcher_build.cpp sorts the
// rules into sets and compiles them, rule_matcher.cpp matches texts, compiled_rule_matcher.cpp
// keeps the matcher of the rules of the run.

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rules/filter_rule.h"
#include "rules/rule_matcher.h"

struct RuleMatcher::Chunk {
  Chunk(const RE2::Options& options, RE2::Anchor anchor) : set(options, anchor) {}
  RE2::Set set;
  std::vector<uint32_t> rules;  // the rule of each pattern of the set
  // For a chunk of rules of any field, its patterns as they match in texts joined by newlines:
  // each anchor of the text's start or end made one of a line's, and no newline matched, so that
  // where no text holds a newline the joined texts match exactly when one of them does. Null
  // where there is none.
  std::unique_ptr<RE2::Set> joined;
};

// Rules matched apart from the sets, in small sets of their own, each only where a text holds the
// literal of one of its rules. The literals (ASCII letters lower-cased, as the texts are for this)
// are found in one scan of a set of plain strings, whose states stay few whatever the rules.
struct RuleMatcher::Heavy {
  // The sets of each group of rules, compiled when a text first holds one of the group's
  // literals: most literals of a long block list never turn up, and compiling sets of such rules
  // costs more than all else the matcher is built of.
  struct Group {
    std::vector<uint32_t> rules;
    bool built = false;
    Chunks chunks;
  };
  Form form;
  std::vector<Group> groups;
  std::unique_ptr<RE2::Set> literals;
  std::vector<std::vector<uint32_t>> groups_of;  // the groups to run for each literal
  std::string lowered;
  std::vector<int> found_literals;
  std::vector<char> chosen;  // of each group, whether this text runs it
  // Shorter literals are too common to spare any work.
  static constexpr size_t kMinLiteral = 3;
  // Rules of one group: few enough that its sets' states stay small, many enough to share the
  // cost of compiling a set.
  static constexpr size_t kGroupRules = 16;
};

// The rules that can only match lines of one field. Most are "^Field:.*rest": matching each
// rest after its head in one unanchored scan keeps the engine's states small, where the same
// rules whole would each keep a ".*" of their own alive in every state.
struct RuleMatcher::Field {
  // The rests of all heads of one length are scanned together, once: a line mostly has all of
  // them ("Subject:" and "[Ss][Uu][Bb]..." both), and a rule whose own head it lacks is dropped.
  struct Split {
    size_t length = 0;
    std::vector<std::string> heads;  // as PosixTranslation::head
    std::unordered_map<uint32_t, uint32_t> head_of;  // of each rule, its head among heads
    Chunks rests;
  };
  Chunks anchored;               // whole patterns, each starting with a start anchor
  // Rules that are a start anchor and bytes alone ("^Received:"), as heads: compared byte by
  // byte, which spares a line the set-up of a search.
  std::vector<std::pair<std::string, uint32_t>> prefixes;
  std::vector<Split> splits;     // one for each length of heads
  std::unique_ptr<Heavy> heavy;  // rules of the field matched on their own; may be null
};


inline bool fallbackMatches(const FilterRule& rule, const std::string& text, size_t length) {
  return rule.matchesRange(text, std::min(length, kFallbackLineBytes));
}
