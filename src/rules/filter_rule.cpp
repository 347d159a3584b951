#include "rules/filter_rule.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "report/warning.h"
#include "rules/posix_translation.h"
#include "rules/rule_matcher.h"
#include "rules/rules.h"
#include "rules/trial_compile.h"
#include "text/escape.h"

namespace {

// What a rule's compile may take in the trial before the rule is refused: some hundred times what
// any reasonable rule needs, and bounded however the machine is loaded.
constexpr int kTrialMilliseconds = 2000;

unsigned long rules_made = 0;

}  // namespace

FilterRule::FilterRule(std::string expression, int cflags, bool negated)
    : expression_(std::move(expression)),
      cflags_(cflags),
      negated_(negated),
      sequence_(++rules_made) {}

FilterRule::FilterRule(FilterRule&& other) noexcept
    : expression_(std::move(other.expression_)),
      translated_(std::move(other.translated_)),
      refusal_(std::move(other.refusal_)),
      pattern_(other.pattern_),
      cflags_(other.cflags_),
      negated_(other.negated_),
      compiled_(other.compiled_),
      matches_empty_(other.matches_empty_),
      ordinary_line_(other.ordinary_line_),
      look_for_ordinary_(other.look_for_ordinary_),
      compile_flags_(other.compile_flags_),
      place_(std::move(other.place_)),
      sequence_(other.sequence_) {
  held_.store(other.held_.load());
  other.held_.store(false);
  other.compiled_ = false;
}

FilterRule& FilterRule::operator=(FilterRule&& other) noexcept {
  if (this != &other) {
    release();
    expression_ = std::move(other.expression_);
    translated_ = std::move(other.translated_);
    refusal_ = std::move(other.refusal_);
    pattern_ = other.pattern_;
    cflags_ = other.cflags_;
    negated_ = other.negated_;
    compiled_ = other.compiled_;
    matches_empty_ = other.matches_empty_;
    ordinary_line_ = other.ordinary_line_;
    look_for_ordinary_ = other.look_for_ordinary_;
    held_.store(other.held_.load());
    other.held_.store(false);
    other.compiled_ = false;
    compile_flags_ = other.compile_flags_;
    place_ = std::move(other.place_);
    sequence_ = other.sequence_;
  }
  return *this;
}

FilterRule::~FilterRule() {
  release();
}

namespace {
std::atomic<unsigned long> compile_count = 0;
}  // namespace

unsigned long FilterRule::compilations() {
  return compile_count;
}

void FilterRule::release() {
  if (held_.exchange(false)) regfree(&pattern_);
  compiled_ = false;
}

int FilterRule::compile(int syntax) {
  const int code = compileQuietly(syntax, true);
  if (code != 0) reportError(code);
  return code;
}

void FilterRule::reportError(int code) const {
  if (!refusal_.empty()) {
    refused();
    return;
  }
  std::vector<char> message(regerror(code, &pattern_, nullptr, 0) + 1);
  regerror(code, &pattern_, message.data(), message.size());
  std::fflush(stdout);
  std::fprintf(stderr, "pollensift: Error: %s\n", message.data());
  std::fflush(stderr);
}

int FilterRule::compileQuietly(int syntax, bool trials) {
  release();
  refusal_.clear();
  ++compile_count;
  const int flags = syntax | cflags_;
  // Read before the C library compiles it: some expressions take it minutes and gigabytes.
  PosixTranslation translation =
      translatePosix(expression_, (flags & REG_EXTENDED) != 0, (flags & REG_ICASE) != 0);
  refusal_ = translation.refusal;
  if (!refusal_.empty()) return REG_ESIZE;
  if (translation.empty_steps) {
    if (!trials) return kLeftForCompile;
    switch (trialCompile(expression_, flags | REG_NOSUB, kTrialMilliseconds)) {
      case TrialCompile::kInTime:
        break;
      case TrialCompile::kTooSlow:
        refusal_ = "the C library cannot compile it within " +
                   std::to_string(kTrialMilliseconds / 1000) + " seconds";
        break;
      case TrialCompile::kCrashed:
        refusal_ = "the C library's compile of it fails";
        break;
    }
    if (!refusal_.empty()) return REG_ESIZE;
  }
  // Only yes or no is asked of a rule, never where it matched: without the group positions the
  // C library compiles many times faster (back-references still work).
  const int code = regcomp(&pattern_, expression_.c_str(), flags | REG_NOSUB);
  if (code != 0) return code;
  compiled_ = true;
  held_.store(true);
  compile_flags_ = flags;
  matches_empty_ = regexec(&pattern_, "", 0, nullptr, 0) == 0;
  ordinary_line_ = nullptr;
  if (!negated_ && look_for_ordinary_) {
    for (const char* line : ordinaryHeaderLines()) {
      if (regexec(&pattern_, line, 0, nullptr, 0) == 0) {
        ordinary_line_ = line;
        break;
      }
    }
  }
  translated_ = std::move(translation);
  if (translated_.fallback.empty()) {
    // The engine matches it: the pattern is compiled again only if something asks for it.
    held_.store(false);
    regfree(&pattern_);
  }
  return 0;
}

void FilterRule::refused() const {
  std::fflush(stdout);
  std::fprintf(stderr, "pollensift: Error: The rule \"%s\" cannot be matched safely: %s.\n",
               escapeControls(expression_).c_str(), refusal_.c_str());
  std::fflush(stderr);
}

bool FilterRule::holdPattern() const {
  if (compiled_ && !held_.load(std::memory_order_acquire)) {
    static std::mutex compiling;
    const std::lock_guard<std::mutex> hold(compiling);
    // It compiled before with these flags: only a lack of memory can fail it now, and then the
    // rule matches nothing, as on any error of the C library's matcher.
    if (!held_.load(std::memory_order_relaxed) &&
        regcomp(&pattern_, expression_.c_str(), compile_flags_ | REG_NOSUB) == 0) {
      held_.store(true, std::memory_order_release);
    }
  }
  return held_.load(std::memory_order_acquire);
}

const std::vector<const char*>& ordinaryHeaderLines() {
  // Names and addresses no rule has a reason to aim at.
  static const std::vector<const char*> lines = {
      "From: Mara Olsen <mara.olsen@olsen-family.net>",
      "To: Jon Olsen <jon.olsen@olsen-family.net>",
      "Subject: Dinner on Sunday",
      "Date: Sun, 6 Dec 2026 18:04:11 +0100",
      "Message-ID: <3f9a1c2e.5d7b@olsen-family.net>",
      "Received: from mx1.olsen-family.net (mx1.olsen-family.net [198.51.100.7]) by "
      "pop.olsen-family.net with ESMTPS id 4F2A9; Sun, 6 Dec 2026 18:04:12 +0100",
      "MIME-Version: 1.0",
      "Content-Type: text/plain; charset=utf-8",
  };
  return lines;
}

const regex_t& FilterRule::pattern() const {
  holdPattern();
  return pattern_;
}

bool FilterRule::matches(const std::string& text) const {
  return compiled_ && holdPattern() && regexec(&pattern_, text.c_str(), 0, nullptr, 0) == 0;
}

bool FilterRule::matchesRange(const std::string& text, size_t length) const {
  if (!compiled_ || !holdPattern()) return false;
  regmatch_t range[1];
  range[0].rm_so = 0;
  range[0].rm_eo = static_cast<regoff_t>(length);
  return regexec(&pattern_, text.c_str(), 0, range, REG_STARTEND) == 0;
}

namespace {

// The rule's name in messages: its kind, its expression and where it stands.
std::string ruleName(const FilterRule& rule, const char* kind) {
  return std::string("The ") + kind + " rule \"" + escapeControls(rule.expression()) + "\"" +
         (rule.place().empty() ? "" : " in " + rule.place());
}

// The line after the two error lines: which rule, where, and the library's reason.
std::string describeCompileError(const FilterRule& rule, const char* kind, int code) {
  const std::string named = "pollensift: " + ruleName(rule, kind);
  if (!rule.refusal().empty())
    return named + " cannot be matched safely: " + rule.refusal() + ".\n";
  std::vector<char> reason(regerror(code, &rule.pattern(), nullptr, 0) + 1);
  regerror(code, &rule.pattern(), reason.data(), reason.size());
  return named + " is not a valid regular expression: " + reason.data() + ".\n";
}

// Every header line begins with the empty text, so a positive rule that matches it matches every
// line of every message.
bool matchesEveryLine(const FilterRule& rule) {
  return !rule.negated() && rule.matchesEmpty();
}

// What a deny rule that matches every line would do: delete every message of every mailbox.
int refuseCatchAll(const FilterRule& rule) {
  std::fflush(stdout);
  std::fputs(("pollensift: Error: " + ruleName(rule, "deny") +
              " matches the empty text, so it matches every header line and would delete every "
              "message.\n")
                 .c_str(),
             stderr);
  std::fflush(stderr);
  return REG_BADPAT;
}

// A deny rule that condemns an ordinary header would delete nearly every message.
int refuseCommonMatch(const FilterRule& rule) {
  std::fflush(stdout);
  std::fputs(("pollensift: Error: " + ruleName(rule, "deny") + " matches \"" +
              rule.ordinaryLineMatched() +
              "\" of an ordinary header, so it would delete nearly every message.\n")
                 .c_str(),
             stderr);
  std::fflush(stderr);
  return REG_BADPAT;
}

// Below this many rules a second thread costs more than it spares.
constexpr size_t kRulesForTwoThreads = 64;

struct Listed {
  FilterRule* rule;
  const char* kind;
  bool deny;
};

// Compiles the rules quietly, the later half on a second thread: each rule's translation and
// compile stand alone, and at 10,000 rules they are half of the start-up. What this leaves
// (errors to print, trials in a child process, rules after an error) compileInOrder does on this
// thread. Short lists are left to it whole, so that no rule after a failing one is compiled.
void compileInParallel(const std::vector<Listed>& rules, int syntax, std::vector<int>& codes) {
  codes.assign(rules.size(), FilterRule::kLeftForCompile);
  if (rules.size() < kRulesForTwoThreads) return;
  std::atomic<bool> failed = false;  // in the first half: the second half will not be needed
  auto run = [&](size_t from, size_t to, bool first) {
    for (size_t i = from; i < to && !failed.load(std::memory_order_relaxed); ++i) {
      codes[i] = rules[i].rule->compileQuietly(syntax, false);
      if (first && codes[i] != 0 && codes[i] != FilterRule::kLeftForCompile)
        failed.store(true, std::memory_order_relaxed);
    }
  };
  const size_t middle = rules.size() / 2;
  std::thread second;
  try {
    second = std::thread(run, middle, rules.size(), false);
  } catch (const std::system_error&) {
    // No thread to be had: compileInOrder compiles the rest as it reaches them.
  }
  run(0, middle, true);
  if (second.joinable()) second.join();
}

// Goes through the rules in rc order as a compile of each in turn would: the first that fails
// is reported (with its list) and ends the compile, and so does a deny rule that matches every
// line.
int compileInOrder(const std::vector<Listed>& rules, int syntax, const std::vector<int>& codes) {
  for (size_t i = 0; i < rules.size(); ++i) {
    FilterRule& rule = *rules[i].rule;
    int code = codes[i];
    if (code == FilterRule::kLeftForCompile) {
      code = rule.compile(syntax);
    } else if (code != 0) {
      rule.reportError(code);
    }
    if (code != 0) {
      std::fprintf(stderr, "pollensift: Error: Could not compile regular expression (%s).\n",
                   rules[i].kind);
      std::fputs(describeCompileError(rule, rules[i].kind, code).c_str(), stderr);
      std::fflush(stderr);
      return code;
    }
    if (rules[i].deny && matchesEveryLine(rule)) return refuseCatchAll(rule);
    if (rules[i].deny && rule.ordinaryLineMatched() != nullptr) return refuseCommonMatch(rule);
  }
  return 0;
}

// A score rule that matches every line adds its points for every field; points that reach
// HIGHSCORE by themselves condemn every message that scoring sees.
void warnAboutCatchAllScores(const std::vector<ScoreRule>& rules, int highscore) {
  for (const ScoreRule& rule : rules) {
    if (rule.score() <= 0 || rule.score() < highscore) continue;
    if (!matchesEveryLine(rule)) {
      if (rule.ordinaryLineMatched() == nullptr) continue;
      warn(ruleName(rule, "score") + " matches \"" + rule.ordinaryLineMatched() +
           "\" of an ordinary header; its " + std::to_string(rule.score()) +
           " points alone reach HIGHSCORE " + std::to_string(highscore) +
           ", so nearly every message that reaches scoring is deleted.");
      continue;
    }
    warn(ruleName(rule, "score") +
         " matches the empty text, so it matches every header line; its " +
         std::to_string(rule.score()) + " points alone reach HIGHSCORE " +
         std::to_string(highscore) + ", so every message that reaches scoring is deleted.");
  }
}

}  // namespace

int compileRuleLists(const RuleLists& lists, int syntax, int highscore, MatcherBuild build) {
  awaitRuleMatcherBuild();  // it reads the rules that compiling changes
  setMatchedRuleLists(lists);
  std::vector<Listed> rules;
  rules.reserve(lists.allow->size() + lists.deny->size() + lists.score->size());
  for (FilterRule& rule : *lists.allow) rules.push_back({&rule, "allow", false});
  for (FilterRule& rule : *lists.deny) {
    rule.lookForOrdinaryLines(true);
    rules.push_back({&rule, "deny", true});
  }
  for (ScoreRule& rule : *lists.score) {
    rule.lookForOrdinaryLines(rule.score() > 0 && rule.score() >= highscore);
    rules.push_back({&rule, "score", false});
  }
  std::vector<int> codes;
  compileInParallel(rules, syntax, codes);
  if (int code = compileInOrder(rules, syntax, codes)) return code;
  warnAboutCatchAllScores(*lists.score, highscore);
  // Every rule is known good now; building the matcher cannot fail on a rule (one the engine
  // cannot take keeps the C library's matcher), so it may go on while a server is contacted.
  if (build == MatcherBuild::kInBackground) {
    buildRuleMatcherInBackground();
  } else if (build == MatcherBuild::kNow) {
    compiledRuleMatcher();
  }
  return 0;
}
