#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "rules/rules.h"

class FilterRule;
class ScoreRule;

enum ListKind { kAllowList, kDenyList, kScoreList };

// The rules of the three lists that match each line of the header being judged, and its
// normalised subject, by list and split into positive and negative rules, each in list order:
// one scan of each text by the rule matcher finds them for all lists. With the engine off every
// rule is a candidate everywhere, and only its own pattern can tell (verified() is false).
class Shortlist {
 public:
  Shortlist(const std::vector<FilterRule>& allow, const std::vector<FilterRule>& deny,
            const std::vector<ScoreRule>& score);

  // Finds the rules of each line, and of normalised unless it is null.
  void scan(const std::vector<std::string>& lines, const std::string* normalised, bool engine);

  // True when the lists hold only rules that match; false when they are mere candidates.
  bool verified() const { return engine_; }

  std::span<const uint32_t> positive(ListKind list, size_t line) const {
    return engine_ ? ofLine(line, bucket(list, false)) : all_.positive[list];
  }
  std::span<const uint32_t> negative(ListKind list, size_t line) const {
    return engine_ ? ofLine(line, bucket(list, true)) : all_.negative[list];
  }
  const std::vector<uint32_t>& positiveNormalised(ListKind list) const {
    return (engine_ ? normalised_ : all_).positive[list];
  }
  const std::vector<uint32_t>& negativeNormalised(ListKind list) const {
    return (engine_ ? normalised_ : all_).negative[list];
  }
  const std::vector<uint32_t>& negativeRules(ListKind list) const { return all_.negative[list]; }

  // Marks of the negative rules that some line of the current header matched.
  void clearSatisfied();
  bool satisfied(ListKind list, uint32_t rule) const {
    return satisfied_[first_[list] + rule] == stamp_;
  }
  void satisfy(ListKind list, uint32_t rule) { satisfied_[first_[list] + rule] = stamp_; }

 private:
  struct Split {
    std::array<std::vector<uint32_t>, 3> positive;
    std::array<std::vector<uint32_t>, 3> negative;
  };
  // Where a rule of the joined list comes from.
  struct Origin {
    ListKind list;
    bool negated;
    uint32_t position;
  };

  // The rules of the lines are kept in one list, line after line and within a line by bucket:
  // a header may have hundreds of thousands of lines, and six lists each would cost more than
  // the lines themselves.
  static constexpr size_t kBuckets = 6;
  static size_t bucket(ListKind list, bool negated) { return size_t{list} * 2 + negated; }
  std::span<const uint32_t> ofLine(size_t line, size_t b) const {
    const size_t at = line * kBuckets + b;
    return {line_rules_.data() + line_bounds_[at], line_bounds_[at + 1] - line_bounds_[at]};
  }

  template <typename Rules>
  void add(const Rules& rules, ListKind list);
  void split(std::span<const uint32_t> found, Split& out);

  std::array<uint32_t, 3> first_{};
  std::vector<Origin> origin_;
  Split all_;
  std::vector<uint32_t> line_rules_;
  std::vector<size_t> line_bounds_;  // of line i's bucket b: [i * 6 + b], [i * 6 + b + 1]
  Split normalised_;
  std::vector<uint32_t> found_;
  RuleMatcher::EachMatch found_lines_;
  bool engine_ = true;
  std::vector<uint32_t> satisfied_;
  uint32_t stamp_ = 0;
};
