// The matcher of the rules of the run, built once (in the background while the first server is
// contacted) and rebuilt when the rules change.
#include <array>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "rules/filter_rule.h"
#include "rules/rule_matcher.h"

namespace {

using Shapes = std::array<std::pair<const void*, size_t>, 3>;

// The matcher of the rules as they were when it was built: stale once a rule was compiled again
// or a list changed.
struct Compiled {
  unsigned long compilations = 0;
  Shapes shapes{};
  std::unique_ptr<RuleMatcher> matcher;
  // A matcher being built by another thread, for the rules as given by the key below.
  std::thread builder;
  unsigned long pending_compilations = 0;
  Shapes pending_shapes{};
  std::unique_ptr<RuleMatcher> pending;
  std::exception_ptr failure;

  ~Compiled() {
    if (builder.joinable()) builder.join();
  }
};

Compiled& compiled() {
  static Compiled instance;
  return instance;
}

// Before any rule was compiled the matcher is made of no rules.
std::vector<FilterRule> no_rules;
std::vector<ScoreRule> no_scores;
RuleLists matched_lists{&no_rules, &no_rules, &no_scores};

Shapes ruleShapes() {
  const RuleLists& l = matched_lists;
  return {{{l.allow->data(), l.allow->size()},
           {l.deny->data(), l.deny->size()},
           {l.score->data(), l.score->size()}}};
}

std::vector<const FilterRule*> allRules() {
  std::vector<const FilterRule*> rules;
  for (const FilterRule& rule : *matched_lists.allow) rules.push_back(&rule);
  for (const FilterRule& rule : *matched_lists.deny) rules.push_back(&rule);
  for (const ScoreRule& rule : *matched_lists.score) rules.push_back(&rule);
  return rules;
}

// Takes the matcher built in the background, if it is for the rules as they are now.
void finishBuild(Compiled& c) {
  if (!c.builder.joinable()) return;
  c.builder.join();
  std::unique_ptr<RuleMatcher> built = std::move(c.pending);
  if (std::exception_ptr failure = std::exchange(c.failure, nullptr))
    std::rethrow_exception(failure);
  if (c.pending_compilations == FilterRule::compilations() && c.pending_shapes == ruleShapes()) {
    c.matcher = std::move(built);
    c.compilations = c.pending_compilations;
    c.shapes = c.pending_shapes;
  }
}

}  // namespace

void setMatchedRuleLists(const RuleLists& lists) {
  matched_lists = lists;
}

void buildRuleMatcherInBackground() {
  Compiled& c = compiled();
  finishBuild(c);
  c.pending_compilations = FilterRule::compilations();
  c.pending_shapes = ruleShapes();
  try {
    c.builder = std::thread([&c, rules = allRules()]() mutable {
      try {
        c.pending = std::make_unique<RuleMatcher>(std::move(rules));
      } catch (...) {
        c.failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: compiledRuleMatcher() builds it when it is first needed.
  }
}

void prepareRuleMatcher() {
  Compiled& c = compiled();
  if (c.builder.joinable()) return;
  if (c.matcher && c.compilations == FilterRule::compilations() && c.shapes == ruleShapes()) return;
  buildRuleMatcherInBackground();
}

void awaitRuleMatcherBuild() {
  finishBuild(compiled());
}

RuleMatcher& compiledRuleMatcher() {
  Compiled& c = compiled();
  finishBuild(c);
  if (!c.matcher || c.compilations != FilterRule::compilations() || c.shapes != ruleShapes()) {
    c.matcher.reset();
    c.matcher = std::make_unique<RuleMatcher>(allRules());
    c.compilations = FilterRule::compilations();
    c.shapes = ruleShapes();
  }
  return *c.matcher;
}

std::vector<FallbackRule> fallbackRules() {
  const RuleLists& l = matched_lists;
  RuleMatcher& matcher = compiledRuleMatcher();
  matcher.buildEverything();
  const std::array<std::pair<const char*, size_t>, 3> lists = {{
      {"allow", l.allow->size()},
      {"deny", l.deny->size()},
      {"score", l.score->size()},
  }};
  std::vector<FallbackRule> out;
  size_t global = 0;
  for (size_t k = 0; k < lists.size(); ++k) {
    for (size_t i = 0; i < lists[k].second; ++i, ++global) {
      const std::string& reason = matcher.fallbackReason(global);
      if (reason.empty()) continue;
      const FilterRule& rule = k == 0   ? (*l.allow)[i]
                               : k == 1 ? (*l.deny)[i]
                                        : static_cast<const FilterRule&>((*l.score)[i]);
      out.push_back({lists[k].first, i + 1, rule.expression(), reason});
    }
  }
  return out;
}
