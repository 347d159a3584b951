#include "filter/shortlist.h"

#include <algorithm>

#include "config/filter_rule.h"

Shortlist::Shortlist(const std::vector<FilterRule>& allow, const std::vector<FilterRule>& deny,
                     const std::vector<ScoreRule>& score) {
  std::vector<RuleIndex::Pattern> patterns;
  add(allow, kAllowList, patterns);
  add(deny, kDenyList, patterns);
  add(score, kScoreList, patterns);
  index_ = RuleIndex(patterns);
  satisfied_.assign(patterns.size(), 0);
}

template <typename Rules>
void Shortlist::add(const Rules& rules, ListKind list, std::vector<RuleIndex::Pattern>& patterns) {
  first_[list] = static_cast<uint32_t>(patterns.size());
  for (uint32_t i = 0; i < rules.size(); ++i) {
    patterns.push_back({rules[i].expression(), rules[i].compileFlags()});
    origin_.push_back({list, rules[i].negated(), i});
    (rules[i].negated() ? all_.negative : all_.positive)[list].push_back(i);
  }
}

void Shortlist::scan(const std::vector<std::string>& lines, const std::string* normalised,
                     bool prefilter) {
  prefilter_ = prefilter;
  if (!prefilter) return;
  if (lines_.size() < lines.size()) lines_.resize(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) split(lines[i], lines_[i]);
  if (normalised != nullptr) split(*normalised, normalised_);
}

void Shortlist::split(const std::string& text, Split& out) {
  index_.candidates(text, found_);
  for (auto& rules : out.positive) rules.clear();
  for (auto& rules : out.negative) rules.clear();
  for (const uint32_t rule : found_) {
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
