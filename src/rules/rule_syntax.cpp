#include "rules/rules.h"

#include <regex.h>

#include "report/warning.h"
#include "rules/posix_translation.h"

std::string extendedOperatorsIn(const std::string& expression) {
  std::string found;
  for (size_t i = 0; i < expression.size(); ++i) {
    const char c = expression[i];
    if (c == '\\') {
      ++i;  // an escaped character is never one of them
    } else if (c == '[') {
      i = bracketExpressionEnd(expression, i);
      if (i == std::string::npos) return found;  // unbalanced: the compiler reports it
    } else if (c == '|' || c == '+' || c == '?' || c == '(' || c == ')') {
      if (found.find(c) == std::string::npos) {
        if (!found.empty()) found += ' ';
        found += c;
      }
    }
  }
  return found;
}

namespace {

template <typename Rules>
void warnAbout(const Rules& rules, const char* kind) {
  for (const auto& rule : rules) {
    const std::string operators = extendedOperatorsIn(rule.expression());
    if (operators.empty()) continue;
    warn(std::string("The ") + kind + " rule \"" + rule.expression() + "\"" +
         (rule.place().empty() ? "" : " in " + rule.place()) + " uses " + operators +
         ", which match themselves in basic regular expressions; if you meant them as "
         "operators, add REG_TYPE = \"extended\".");
  }
}

}  // namespace

void warnAboutBasicSyntaxRules(const RuleLists& lists, int syntax) {
  if ((syntax & REG_EXTENDED) != 0) return;
  warnAbout(*lists.allow, "allow");
  warnAbout(*lists.deny, "deny");
  warnAbout(*lists.score, "score");
}
