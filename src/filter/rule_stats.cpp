#include "filter/rule_stats.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "config/settings.h"
#include "report/reporter.h"
#include "rules/rules.h"

void RuleStats::beginMessage() {
  ++messages_;
}

void RuleStats::note(ListKind list, uint32_t rule, int Count::*field) {
  std::vector<Count>& counts = counts_[list];
  if (counts.size() <= rule) counts.resize(rule + 1);
  Count& count = counts[rule];
  int& last = field == &Count::matched ? count.matched_for : count.decided_for;
  if (last == messages_) return;
  last = messages_;
  ++(count.*field);
}

bool RuleStats::matchedNow(ListKind list, uint32_t rule) const {
  const std::vector<Count>& counts = counts_[list];
  return rule < counts.size() && counts[rule].matched_for == messages_;
}

void RuleStats::noteLearned(bool matched, bool decided) {
  learned_used_ = true;
  learned_.first += matched;
  learned_.second += decided;
}

RuleStats RuleStats::since(const RuleStats& earlier) const {
  RuleStats part = *this;
  part.messages_ -= earlier.messages_;
  part.learned_.first -= earlier.learned_.first;
  part.learned_.second -= earlier.learned_.second;
  for (size_t list = 0; list < counts_.size(); ++list) {
    const std::vector<Count>& before = earlier.counts_[list];
    for (size_t rule = 0; rule < before.size() && rule < part.counts_[list].size(); ++rule) {
      part.counts_[list][rule].matched -= before[rule].matched;
      part.counts_[list][rule].decided -= before[rule].decided;
    }
  }
  return part;
}

RuleStats::Count RuleStats::at(ListKind list, uint32_t rule) const {
  const std::vector<Count>& counts = counts_[list];
  return rule < counts.size() ? counts[rule] : Count{};
}

namespace {

// Level 1: asked for with --stats, the table shows at every verbosity that shows anything.
constexpr int kLevel = 1;

struct Row {
  unsigned long sequence;
  ListKind list;
  uint32_t position;
  std::string rule;  // as the rc file could have it, and where it stands
};

// "DENY <> "^Date:" (line 7)": the keyword, the score, the operator, the expression and the
// place. A rule of the main rc file gives only its line; one of an included file names the file.
std::string describe(const char* keyword, const FilterRule& rule, const std::string& points) {
  std::string place = rule.place();
  const size_t main_file = place.find(" of your main rcfile");
  if (main_file != std::string::npos) place.resize(main_file);
  return std::string(keyword) + points + (rule.negated() ? " <> \"" : " = \"") +
         rule.expression() + "\"" + (place.empty() ? "" : " (" + place + ")");
}

template <typename Rules, typename Points>
void addRows(const Rules& rules, ListKind list, const char* keyword, Points points,
             std::vector<Row>& rows) {
  for (uint32_t i = 0; i < rules.size(); ++i) {
    rows.push_back({rules[i].sequence(), list, i, describe(keyword, rules[i], points(rules[i]))});
  }
}

std::string column(int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%7d", number);
  return text;
}

}  // namespace

void printRuleStatistics(const RuleStats& stats, const std::string& of) {
  Settings& settings = Settings::instance();
  Reporter& reporter = Reporter::instance();
  const auto none = [](const FilterRule&) { return std::string(); };
  std::vector<Row> rows;
  addRows(settings.allowRules(), kAllowList, "ALLOW", none, rows);
  addRows(settings.denyRules(), kDenyList, "DENY", none, rows);
  addRows(settings.scoreRules(), kScoreList, "SCORE",
          [](const ScoreRule& rule) { return " " + std::to_string(rule.score()); }, rows);
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.sequence < b.sequence; });

  const std::string judged =
      std::to_string(stats.messages()) + " judged message(s)" + (of.empty() ? "" : " of " + of);
  if (rows.empty() && !stats.learnedUsed()) {
    reporter.print("Rule statistics over " + judged + ": there are no rules.", kLevel);
    return;
  }
  reporter.print("Rule statistics over " + judged + ", in rc file order: decided, matched, rule.",
                 kLevel);
  std::vector<const Row*> unmatched;
  for (const Row& row : rows) {
    const int matched = stats.matched(row.list, row.position);
    if (matched == 0) unmatched.push_back(&row);
    reporter.print(column(stats.decided(row.list, row.position)) + " " + column(matched) + "  " +
                       row.rule,
                   kLevel);
  }
  // The learned score counts as a rule of its own; it stands last, as it is added last.
  std::string learned_row;
  if (stats.learnedUsed()) {
    learned_row = "LEARNED_SCORE " + std::to_string(settings.learnedScore()) + " (learned score)";
    if (stats.learned().first == 0) unmatched.push_back(nullptr);
    reporter.print(
        column(stats.learned().second) + " " + column(stats.learned().first) + "  " + learned_row,
        kLevel);
  }
  const size_t all = rows.size() + (stats.learnedUsed() ? 1 : 0);
  if (unmatched.empty()) {
    reporter.print("Rules that never matched: none.", kLevel);
    return;
  }
  reporter.print("Rules that never matched: " + std::to_string(unmatched.size()) + " of " +
                     std::to_string(all) + ".",
                 kLevel);
  for (const Row* row : unmatched) reporter.print("  " + (row ? row->rule : learned_row), kLevel);
}
