#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "rules/filter_rule.h"

// All rules of a run, in one order (allow, deny, score), matched against a text in one linear
// scan by a multi-pattern engine; the few rules it cannot take keep the C library's matcher, on
// at most kFallbackLineBytes of the text. Rules that can only match lines of one field are kept
// apart by field, so a line meets just the rules of its own field and those of any field (a rule
// that starts with one of several field names, "^(Subject|From|To):", is kept with each). Where
// there are many rules with counted repetitions ("{m,n}") that may start at any byte, those that
// demand some literal text are matched in small sets of their own, and only on texts that hold
// the literal of one of their rules: in one big set, each keeps many states of its own alive at
// every byte, and thousands of them build a new, huge automaton state at nearly every byte. For
// the same reason many rules with counted repetitions get sets apart from the other rules.
class RuleMatcher {
 public:
  explicit RuleMatcher(std::vector<const FilterRule*> rules);
  ~RuleMatcher();
  RuleMatcher(const RuleMatcher&) = delete;
  RuleMatcher& operator=(const RuleMatcher&) = delete;

  // The positions of the rules that match text (up to its first NUL), ascending; out is
  // overwritten.
  void match(const std::string& text, std::vector<uint32_t>& out);

  // What match() gives for each of several texts, kept in one list: a header may have hundreds
  // of thousands of lines, and a list for each would cost more than the lines themselves.
  struct EachMatch {
    std::vector<uint32_t> rules;
    std::vector<size_t> ends;  // the rules of text i end at ends[i] and start where i - 1's end
    std::span<const uint32_t> of(size_t i) const {
      const size_t from = i == 0 ? 0 : ends[i - 1];
      return {rules.data() + from, ends[i] - from};
    }
  };
  // What match() gives for each of texts, out.of(i) for texts[i]. The texts are first searched
  // together, once, by the sets of rules of any field: a set that matches none of them is not
  // asked again for each.
  void matchEach(const std::vector<std::string>& texts, EachMatch& out);

  // Differs between any two matchers of a process: what is derived from one is stale when
  // compiledRuleMatcher() returns another.
  unsigned long generation() const { return generation_; }

  // Whether rule i is matched on its own where a text holds its literals, not in a set.
  bool matchedOnItsOwn(size_t i) const;

  // Compiles what is otherwise compiled when first needed, so that fallbackReason() knows every
  // rule.
  void buildEverything();

  // Why rule i keeps the C library's matcher; empty when the engine matches it (known of every
  // rule once buildEverything() has run).
  const std::string& fallbackReason(size_t i) const { return reasons_[i]; }

 private:
  struct Chunk;
  using Chunks = std::vector<std::unique_ptr<Chunk>>;
  struct Field;
  struct Heavy;
  enum class Form { kWhole, kAnchored, kRest };
  // Compiles rules into sets appended to into; rules the engine rejects go to fallback (with
  // their reasons). Builds of different chunks may run on different threads at once.
  void build(const std::vector<uint32_t>& rules, Form form, Chunks& into,
             std::vector<uint32_t>& fallback);
  struct BuildJob {
    std::vector<uint32_t> rules;
    Form form;
    Chunks* into;  // where built goes once every job is done: jobs may share it
    std::vector<uint32_t> fallback;
    Chunks built;
  };
  void buildOnTwoThreads(std::vector<BuildJob>& jobs);
  std::vector<uint32_t> routeHeavy(std::vector<uint32_t> candidates, Form form,
                                   std::unique_ptr<Heavy>& into);
  void buildGroup(Heavy& heavy, size_t g);
  void matchHeavy(Heavy& heavy, const std::string& text, size_t length,
                  std::vector<uint32_t>& out);
  void matchOne(const std::string& text, const std::vector<char>* skip,
                std::vector<uint32_t>& out);
  void buildJoined();
  void sortFallback();
  void scan(const Chunks& chunks, const std::string& text, size_t from, size_t length,
            std::vector<uint32_t>& out);
  // The rules of chunk that match text[from, length).
  void scanChunk(const Chunk& chunk, const std::string& text, size_t from, size_t length,
                 std::vector<uint32_t>& out);

  std::vector<const FilterRule*> rules_;
  std::vector<std::string> reasons_;
  Chunks anywhere_;                                // rules of lines of any field
  std::string joined_text_;  // the texts of matchEach(), each up to its first NUL, joined by "\n"
  std::vector<char> skipped_;  // of each chunk of anywhere_, whether it matches none of the texts
  std::unordered_map<std::string, Field> fields_;  // by the fields their rules demand
  size_t longest_field_ = 0;
  std::vector<uint32_t> fallback_;
  std::vector<int> found_;
  std::vector<uint32_t> split_found_;
  std::vector<char> heads_matched_;
  std::unique_ptr<Heavy> heavy_;  // rules of any field matched on their own; may be null
  std::vector<Heavy*> heavies_;   // heavy_ and those of the fields
  std::vector<char> own_;         // whether each rule is matched on its own; empty when none is
  unsigned long generation_;
};

// A rule the C library's matcher keeps sees at most this much of each text: its cost grows
// with the square of the length, or worse with back-references, and a hostile header must not
// stall a run.
inline constexpr size_t kFallbackLineBytes = 2048;

// The rules that keep the C library's matcher, for the start-up trace and --check.
struct FallbackRule {
  std::string list;  // "allow", "deny" or "score"
  size_t position;   // in its list, from 1
  std::string expression;
  std::string reason;
};
std::vector<FallbackRule> fallbackRules();

// The lists the matcher below is made of: those compileRuleLists was given last.
void setMatchedRuleLists(const RuleLists& lists);

// The matcher of the rules compiled last (rebuilt when rules were compiled since). Waits for a
// build begun in the background; what that build threw is thrown here.
RuleMatcher& compiledRuleMatcher();

// Begins building the matcher of the rules as they are now on another thread, so that it takes
// no time of its own before the first server is contacted. Until compiledRuleMatcher() is called,
// the rules and their lists must not change; the build is waited for at exit.
void buildRuleMatcherInBackground();

// Begins the build in the background unless the matcher of the rules as they are now is built or
// being built: called where messages are about to be judged, it overlaps the build with the
// dialogue that comes first.
void prepareRuleMatcher();

// Waits for a build begun in the background, keeping what it built while it is still current:
// rules may be compiled again once it returns.
void awaitRuleMatcherBuild();
