#include "filter/filter_engine.h"

#include <climits>
#include <initializer_list>

#include "config/filter_rule.h"
#include "config/settings.h"
#include "header/message_header.h"
#include "report/reporter.h"

namespace {

// Joins parts into one line and prints it, building nothing when the level is not shown: most
// verdict lines are above the usual verbosity and would be built for every message otherwise.
void say(int level, std::initializer_list<std::string_view> parts) {
  if (Settings::instance().verbose() < level) return;
  std::string line;
  for (const std::string_view part : parts) line += part;
  Reporter::instance().print(line, level);
}

// kind + verdict summary (from, subject, date) + " [" + reason + "]."
void verdict(std::string_view kind, const MessageHeader& header, int level,
             std::initializer_list<std::string_view> reason) {
  if (Settings::instance().verbose() < level) return;
  std::string line(kind);
  line += header.from();
  line += ": ";
  line += header.subject();
  line += ", ";
  line += header.date();
  line += " [";
  for (const std::string_view part : reason) line += part;
  line += "].";
  Reporter::instance().print(line, level);
}

// A rule written for the Subject line also applies to the normalised subject, but only on the
// field whose name is exactly "Subject".
bool matchesNormalised(const FilterRule& rule, const MessageHeader::Field& field,
                       const MessageHeader& header) {
  return Settings::instance().normal() && field.first == "Subject" &&
         rule.matches(header.normalisedSubject());
}

// True when some field satisfies the rule, on its line or (for deny and score rules) on the
// normalised subject.
bool anyFieldMatches(const FilterRule& rule, const MessageHeader& header,
                     const std::vector<std::string>& lines, bool with_normalised) {
  const auto& fields = header.fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    if (rule.matches(lines[i])) return true;
    if (with_normalised && matchesNormalised(rule, fields[i], header)) return true;
  }
  return false;
}

// The first negative rule that no field satisfies, or nullptr. A header without fields satisfies
// every rule: a negative rule needs a line to test.
const FilterRule* unmatchedNegativeRule(const std::vector<FilterRule>& rules,
                                        const MessageHeader& header,
                                        const std::vector<std::string>& lines,
                                        bool with_normalised) {
  if (lines.empty()) return nullptr;
  for (const FilterRule& rule : rules) {
    if (rule.negated() && !anyFieldMatches(rule, header, lines, with_normalised)) return &rule;
  }
  return nullptr;
}

// A total that cannot overflow: many matching lines with large points saturate instead of
// wrapping round to the opposite verdict.
int addPoints(int total, int points) {
  int sum;
  if (__builtin_add_overflow(total, points, &sum)) return points > 0 ? INT_MAX : INT_MIN;
  return sum;
}

}  // namespace

FilterEngine& FilterEngine::instance() {
  static FilterEngine engine;
  return engine;
}

void FilterEngine::resetForTesting() {
  seen_index_.clear();
  seen_message_ids_.clear();
}

const std::vector<std::string>& FilterEngine::linesOf(const MessageHeader& header) {
  const auto& fields = header.fields();
  lines_.resize(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string& line = lines_[i];
    line.assign(fields[i].first);
    line += ": ";
    line += fields[i].second;
  }
  return lines_;
}

int FilterEngine::filter(const MessageHeader* header) {
  int result = checkDuplicate(header);
  if (result != 0) return result > 0 ? 1 : -1;
  result = checkAllow(header);
  if (result != 2) return result < 0 ? -1 : result;
  if (checkMaxLength(header) != 0) return 1;
  result = checkDeny(header);
  if (result != 0) return result > 0 ? 1 : -1;
  return checkScore(header);
}

int FilterEngine::checkDuplicate(const MessageHeader* header) {
  if (header == nullptr) return -1;
  const std::string& id = header->messageId();
  if (id.empty() || !Settings::instance().delDuplicates()) return 0;
  if (seen_index_.count(id) != 0) {
    verdict("Deny: ", *header, 2, {"Duplicate"});
    return 1;
  }
  seen_index_.insert(seen_message_ids_.emplace_back(id));
  return 0;
}

int FilterEngine::checkAllow(const MessageHeader* header) {
  if (header == nullptr) return -1;
  Settings& settings = Settings::instance();
  const auto& rules = settings.allowRules();
  if (rules.empty()) return 2;
  const auto& lines = linesOf(*header);

  // The first line that any positive rule matches decides.
  for (const std::string& line : lines) {
    for (const FilterRule& rule : rules) {
      if (rule.negated() || !rule.matches(line)) continue;
      verdict("Allow: ", *header, 4, {"\"", rule.expression(), "\" matches \"", line, "\""});
      const int limit = settings.maxsizeAllow();
      if (limit > 0 && header->size() > limit) {
        verdict("Deny: ", *header, 2, {"Maxsize_Allow exceeded"});
        return 1;
      }
      return 0;
    }
  }

  if (settings.negativeAllowCount() < 1) return 2;
  if (const FilterRule* rule = unmatchedNegativeRule(rules, *header, lines, false)) {
    verdict("Allow: ", *header, 4,
            {"Negative allow rule \"", rule->expression(), "\" did not match"});
    return 0;
  }
  return 2;
}

int FilterEngine::checkMaxLength(const MessageHeader* header) {
  const int maxlength = Settings::instance().maxlength();
  if (header == nullptr || maxlength == 0) return 0;
  // Unsigned, so a negative setting never triggers.
  const size_t limit = static_cast<unsigned int>(maxlength);
  for (const auto& [name, value] : header->fields()) {
    if (name.size() + 2 + value.size() > limit) {
      verdict("Deny: ", *header, 2, {"\"", name, "\" exceeded maxlength"});
      return 1;
    }
  }
  return 0;
}

int FilterEngine::checkDeny(const MessageHeader* header) {
  if (header == nullptr) return -1;
  Settings& settings = Settings::instance();
  const int limit = settings.maxsizeDeny();
  if (limit >= 1 && header->size() > limit) {
    verdict("Deny: ", *header, 2, {"Maxsize_Deny exceeded"});
    return 1;
  }
  const auto& rules = settings.denyRules();
  if (rules.empty()) return 0;
  const auto& fields = header->fields();
  const auto& lines = linesOf(*header);

  for (size_t i = 0; i < fields.size(); ++i) {
    for (const FilterRule& rule : rules) {
      if (rule.negated()) continue;
      if (rule.matches(lines[i])) {
        verdict("Deny: ", *header, 2, {"\"", rule.expression(), "\" matches \"", lines[i], "\""});
        return 1;
      }
      if (matchesNormalised(rule, fields[i], *header)) {
        verdict("Deny: ", *header, 2,
                {"\"", rule.expression(), "\" matches \"", lines[i], "\" (normalised)"});
        return 1;
      }
    }
  }

  if (settings.negativeDenyCount() < 1) return 0;
  if (const FilterRule* rule = unmatchedNegativeRule(rules, *header, lines, true)) {
    verdict("Deny: ", *header, 4,
            {"Negative deny rule \"", rule->expression(), "\" did not match"});
    return 1;
  }
  return 0;
}

int FilterEngine::checkScore(const MessageHeader* header) {
  if (header == nullptr) return 0;
  Settings& settings = Settings::instance();
  const auto [size_points, size_limit] = settings.maxsizeScore();
  int total = 0;
  if (size_points != 0 && size_limit > 0 && header->size() > size_limit) total = size_points;

  const auto& rules = settings.scoreRules();
  if (!rules.empty()) {
    const auto& fields = header->fields();
    const auto& lines = linesOf(*header);
    // Every positive rule counts once for each field it matches.
    for (size_t i = 0; i < fields.size(); ++i) {
      for (const ScoreRule& rule : rules) {
        if (rule.negated()) continue;
        if (!rule.matches(lines[i]) && !matchesNormalised(rule, fields[i], *header)) continue;
        say(5, {"Score: \"", rule.expression(), "\" matches \"", lines[i], "\" [",
                std::to_string(rule.score()), "]."});
        total = addPoints(total, rule.score());
      }
    }
    if (!lines.empty()) {
      for (const ScoreRule& rule : rules) {
        if (!rule.negated() || anyFieldMatches(rule, *header, lines, true)) continue;
        say(5, {"Score: <> \"", rule.expression(), "\" did not match [",
                std::to_string(rule.score()), "]."});
        total = addPoints(total, rule.score());
      }
    }
  }

  const std::string points = std::to_string(total);
  if (total < settings.highscore()) {
    verdict("Pass: ", *header, 5, {"Score: ", points});
    return 0;
  }
  verdict("Deny: ", *header, 2, {"Score: ", points});
  return 1;
}
