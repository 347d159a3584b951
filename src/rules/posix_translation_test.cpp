#include "rules/posix_translation.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "rules/filter_rule.h"
#include "rules/rule_matcher.h"

namespace {

struct Case {
  std::string expression;
  bool extended;
  bool icase;
  std::string text;
  bool matches;
  bool falls_back = false;
};

// The C library's readings that a translation can easily get wrong, each with its answer: the
// C library must give it (so the table documents what it does) and so must the rule matcher.
const std::vector<Case> kCases = {
    // Case ignored: the expression is upper-cased, escaped letters excepted; only a-z fold.
    {"\\a", false, true, "a", false},
    {"\\A", false, true, "a", true},
    {"[a-Z]", true, true, "q", true},
    {"[0-z]", true, true, "_", false},
    {"[0-z]", true, false, "_", true},
    {"\xe9", false, true, "\xc9", false},
    {"[[:lower:]]", true, true, "A", true},
    {"[^[:lower:]]", true, true, "A", false},
    {"[^a]", true, true, "A", false},
    // Basic syntax: context decides what "*", "^" and "$" are.
    {"*a", false, false, "*a", true},
    {"*a", false, false, "a", false},
    {"\\(*a\\)", false, false, "*a", true},
    {"^*a", false, false, "*a", true},
    {"\\<*a", false, false, "*a", false},
    {"a\\|^b", false, false, "b", true},
    {"b\\(^a\\)", false, false, "ba", false, true},
    {"a^b", false, false, "a^b", true},
    {"a$b", false, false, "a$b", true},
    {"a$\\|c", false, false, "a", true},
    {"\\+x", false, false, "+x", true},
    {"x\\+", false, false, "xx", true},
    {"x\\{2\\}", false, false, "x", false},
    {"x\\{,2\\}y", false, false, "y", true},
    {"\\(\\`x\\)\\{1,2\\}Y", false, false, "xxY", true, true},
    // Extended syntax.
    {"a{,2}b", true, false, "b", true},
    {"a{2}{3}", true, false, "aaaaa", false},
    {"a{2}{3}", true, false, "aaaaaa", true},
    {"a)", true, false, "a)", true},
    {"a\\|b", true, false, "a|b", true},
    {"\\n", true, false, "n", true},
    {"(^|x)y", true, false, "zy", false},
    // Bracket expressions.
    {"[]a]", false, false, "]", true},
    {"[^]a]", false, false, "]", false},
    {"[^]a]", false, false, "b", true},
    {"[a-]", false, false, "-", true},
    {"[[=e=]]", false, false, "e", true},
    {"[[.-.]z]", false, false, "-", true},
    {"[^x]", false, false, "\n", true},
    // Escapes and classes, byte semantics.
    {"\\s", false, false, "\v", true},
    {"\\w", false, false, "_", true},
    {"\\W", false, false, "\xe9", true},
    {"a.b", false, false, "a\nb", true},
    {"x\\'", true, false, "x", true},
    {"\\`x", true, false, "yx", false},
    {"\\<viagra\\>", true, true, "Buy VIAGRA now", true},
    {"\\<viagra\\>", true, true, "viagras", false},
    {"\\<[a-z]+\\>", true, false, "--ab--", true},
    {"\\<-", true, false, "a-b", false},
    {"\\bfoo\\B", true, false, "a foox", true},
    // A NUL ends the text.
    {"cd", false, false, std::string("ab\0cd", 5), false},
    {"b$", false, false, std::string("ab\0cd", 5), true},
    // A rule anchored on a field name meets only lines of that field, its name's letters folded;
    // "^Field:.*rest" is matched as rest anywhere after the name.
    {"^Subject:.*free", true, true, "SUBJECT: FREE", true},
    {"^Subject:.*free", true, false, "subject: free", false},
    {"^[Ss]ubject:.*free", true, false, "subject:free", true},
    {"^Subject::.*free", true, false, "Subject: free", false},
    {"^Subject::.*free", true, false, "Subject::free", true},
    {"^Subject:.*", true, false, "Subject:", true},
    {"^Subject:.*e$", true, false, "Subject: free", true},
    {"^Subject:a.*\\Bfree", true, false, "Subject:afree", true},
    {"^Subject:.*\\<free", true, false, "Subject:afree", false},
    {"^Subject:", false, false, std::string("Subj\0ect:", 9), false},
    {"^X-Spam-Flag: YES", true, true, "x-spam-flag: yes", true},
    {"^X-Spam-Flag: YES", true, false, "x-spam-flag: YES", false},
    // What the C library alone can answer.
    {"\n^R", true, false, "x\nR", true, true},
    {"x$\n", true, false, "x\nR", true, true},
    {"\\<(a|-)", true, false, "-", false, true},
    {"\\(a\\)\\1", false, false, "aa", true, true},
    {"a{1001}", true, false, "a", false, true},
    // A word assertion in the copies the C library writes out for a count or "+" goes unchecked;
    // "*" and "?" reuse the group itself, where it holds.
    {"(\\bfree\\b.*){2}", true, false, "Subject: free freedom", true, true},
    {"(\\bcash\\b[^a-z]*){2,}", true, false, "Subject: cash cashback", true, true},
    {"^\\(x\\>\\)\\{2\\}$", false, false, "xx", true, true},
    {"^a(\\Bx.)+$", true, false, "ax x.", true, true},
    {"((\\bx)*y){2}", true, false, "xxyxy", true, true},
    {"^a(\\Bx.)*$", true, false, "ax x.", false},
    {"^(\\bx)*$", true, false, "xx", false},
    {"^(\\<x)?x$", true, false, "xx", true},
    {"^(x\\b){1}(\\bx)", true, false, "xx", false},
};

TEST(PosixTranslationTest, SameAnswerAsTheCLibrary) {
  Settings& settings = Settings::instance();
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.expression) + (c.extended ? " extended" : " basic") +
                 (c.icase ? " nocase" : " case") + " on " + testing::PrintToString(c.text));
    settings.setRegType(c.extended ? "extended" : "basic");
    FilterRule rule(c.expression, c.icase ? REG_ICASE : 0, false);
    ASSERT_EQ(rule.compile(Settings::instance().regType()), 0);
    EXPECT_EQ(rule.matches(c.text), c.matches) << "the C library";
    EXPECT_EQ(!rule.fallbackReason().empty(), c.falls_back) << rule.fallbackReason();
    RuleMatcher matcher({&rule});
    std::vector<uint32_t> found;
    matcher.match(c.text, found);
    EXPECT_EQ(!found.empty(), c.matches)
        << "the rule matcher; translation " << testing::PrintToString(rule.translation());
  }
  settings.resetForTesting();
}

TEST(PosixTranslationTest, RefusesWhatCannotBeMatchedSafely) {
  struct Refusal {
    const char* expression;
    bool extended;
    const char* reason;  // empty: accepted
  };
  const std::string long_alternation = [] {
    std::string text = "^From:.*@(";
    for (int i = 0; i < 800; ++i) text += "domain" + std::to_string(i) + "\\.example|";
    return text + "x)";
  }();
  const Refusal refusals[] = {
      {"(a*)\\1+*", true, "a repetition of a back-reference"},
      {"(a|b)\\1{2}", true, "a repetition of a back-reference"},
      {"((a)\\2)*x", true, "a repetition of a back-reference"},
      {"(a*)*\\1", true, "a back-reference to a group under a repetition"},
      {"\\(.*\\)\\(.*\\)\\2\\1", false, "several back-references to groups with repetitions"},
      {"((a{0,40}){0,40}){0,40}", true, "its repetitions expand to 65640 copies of its parts"},
      {"a{0,2002}", true, "its repetitions expand to 2002 copies of its parts"},
      // The C library expands while it reads, so an error further on does not save it.
      {"a{50}{50}{50}b{", true, "its repetitions expand to more than 124999 copies of its parts"},
      {"\\(a\\{50\\}\\)\\{50\\}\\(", false,
       "its repetitions expand to more than 2548 copies of its parts"},
      {"a{50}b{", true, ""},
      // Empty steps: repetitions of what takes no text, loops over what may match nothing, and
      // assertions in nested optional copies cost the C library's compile far more than their
      // number; each of these took it from a second to over a minute.
      {"(()*){2}", true, "a repetition of a part that takes no text"},
      {"(\\b(){20}){20}", true, "a repetition of a part that takes no text"},
      {"((b{0,3}()){2,40})+", true,
       "its unbounded repetitions of parts that may match nothing weigh 40401"},
      {"\\(\\(a\\{0,30\\}\\)*\\)\\{30\\}", false,
       "its unbounded repetitions of parts that may match nothing weigh 28830"},
      {"\\(\\(a*\\)*\\)\\{300\\}", false, ""},
      {"(x|\\b){2,19}", true,
       "its optional repetitions put 17 copies of assertions on paths that match nothing"},
      {"(y*|\\b\\b){2,30}", true,
       "its optional repetitions put 56 copies of assertions on paths that match nothing"},
      {"(x|\\b){2,18}", true, ""},
      {"(\\bword\\b\\s*){1,5}", true, ""},
      {"(^|,)x*", true, ""},
      {"(x*y*){500}", true, ""},
      {"((xy)*){400}", true, ""},
      // Stacked repetitions make the C library's compiler itself explode, even where the rest of
      // the expression would keep the C library's matcher.
      {"a*?++++++++++", true, "more than 3 repetition operators in a row"},
      {"\\'x*?+++&\\", true, "more than 3 repetition operators in a row"},
      {"a*\\+\\?\\{2\\}*", false, "more than 3 repetition operators in a row"},
      {"a*?+", true, ""},
      {"[+*?{]{4}x+", true, ""},
      {"\\+\\+\\+\\+", true, ""},
      {"(a*)\\1", true, ""},
      {"(a)\\1(b)\\2", true, ""},
      {"(a{0,40}){0,40}", true, ""},
      {"[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}", true, ""},
      {long_alternation.c_str(), true, ""},
  };
  for (const Refusal& r : refusals) {
    EXPECT_EQ(translatePosix(r.expression, r.extended, false).refusal, r.reason) << r.expression;
  }
  const std::string deep = std::string(300, '(') + "a" + std::string(300, ')');
  EXPECT_EQ(translatePosix(deep, true, false).refusal, "groups nested more than 200 deep");
}

TEST(PosixTranslationTest, CompileNamesARefusedRuleAndListsTheFallbackRules) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setRegType("extended");
  settings.addAllow("allow", "=", "^From: (ann|bob)\\1");
  settings.addDeny("deny", "=", "^Subject: free");
  settings.addScore("score", 5, "=", "x{1500}");
  ASSERT_EQ(compileRules(), 0);
  const std::vector<FallbackRule> kept = fallbackRules();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].list, "allow");
  EXPECT_EQ(kept[0].position, 1u);
  EXPECT_EQ(kept[0].reason, "a back-reference");
  EXPECT_EQ(kept[1].list, "score");
  EXPECT_EQ(kept[1].expression, "x{1500}");
  EXPECT_EQ(kept[1].reason, "a repetition count above 1000");

  settings.addDeny("deny", "=", "(a*)\\1+*");
  testing::internal::CaptureStderr();
  EXPECT_NE(compileRules(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Error: The rule \"(a*)\\1+*\" cannot be matched safely: a repetition of "
            "a back-reference.\n"
            "pollensift: Error: Could not compile regular expression (deny).\n"
            "pollensift: The deny rule \"(a*)\\1+*\" cannot be matched safely: a repetition of "
            "a back-reference.\n");
  settings.resetForTesting();
}

// A start anchor before one of several spelled-out names gives the rule each of their fields, with
// a head for each when the rule is split at ".*"; and a literal inside a group of one branch or a
// repetition of one copy at least is every match's as well, so that it may stand for the rule.
TEST(PosixTranslationTest, FieldsOfSeveralNamesAndLiteralsInsideGroups) {
  struct Expected {
    const char* expression;
    bool extended;
    bool icase;
    std::vector<std::string> fields;  // of several names; empty for one field or none
    std::string field;
    bool split;
    std::string literal;
  };
  const std::vector<Expected> cases = {
      {"^(Subject|From|To):.*abc{2,3}", true, false, {"SUBJECT:", "FROM:", "TO:"}, "", true, "AB"},
      {"^\\(Subject\\|To\\):.*x", false, true, {"SUBJECT:", "TO:"}, "", true, "X"},
      {"^(Re|Sub)ject: x", true, false, {"REJECT:", "SUBJECT:"}, "", false, "JECT: X"},
      {"^(Subject):.*x", true, false, {"SUBJECT:"}, "", true, "X"},
      {"^(subject|SUBJECT):.*x", true, false, {}, "", false, ":"},
      {"^(To:|From):.*x", true, false, {}, "", false, ":"},
      {"^(X-[a-z]*|To):.*x", true, false, {}, "", false, ":"},
      {"^(Subject|To)+:.*x", true, false, {}, "", false, ":"},
      {"^(Subject|To):.*\\<x", true, false, {"SUBJECT:", "TO:"}, "", false, ":"},
      {"^Subject:.*(free[ !]*){2,4}", true, false, {}, "SUBJECT:", true, "FREE"},
      {"^Subject:.*(free[ !]*){0,4}", true, false, {}, "SUBJECT:", true, ""},
      {"^Subject:.*(free|cash){2}", true, false, {}, "SUBJECT:", true, ""},
      {"x((money)+)y", true, false, {}, "", false, "MONEY"},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.expression);
    const PosixTranslation t = translatePosix(c.expression, c.extended, c.icase);
    ASSERT_TRUE(t.fallback.empty()) << t.fallback;
    std::vector<std::string> names;
    bool heads = !t.fields.empty();
    for (const auto& [name, head] : t.fields) {
      names.push_back(name);
      heads &= !head.empty();
    }
    EXPECT_EQ(names, c.fields);
    EXPECT_EQ(t.field, c.field);
    EXPECT_EQ(c.fields.empty() ? !t.head.empty() : heads, c.split);
    EXPECT_EQ(!t.rest.empty(), c.split);
    EXPECT_EQ(t.literal, c.literal);
  }
}

}  // namespace
