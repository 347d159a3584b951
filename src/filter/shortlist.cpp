#include "filter/shortlist.h"

#include <algorithm>

#include "rules/rules.h"

Shortlist::Shortlist(const std::vector<FilterRule>& allow, const std::vector<FilterRule>& deny,
                     const std::vector<ScoreRule>& score) {
  add(allow, kAllowList);
  add(deny, kDenyList);
  add(score, kScoreList);
  satisfied_.assign(origin_.size(), 0);
}

template <typename Rules>
void Shortlist::add(const Rules& rules, ListKind list) {
  first_[list] = static_cast<uint32_t>(origin_.size());
  for (uint32_t i = 0; i < rules.size(); ++i) {
    origin_.push_back({list, rules[i].negated(), i});
    (rules[i].negated() ? all_.negative : all_.positive)[list].push_back(i);
  }
}

void Shortlist::scan(const std::vector<std::string>& lines, const std::string* normalised,
                     bool engine) {
  engine_ = engine;
  if (!engine) return;
  RuleMatcher& matcher = compiledRuleMatcher();
  matcher.matchEach(lines, found_lines_);
  line_rules_.clear();
  line_bounds_.assign(1, 0);
  line_bounds_.reserve(lines.size() * kBuckets + 1);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::span<const uint32_t> found = found_lines_.of(i);
    for (size_t b = 0; b < kBuckets; ++b) {
      for (const uint32_t rule : found) {
        const Origin& origin = origin_[rule];
        if (bucket(origin.list, origin.negated) == b) line_rules_.push_back(origin.position);
      }
      line_bounds_.push_back(line_rules_.size());
    }
  }
  if (normalised != nullptr) {
    matcher.match(*normalised, found_);
    split(found_, normalised_);
  }
}

void Shortlist::split(std::span<const uint32_t> found, Split& out) {
  for (auto& rules : out.positive) rules.clear();
  for (auto& rules : out.negative) rules.clear();
  for (const uint32_t rule : found) {
    const Origin& origin = origin_[rule];
    (origin.negated ? out.negative : out.positive)[origin.list].push_back(origin.position);
  }
}

void Shortlist::clearSatisfied() {
  if (++stamp_ == 0) {
    std::fill(satisfied_.begin(), satisfied_.end(), 0);
    stamp_ = 1;
  }
}
