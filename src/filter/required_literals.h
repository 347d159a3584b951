#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One condition that every match of an expression puts on the text: the text contains one of the
// literals or, when anchored, begins with one of them. Literals are in ASCII lower case; a text is
// compared after the same folding, so the condition also holds for case-sensitive expressions.
struct LiteralClause {
  std::vector<std::string> literals;
  bool anchored = false;

  bool operator==(const LiteralClause&) const = default;
};

// What a text must satisfy, all clauses at once, for the POSIX expression compiled with cflags
// (REG_EXTENDED, REG_ICASE, as regcomp takes them) to match anywhere in it. An empty list: the
// expression may match any text. std::nullopt: the expression uses something the analysis does
// not reason about (back-references, collating elements, context-dependent operators...), so no
// text may be ruled out.
std::optional<std::vector<LiteralClause>> requiredLiterals(std::string_view expression,
                                                           int cflags);
