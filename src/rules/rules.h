#pragma once

// The rule engine: how the allow, deny and score rules of the rc file are compiled, restated for
// the linear-time engine and matched against a header's lines. Other rooms ask it through this
// header; it uses only the report and text rooms, and reads no settings: what it needs of them
// (the syntax, HIGHSCORE) is handed in.
//
// Inside: filter_rule (one rule, compiled by the C library as well), posix_translation (a POSIX
// expression read, judged and written in the engine's syntax), rule_matcher (all rules in sets,
// one scan of a line), trial_compile (a compile that might not end, tried in a child first),
// rule_syntax (what basic syntax takes literally).

#include <string>

#include "rules/filter_rule.h"
#include "rules/rule_matcher.h"

// Whether compileRuleLists builds the rule matcher before it returns, leaves that to another
// thread while the caller goes on (see buildRuleMatcherInBackground), or leaves it until a
// message is to be judged (see prepareRuleMatcher): a repeat run may judge none.
enum class MatcherBuild { kNow, kInBackground, kWhenNeeded };

// Compiles every allow, deny and score rule of lists once, in syntax (REG_EXTENDED or 0); 0, or
// the first error code after printing the two error lines. A deny rule that matches every line is
// refused; a score rule whose points alone reach highscore on every line is warned about. From
// here on compiledRuleMatcher() and fallbackRules() answer for these lists.
int compileRuleLists(const RuleLists& lists, int syntax, int highscore,
                     MatcherBuild build = MatcherBuild::kNow);

// Under basic syntax (syntax without REG_EXTENDED), warns about each rule that uses characters
// that are operators only in extended syntax: it probably meant extended syntax. Call after the
// rc file has been read.
void warnAboutBasicSyntaxRules(const RuleLists& lists, int syntax);

// The characters of an expression that are operators in extended syntax but match themselves in
// basic syntax, as "| ( )"; "" when there are none.
std::string extendedOperatorsIn(const std::string& expression);
