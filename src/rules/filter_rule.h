#pragma once

#include <regex.h>

#include <atomic>
#include <string>
#include <vector>

#include "rules/posix_translation.h"

// One compiled POSIX regular-expression rule of the rc file. It owns its compiled pattern and
// frees it exactly once; rules can be moved but not copied.
class FilterRule {
 public:
  FilterRule(std::string expression, int cflags, bool negated);
  FilterRule(FilterRule&& other) noexcept;
  FilterRule& operator=(FilterRule&& other) noexcept;
  FilterRule(const FilterRule&) = delete;
  FilterRule& operator=(const FilterRule&) = delete;
  ~FilterRule();

  // Compiles with the rule's case flag and syntax (REG_EXTENDED or 0, as REG_TYPE says), and
  // translates it for the multi-pattern engine; prints the library's message on failure, or why
  // the rule cannot be matched safely. Returns 0 or an error code.
  int compile(int syntax);
  // What compile does without printing: 0 or the error code for reportError. A rule whose
  // compile must first be tried in a child process is left for compile() (kLeftForCompile)
  // unless trials is true. May run for different rules on different threads at once.
  static constexpr int kLeftForCompile = -1;
  int compileQuietly(int syntax, bool trials);
  // Prints what compile prints for the error code compileQuietly gave.
  void reportError(int code) const;

  // True when the compiled pattern matches anywhere in text; any matcher error counts as no match.
  bool matches(const std::string& text) const;
  // The same for text[0, length) with NUL bytes taken as text (REG_STARTEND).
  bool matchesRange(const std::string& text, size_t length) const;
  // Whether the rule matches the empty text, as compile found it.
  bool matchesEmpty() const { return matches_empty_; }
  // For a positive rule whose compile was asked to look (lookForOrdinaryLines): the first line of
  // an ordinary header (ordinaryHeaderLines) that it matches; null when it matches none or was
  // not looked at. Such a deny rule would condemn nearly every message. The look costs as much as
  // the compile itself, so only the rules that could condemn on their own are looked at.
  const char* ordinaryLineMatched() const { return ordinary_line_; }
  void lookForOrdinaryLines(bool on) { look_for_ordinary_ = on; }

  // The flags of the last successful compile (syntax | case): what the pattern really is, even
  // if the configured syntax changed afterwards.
  int compileFlags() const { return compile_flags_; }

  // Counts compiles of any rule in this process: whatever is derived from compiled rules is
  // stale once it changes.
  static unsigned long compilations();

  // The expression in the engine's syntax, and why the C library's matcher must keep the rule
  // instead (empty when the engine takes it); both set by compile.
  const std::string& translation() const { return translated_.pattern; }
  const std::string& fallbackReason() const { return translated_.fallback; }
  // All the engine needs of it: the translation and the field and split it allows.
  const PosixTranslation& translated() const { return translated_; }
  // Why the last compile refused the rule as unsafe to match; empty when it did not.
  const std::string& refusal() const { return refusal_; }

  const std::string& expression() const { return expression_; }
  // The C library's compiled pattern. A rule the engine takes does not keep it after compile (ten
  // thousand of them held 80 MB, and touching that memory was most of the start-up): it is
  // compiled again when first needed here.
  const regex_t& pattern() const;
  int cflags() const { return cflags_; }
  bool negated() const { return negated_; }
  bool compiled() const { return compiled_; }
  // Whether the compiled pattern is held now (false until pattern() needs it again, for a rule
  // the engine takes).
  bool holdsPattern() const { return held_.load(std::memory_order_acquire); }
  // Where the rule stands in the rc file ("line 5 of your main rcfile '...'"), for messages.
  const std::string& place() const { return place_; }
  void setPlace(std::string place) { place_ = std::move(place); }
  // Rises with each rule made, so the three lists can be shown merged in the order they were read.
  unsigned long sequence() const { return sequence_; }

 private:
  void release();
  // Compiles pattern_ again if compile dropped it; whether it is held.
  bool holdPattern() const;
  // Prints why the rule is refused (refusal_).
  void refused() const;

  std::string expression_;
  PosixTranslation translated_;
  std::string refusal_;
  mutable regex_t pattern_{};
  // Whether pattern_ holds a compiled pattern: set by compile and by pattern(), possibly on the
  // thread that matches while another reads it.
  mutable std::atomic<bool> held_{false};
  int cflags_;
  bool negated_;
  bool compiled_ = false;
  bool matches_empty_ = false;
  const char* ordinary_line_ = nullptr;
  bool look_for_ordinary_ = false;
  int compile_flags_ = 0;
  std::string place_;
  unsigned long sequence_;
};

// A small neutral header: common fields with plain values, as nearly every wanted message has
// them, one "Name: value" line each as the rules see them.
const std::vector<const char*>& ordinaryHeaderLines();

class ScoreRule : public FilterRule {
 public:
  ScoreRule(std::string expression, int cflags, bool negated, int score)
      : FilterRule(std::move(expression), cflags, negated), score_(score) {}
  int score() const { return score_; }

 private:
  int score_;
};

// The three lists of a run, in the order their rules are matched. Their owner (the settings)
// keeps them; the rule engine compiles and reads them.
struct RuleLists {
  std::vector<FilterRule>* allow = nullptr;
  std::vector<FilterRule>* deny = nullptr;
  std::vector<ScoreRule>* score = nullptr;
};
