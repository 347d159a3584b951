#include "filter/filter_engine.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "config/settings.h"
#include "filter/shortlist.h"
#include "header/message_header.h"
#include "learn/learn.h"
#include "report/reporter.h"
#include "rules/rules.h"

namespace {

// The line that introduces the verdict lines of the message being judged, until one is shown.
std::string introduction;

void introduce(int level) {
  if (introduction.empty()) return;
  Reporter::instance().print(introduction, level);
  introduction.clear();
}

// Joins parts into one line and prints it, building nothing when the level is not shown: most
// verdict lines are above the usual verbosity and would be built for every message otherwise.
void say(int level, std::initializer_list<std::string_view> parts) {
  if (Settings::instance().verbose() < level) return;
  introduce(level);
  std::string line;
  for (const std::string_view part : parts) line += part;
  Reporter::instance().print(line, level);
}

// The reason of the last "Deny: " line, whether it was shown or not: the quarantine keeps it with
// the message.
std::string deny_reason;

// kind + verdict summary (from, subject, date) + " [" + reason + "]."
// tail follows the reason's brackets: the block lists that added points, each in brackets.
void verdict(std::string_view kind, const MessageHeader& header, int level,
             std::initializer_list<std::string_view> reason, std::string_view tail = {}) {
  if (kind == "Deny: " && !Settings::instance().quarantine().empty()) {
    deny_reason.clear();
    for (const std::string_view part : reason) deny_reason += part;
    deny_reason += tail;
  }
  if (Settings::instance().verbose() < level) return;
  introduce(level);
  std::string line(kind);
  line += header.from();
  line += ": ";
  line += header.subject();
  line += ", ";
  line += header.date();
  line += " [";
  for (const std::string_view part : reason) line += part;
  line += "]";
  line += tail;
  line += ".";
  Reporter::instance().print(line, level);
}

// With NORMAL on, a rule written for the Subject line also applies to the normalised subject,
// but only on a field whose name is exactly "Subject".
bool testsNormalised(const MessageHeader::Field& field) {
  return Settings::instance().normal() && field.first == "Subject";
}

// The normalised subject when some field tests it, else null.
const std::string* normalisedText(const MessageHeader& header) {
  for (const auto& field : header.fields()) {
    if (testsNormalised(field)) return &header.normalisedSubject();
  }
  return nullptr;
}

// Whether rule matches text, when the shortlist named it for text: certain when the engine
// found it, else its own pattern decides.
bool confirmed(const Shortlist& shortlist, const FilterRule& rule, const std::string& text) {
  return shortlist.verified() || rule.matches(text);
}

// Calls fn(rule, on_line, on_normalised) for every rule of line or normalised (both ascending),
// in list order, until fn returns true; returns whether it did.
template <typename Fn>
bool eachCandidate(std::span<const uint32_t> line, const std::vector<uint32_t>* normalised,
                   Fn fn) {
  if (normalised == nullptr) {
    for (const uint32_t rule : line) {
      if (fn(rule, true, false)) return true;
    }
    return false;
  }
  auto a = line.begin();
  auto b = normalised->begin();
  while (a != line.end() || b != normalised->end()) {
    const uint32_t rule = b == normalised->end() || (a != line.end() && *a < *b) ? *a : *b;
    const bool on_line = a != line.end() && *a == rule;
    const bool on_normalised = b != normalised->end() && *b == rule;
    if (on_line) ++a;
    if (on_normalised) ++b;
    if (fn(rule, on_line, on_normalised)) return true;
  }
  return false;
}

// Marks each negative rule of list that some field satisfies: on its line or, for deny and
// score rules, on the normalised subject.
template <typename Rule>
void markSatisfied(const std::vector<Rule>& rules, ListKind list, Shortlist& shortlist,
                   const std::vector<std::string>& lines, const std::string* normalised) {
  shortlist.clearSatisfied();
  for (size_t i = 0; i < lines.size(); ++i) {
    for (const uint32_t rule : shortlist.negative(list, i)) {
      if (!shortlist.satisfied(list, rule) && confirmed(shortlist, rules[rule], lines[i])) {
        shortlist.satisfy(list, rule);
      }
    }
  }
  if (normalised != nullptr) {
    for (const uint32_t rule : shortlist.negativeNormalised(list)) {
      if (!shortlist.satisfied(list, rule) && confirmed(shortlist, rules[rule], *normalised)) {
        shortlist.satisfy(list, rule);
      }
    }
  }
}

// The first negative rule of list that no field satisfies, or nullptr. A header without fields
// satisfies every rule: a negative rule needs a line to test.
template <typename Rule>
const Rule* unmatchedNegativeRule(const std::vector<Rule>& rules, ListKind list,
                                  Shortlist& shortlist, const std::vector<std::string>& lines,
                                  const std::string* normalised) {
  if (lines.empty() || shortlist.negativeRules(list).empty()) return nullptr;
  markSatisfied(rules, list, shortlist, lines, normalised);
  for (const uint32_t rule : shortlist.negativeRules(list)) {
    if (!shortlist.satisfied(list, rule)) return &rules[rule];
  }
  return nullptr;
}

// Notes for stats every rule of list that applies to the header of lines: a positive rule that
// matches a line (or the normalised subject, where given), a negative rule that matches none.
template <typename Rule>
void countMatches(const std::vector<Rule>& rules, ListKind list, Shortlist& shortlist,
                  const std::vector<std::string>& lines, const std::string* normalised,
                  RuleStats& stats) {
  const auto note = [&](uint32_t rule, const std::string& text) {
    if (!stats.matchedNow(list, rule) && confirmed(shortlist, rules[rule], text)) {
      stats.noteMatched(list, rule);
    }
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    for (const uint32_t rule : shortlist.positive(list, i)) note(rule, lines[i]);
  }
  if (normalised != nullptr) {
    for (const uint32_t rule : shortlist.positiveNormalised(list)) note(rule, *normalised);
  }
  if (lines.empty() || shortlist.negativeRules(list).empty()) return;
  markSatisfied(rules, list, shortlist, lines, normalised);
  for (const uint32_t rule : shortlist.negativeRules(list)) {
    if (!shortlist.satisfied(list, rule)) stats.noteMatched(list, rule);
  }
}

// A total that cannot overflow: many matching lines with large points saturate instead of
// wrapping round to the opposite verdict.
int addPoints(int total, int points) {
  int sum;
  if (__builtin_add_overflow(total, points, &sum)) return points > 0 ? INT_MAX : INT_MIN;
  return sum;
}

}  // namespace

struct FilterEngine::Shortlists {
  unsigned long generation;  // of the rule matcher they were built for
  Shortlist rules;
};

FilterEngine::FilterEngine() = default;
FilterEngine::~FilterEngine() = default;

// Built on first use after the rules were compiled, once for the whole run.
FilterEngine::Shortlists& FilterEngine::shortlists() {
  const unsigned long generation = compiledRuleMatcher().generation();
  if (!shortlists_ || shortlists_->generation != generation) {
    Settings& settings = Settings::instance();
    shortlists_.reset(new Shortlists{
        generation, Shortlist(settings.allowRules(), settings.denyRules(), settings.scoreRules())});
  }
  return *shortlists_;
}

const std::vector<std::string>& FilterEngine::prepare(const MessageHeader& header) {
  if (prepared_) return lines_;
  const auto& fields = header.fields();
  lines_.resize(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string& line = lines_[i];
    line.assign(fields[i].first);
    line += ": ";
    line += fields[i].second;
  }
  shortlists().rules.scan(lines_, normalisedText(header), engine_);
  prepared_ = sharing_;
  return lines_;
}

FilterEngine& FilterEngine::instance() {
  static FilterEngine engine;
  return engine;
}

void FilterEngine::resetForTesting() {
  seen_.clear();
  before_seen_use_ = nullptr;
  seen_ready_ = nullptr;
  on_seen_settled_ = nullptr;
  stats_.reset();
}

int FilterEngine::filter(const MessageHeader* header, std::span<const dnsbl::Listing> listings) {
  listings_ = listings;
  // The checks of one call share the header's lines and their candidates.
  struct Sharing {
    explicit Sharing(FilterEngine& engine) : engine(engine) { engine.sharing_ = true; }
    ~Sharing() { engine.sharing_ = engine.prepared_ = false; }
    FilterEngine& engine;
  } sharing(*this);

  last_condemned_ = Condemned::kNone;
  deny_reason.clear();
  deciding_rule_ = -1;
  scored_.clear();
  learned_scored_.reset();
  const int outcome = runChecks(header);
  listings_ = {};
  if (stats_ && header != nullptr) countRules(*header, outcome);
  introduction.clear();
  return outcome;
}

int FilterEngine::runChecks(const MessageHeader* header) {
  int result = checkDuplicate(header);
  if (result != 0) return decided(result, Condemned::kDuplicate);
  result = checkAllow(header);
  if (result != 2) return decided(result, Condemned::kMaxsizeAllow);
  if (checkMaxLength(header) != 0) return decided(1, Condemned::kMaxlength);
  deny_kind_ = Condemned::kDenyRule;  // checkDeny names its size limit or negative rule itself
  result = checkDeny(header);
  if (result != 0) return decided(result, deny_kind_);
  return decided(checkScore(header), Condemned::kScore);
}

const std::string& FilterEngine::lastReason() const { return deny_reason; }

std::string FilterEngine::lastCondemnedBy() const {
  Settings& settings = Settings::instance();
  switch (last_condemned_) {
    case Condemned::kNone:
      break;
    case Condemned::kDuplicate:
      return "DEL_DUPLICATES";
    case Condemned::kMaxsizeAllow:
      return "MAXSIZE_ALLOW";
    case Condemned::kMaxlength:
      return "MAXLENGTH";
    case Condemned::kMaxsizeDeny:
      return "MAXSIZE_DENY";
    case Condemned::kScore:
      return "the score (HIGHSCORE = " + std::to_string(settings.highscore()) + ")";
    case Condemned::kDenyRule:
    case Condemned::kNegativeDenyRule: {
      const auto& rules = settings.denyRules();
      if (deciding_list_ != kDenyList || deciding_rule_ < 0 ||
          static_cast<size_t>(deciding_rule_) >= rules.size()) {
        return "a deny rule";
      }
      const FilterRule& rule = rules[static_cast<size_t>(deciding_rule_)];
      return std::string(last_condemned_ == Condemned::kNegativeDenyRule ? "the negative " : "the ") +
             "deny rule \"" + rule.expression() + "\"";
    }
  }
  return "";
}

void FilterEngine::collectRuleStatistics() {
  if (!stats_) stats_ = std::make_unique<RuleStats>();
}

void FilterEngine::introduceNextVerdict(std::string line) {
  introduction = std::move(line);
}

void FilterEngine::countRules(const MessageHeader& header, int outcome) {
  RuleStats& stats = *stats_;
  stats.beginMessage();
  if (learned_scored_) {
    const int points = *learned_scored_;
    stats.noteLearned(points != 0, outcome == 1 ? points > 0 : points < 0);
  }
  Settings& settings = Settings::instance();
  if (settings.allowRules().empty() && settings.denyRules().empty() &&
      settings.scoreRules().empty()) {
    return;
  }
  const auto& lines = prepare(header);
  const std::string* normalised = normalisedText(header);
  Shortlist& shortlist = shortlists_->rules;
  // Allow rules never see the normalised subject.
  countMatches(settings.allowRules(), kAllowList, shortlist, lines, nullptr, stats);
  countMatches(settings.denyRules(), kDenyList, shortlist, lines, normalised, stats);
  countMatches(settings.scoreRules(), kScoreList, shortlist, lines, normalised, stats);
  if (deciding_rule_ >= 0) {
    stats.noteDecided(deciding_list_, static_cast<uint32_t>(deciding_rule_));
  }
  // A verdict of the score: the rules whose points pushed the total towards it.
  for (const auto& [rule, points] : scored_) {
    if (outcome == 1 ? points > 0 : points < 0) stats.noteDecided(kScoreList, rule);
  }
}

int FilterEngine::decided(int result, Condemned kind) {
  if (result > 0) {
    last_condemned_ = kind;
    return 1;
  }
  return result < 0 ? -1 : 0;
}

int FilterEngine::checkDuplicate(const MessageHeader* header) {
  if (header == nullptr) return -1;
  const std::string& id = header->messageId();
  const bool spared = spare_duplicate_;
  spare_duplicate_ = false;
  if (id.empty() || !Settings::instance().delDuplicates() || spared) return 0;
  if (!seen().insert(SeenIds::key(id))) {
    verdict("Deny: ", *header, 2, {"Duplicate"});
    return 1;
  }
  return 0;
}

std::string FilterEngine::seenKey(std::string_view message_id) {
  return message_id.empty() ? std::string() : SeenIds::key(message_id);
}

bool FilterEngine::seedSeen(const std::string& key) {
  if (key.empty() || !Settings::instance().delDuplicates()) return true;
  return seen().insert(key);
}

bool FilterEngine::seeMessage(std::string_view uidl, const std::string& key) {
  if (uidl.empty() || key.empty() || !Settings::instance().delDuplicates()) return true;
  return seen().insert(SeenIds::messageKey(uidl, key));
}

namespace {

// Runs a hook that may be run only once; it is gone before it runs.
template <typename... Args>
void runOnce(std::function<void(Args...)>& hook, const std::remove_reference_t<Args>&... args) {
  if (!hook) return;
  const std::function<void(Args...)> taken = std::move(hook);
  hook = nullptr;
  taken(args...);
}

}  // namespace

SeenIds& FilterEngine::seen() {
  runOnce(before_seen_use_);
  return seen_;
}

void FilterEngine::seenSettled() { runOnce(on_seen_settled_, seen_.packed()); }

void FilterEngine::seenSettledAhead(const SeenIds& own) { runOnce(on_seen_settled_, own.packed()); }

int FilterEngine::checkAllow(const MessageHeader* header) {
  if (header == nullptr) return -1;
  Settings& settings = Settings::instance();
  const auto& rules = settings.allowRules();
  if (rules.empty()) return 2;
  const auto& lines = prepare(*header);
  Shortlist& shortlist = shortlists_->rules;

  // The first line that any positive rule matches decides.
  for (size_t i = 0; i < lines.size(); ++i) {
    for (const uint32_t r : shortlist.positive(kAllowList, i)) {
      const FilterRule& rule = rules[r];
      if (!confirmed(shortlist, rule, lines[i])) continue;
      verdict("Allow: ", *header, 4, {"\"", rule.expression(), "\" matches \"", lines[i], "\""});
      const int limit = settings.maxsizeAllow();
      if (limit > 0 && header->size() > limit) {
        verdict("Deny: ", *header, 2, {"Maxsize_Allow exceeded"});
        return 1;
      }
      noteDecidingRule(kAllowList, r);
      return 0;
    }
  }

  if (settings.negativeAllowCount() < 1) return 2;
  if (const FilterRule* rule =
          unmatchedNegativeRule(rules, kAllowList, shortlist, lines, nullptr)) {
    verdict("Allow: ", *header, 4,
            {"Negative allow rule \"", rule->expression(), "\" did not match"});
    noteDecidingRule(kAllowList, static_cast<size_t>(rule - rules.data()));
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
    deny_kind_ = Condemned::kMaxsizeDeny;
    return 1;
  }
  const auto& rules = settings.denyRules();
  if (rules.empty()) return 0;
  const auto& fields = header->fields();
  const auto& lines = prepare(*header);
  const std::string* normalised = normalisedText(*header);
  Shortlist& shortlist = shortlists_->rules;

  for (size_t i = 0; i < fields.size(); ++i) {
    const bool with_normalised = testsNormalised(fields[i]);
    int found = 0;  // 1 on the line, 2 on the normalised subject
    const FilterRule* match = nullptr;
    eachCandidate(shortlist.positive(kDenyList, i),
                  with_normalised ? &shortlist.positiveNormalised(kDenyList) : nullptr,
                  [&](uint32_t r, bool on_line, bool on_normalised) {
                    const FilterRule& rule = rules[r];
                    if (on_line && confirmed(shortlist, rule, lines[i])) {
                      found = 1;
                    } else if (on_normalised && confirmed(shortlist, rule, *normalised)) {
                      found = 2;
                    } else {
                      return false;
                    }
                    match = &rule;
                    return true;
                  });
    if (found != 0) noteDecidingRule(kDenyList, static_cast<size_t>(match - rules.data()));
    if (found == 1) {
      verdict("Deny: ", *header, 2, {"\"", match->expression(), "\" matches \"", lines[i], "\""});
      return 1;
    }
    if (found == 2) {
      verdict("Deny: ", *header, 2,
              {"\"", match->expression(), "\" matches \"", lines[i], "\" (normalised)"});
      return 1;
    }
  }

  if (settings.negativeDenyCount() < 1) return 0;
  if (const FilterRule* rule =
          unmatchedNegativeRule(rules, kDenyList, shortlist, lines, normalised)) {
    verdict("Deny: ", *header, 2,
            {"Negative deny rule \"", rule->expression(), "\" did not match"});
    noteDecidingRule(kDenyList, static_cast<size_t>(rule - rules.data()));
    deny_kind_ = Condemned::kNegativeDenyRule;
    return 1;
  }
  return 0;
}

namespace {

// "subj:winner (0.991), from:dom:example.com (0.962)"
std::string evidenceList(const std::vector<learn::Evidence>& tokens) {
  std::string text;
  char probability[32];
  for (const learn::Evidence& evidence : tokens) {
    std::snprintf(probability, sizeof probability, " (%.3f)", evidence.probability);
    text += (text.empty() ? "" : ", ") + evidence.token + probability;
  }
  return text;
}

}  // namespace

int FilterEngine::learnedPoints(const MessageHeader& header) const {
  const Settings& settings = Settings::instance();
  const bool shown = settings.verbose() >= 5;
  const learn::Judgement judgement = learned_->judge(header, shown ? 5 : 0);
  const double exact =
      std::round(static_cast<double>(settings.learnedScore()) * (2.0 * judgement.p - 1.0));
  const int points = static_cast<int>(std::clamp(exact, double{INT_MIN}, double{INT_MAX}));
  if (shown) {
    char probability[32];
    std::snprintf(probability, sizeof probability, "%.3f", judgement.p);
    say(5, {"Score: learned spam probability ", probability, " [", std::to_string(points), "]."});
    if (!judgement.for_spam.empty()) {
      say(5, {"Score: learned tokens for spam: ", evidenceList(judgement.for_spam), "."});
    }
    if (!judgement.for_ham.empty()) {
      say(5, {"Score: learned tokens for ham: ", evidenceList(judgement.for_ham), "."});
    }
  }
  return points;
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
    const auto& lines = prepare(*header);
    const std::string* normalised = normalisedText(*header);
    Shortlist& shortlist = shortlists_->rules;
    // Every positive rule counts once for each field it matches.
    for (size_t i = 0; i < fields.size(); ++i) {
      const bool with_normalised = testsNormalised(fields[i]);
      eachCandidate(shortlist.positive(kScoreList, i),
                    with_normalised ? &shortlist.positiveNormalised(kScoreList) : nullptr,
                    [&](uint32_t r, bool on_line, bool on_normalised) {
                      const ScoreRule& rule = rules[r];
                      if ((on_line && confirmed(shortlist, rule, lines[i])) ||
                          (on_normalised && confirmed(shortlist, rule, *normalised))) {
                        say(5, {"Score: \"", rule.expression(), "\" matches \"", lines[i], "\" [",
                                std::to_string(rule.score()), "]."});
                        total = addPoints(total, rule.score());
                        if (stats_) scored_.emplace_back(r, rule.score());
                      }
                      return false;
                    });
    }
    // Each negative rule that no field satisfies counts once, in list order.
    if (!lines.empty() && !shortlist.negativeRules(kScoreList).empty()) {
      markSatisfied(rules, kScoreList, shortlist, lines, normalised);
      for (const uint32_t r : shortlist.negativeRules(kScoreList)) {
        if (shortlist.satisfied(kScoreList, r)) continue;
        const ScoreRule& rule = rules[r];
        say(5, {"Score: <> \"", rule.expression(), "\" did not match [",
                std::to_string(rule.score()), "]."});
        total = addPoints(total, rule.score());
        if (stats_) scored_.emplace_back(r, rule.score());
      }
    }
  }

  if (learned_ != nullptr) {
    const int learned = learnedPoints(*header);
    total = addPoints(total, learned);
    if (stats_) learned_scored_ = learned;
  }

  std::string listed;  // " [DNSBL bl.example lists 203.0.113.7: 100]" for each listing
  for (const dnsbl::Listing& listing : listings_) {
    const std::string listing_points = std::to_string(listing.points);
    say(5, {"Score: DNSBL ", listing.zone, " lists ", listing.address, " [", listing_points, "]."});
    total = addPoints(total, listing.points);
    listed += " [DNSBL " + listing.zone + " lists " + listing.address + ": " + listing_points + "]";
  }

  const std::string points = std::to_string(total);
  if (total < settings.highscore()) {
    verdict("Pass: ", *header, 5, {"Score: ", points}, listed);
    return 0;
  }
  verdict("Deny: ", *header, 2, {"Score: ", points}, listed);
  return 1;
}
