#include "rules/rule_matcher.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstring>
#include <exception>
#include <map>
#include <system_error>
#include <thread>
#include <utility>

#include "rules/filter_rule.h"

struct RuleMatcher::Chunk {
  Chunk(const RE2::Options& options, RE2::Anchor anchor) : set(options, anchor) {}
  RE2::Set set;
  std::vector<uint32_t> rules;  // the rule of each pattern of the set
  // For a chunk of rules of any field, its patterns as they match in texts joined by newlines:
  // each anchor of the text's start or end made one of a line's, and no newline matched, so that
  // where no text holds a newline the joined texts match exactly when one of them does. Null
  // where there is none.
  std::unique_ptr<RE2::Set> joined;
};

// Rules matched apart from the sets, in small sets of their own, each only where a text holds the
// literal of one of its rules. The literals (ASCII letters lower-cased, as the texts are for this)
// are found in one scan of a set of plain strings, whose states stay few whatever the rules.
struct RuleMatcher::Heavy {
  // The sets of each group of rules, compiled when a text first holds one of the group's
  // literals: most literals of a long block list never turn up, and compiling sets of such rules
  // costs more than all else the matcher is built of.
  struct Group {
    std::vector<uint32_t> rules;
    bool built = false;
    Chunks chunks;
  };
  Form form;
  std::vector<Group> groups;
  std::unique_ptr<RE2::Set> literals;
  std::vector<std::vector<uint32_t>> groups_of;  // the groups to run for each literal
  std::string lowered;
  std::vector<int> found_literals;
  std::vector<char> chosen;  // of each group, whether this text runs it
  // Shorter literals are too common to spare any work.
  static constexpr size_t kMinLiteral = 3;
  // Rules of one group: few enough that its sets' states stay small, many enough to share the
  // cost of compiling a set.
  static constexpr size_t kGroupRules = 16;
};

// The rules that can only match lines of one field. Most are "^Field:.*rest": matching each
// rest after its head in one unanchored scan keeps the engine's states small, where the same
// rules whole would each keep a ".*" of their own alive in every state.
struct RuleMatcher::Field {
  // The rests of all heads of one length are scanned together, once: a line mostly has all of
  // them ("Subject:" and "[Ss][Uu][Bb]..." both), and a rule whose own head it lacks is dropped.
  struct Split {
    size_t length = 0;
    std::vector<std::string> heads;  // as PosixTranslation::head
    std::unordered_map<uint32_t, uint32_t> head_of;  // of each rule, its head among heads
    Chunks rests;
  };
  Chunks anchored;               // whole patterns, each starting with a start anchor
  // Rules that are a start anchor and bytes alone ("^Received:"), as heads: compared byte by
  // byte, which spares a line the set-up of a search.
  std::vector<std::pair<std::string, uint32_t>> prefixes;
  std::vector<Split> splits;     // one for each length of heads
  std::unique_ptr<Heavy> heavy;  // rules of the field matched on their own; may be null
};

namespace {

// Fewer rules with repetitions than this cost a set little: they all stay there.
constexpr size_t kMinHeavyRules = 16;

// Compiled programs and the lazily built automaton share this; a set that needs more is split.
constexpr int64_t kEngineMemory = int64_t{256} << 20;

RE2::Options engineOptions() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);  // one byte, one character
  options.set_case_sensitive(true);                    // the translation spells out case
  options.set_never_capture(true);
  options.set_log_errors(false);
  options.set_max_mem(kEngineMemory);
  return options;
}

bool fallbackMatches(const FilterRule& rule, const std::string& text, size_t length) {
  return rule.matchesRange(text, std::min(length, kFallbackLineBytes));
}

// Whether a translation holds a repetition of at least two copies ("{2,5}", "{3,}", "{4}"),
// beyond the "\x{hh}" by which it writes bytes and the "{0,}", "{1,}", "{0,1}" it writes for
// "*", "+" and "?", which a set keeps as small loops.
bool hasCountedRepetition(const std::string& pattern) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '\\') {
      ++i;
      if (i + 1 < pattern.size() && pattern[i] == 'x' && pattern[i + 1] == '{') {
        i = pattern.find('}', i);
        if (i == std::string::npos) return false;
      }
    } else if (pattern[i] == '{') {
      // The translation writes bounds as plain decimal numbers, nothing else after a "{".
      long bounds[2] = {0, -1};
      int k = 0;
      for (++i; i < pattern.size() && pattern[i] != '}'; ++i) {
        if (pattern[i] == ',') {
          k = 1;
        } else {
          if (bounds[k] < 0) bounds[k] = 0;
          bounds[k] = std::min(bounds[k] * 10 + (pattern[i] - '0'), 1000L);
        }
      }
      if (k == 0) bounds[1] = bounds[0];
      if (bounds[0] >= 2 || bounds[1] >= 2) return true;
    }
  }
  return false;
}

// Whether the literal bytes a repetition stands behind make it start seldom enough for a set to
// keep it cheap: a common byte (a letter, a digit, a blank, ".", ":" or "-", each above 1% of the
// bytes of header lines in a public corpus of 6,046 messages) weighs 1, any other 3, and 3 are
// enough. Judging those messages with 2,500 rules "^From:.*X[a-z0-9._-]{4,16}@..." among 10,000
// took 4.4 times as long with them in the sets as apart behind the letter "e", twice as long
// behind a blank; 2,500 rules "^Received:.*\[[0-9]{1,3}\.K\...." cost less in a set than apart.
bool selectiveLead(const std::string& lead) {
  int weight = 0;
  for (const char c : lead) {
    const bool common = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == ' ' || c == '\t' || c == '.' || c == ':' ||
                        c == '-';
    weight += common ? 1 : 3;
  }
  return weight >= 3;
}

// Whether a scan tries the rule (its rest when split) at every byte: an anchored rule's repetitions
// start once, at the start.
bool startsAnywhere(const PosixTranslation& translated) {
  return !translated.rest.empty() || translated.pattern.rfind("\\A", 0) != 0;
}

std::string literalPattern(const std::string& literal) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : literal) {
    const auto b = static_cast<unsigned char>(c);
    out += {'\\', 'x', '{', kHex[b >> 4], kHex[b & 15], '}'};
  }
  return out;
}

// pattern with each anchor of the text's start or end ("\\A", "\\z") made one of a line's start or
// end. Beside a line of the joined texts stands a newline, which, like the text's edge, is no word
// byte: the word assertions keep their answers.
std::string lineAnchored(const std::string& pattern) {
  std::string out;
  out.reserve(pattern.size() + 16);
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '\\' || i + 1 == pattern.size()) {
      out += pattern[i];
    } else if (pattern[i + 1] == 'A' || pattern[i + 1] == 'z') {
      out += pattern[i + 1] == 'A' ? "(?m:^)" : "(?m:$)";
      ++i;
    } else {
      out.append(pattern, i, 2);  // an escaped byte: never the start of an anchor
      ++i;
    }
  }
  return out;
}

// The bytes of a translation that is a start anchor and nothing but bytes, each one byte or a
// letter in both cases, as PosixTranslation::head writes them (two for each); empty for any
// other.
std::string prefixHead(const std::string& pattern) {
  if (pattern.rfind("\\A", 0) != 0 || pattern.size() == 2) return {};
  std::string head;
  for (size_t i = 2; i < pattern.size();) {
    const char c = pattern[i];
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      head += {c, c};
      i += 1;
    } else if (c == '\\' && pattern.compare(i, 3, "\\x{") == 0 && i + 5 < pattern.size() &&
               pattern[i + 5] == '}' && std::isxdigit(static_cast<unsigned char>(pattern[i + 3])) &&
               std::isxdigit(static_cast<unsigned char>(pattern[i + 4]))) {
      const auto b = static_cast<char>(std::stoi(pattern.substr(i + 3, 2), nullptr, 16));
      head += {b, b};
      i += 6;
    } else if (c == '[' && i + 3 < pattern.size() && pattern[i + 3] == ']' &&
               pattern[i + 1] >= 'A' && pattern[i + 1] <= 'Z' &&
               pattern[i + 2] == pattern[i + 1] - 'A' + 'a') {
      head += {pattern[i + 1], pattern[i + 2]};
      i += 4;
    } else {
      return {};
    }
  }
  return head;
}

// The fields whose lines alone a rule can match, each with its head when the rule is split: one,
// several ("^(Subject|From|To):"), or none for a rule of any field.
std::vector<std::pair<std::string, std::string>> fieldsOf(const PosixTranslation& translated) {
  if (!translated.field.empty()) return {{translated.field, translated.head}};
  return translated.fields;
}

bool startsWithHead(const std::string& text, size_t length, const std::string& head) {
  if (length < head.size() / 2) return false;
  for (size_t i = 0; i < head.size() / 2; ++i) {
    if (text[i] != head[2 * i] && text[i] != head[2 * i + 1]) return false;
  }
  return true;
}

}  // namespace

RuleMatcher::RuleMatcher(std::vector<const FilterRule*> rules)
    : rules_(std::move(rules)), reasons_(rules_.size()) {
  static std::atomic<unsigned long> generations = 0;  // matchers may be built by another thread
  generation_ = ++generations;
  std::vector<uint32_t> anywhere;
  std::unordered_map<std::string, std::vector<uint32_t>> anchored;
  std::map<std::pair<std::string, std::string>, std::vector<uint32_t>> split;  // field, head
  std::vector<uint32_t> heavy;
  std::vector<uint32_t> in_sets;
  for (uint32_t i = 0; i < rules_.size(); ++i) {
    const FilterRule& rule = *rules_[i];
    if (!rule.compiled()) continue;  // matches nothing, as its pattern would
    const PosixTranslation& translated = rule.translated();
    if (!translated.fallback.empty()) {
      reasons_[i] = translated.fallback;
      fallback_.push_back(i);
    } else if (startsAnywhere(translated) &&
               hasCountedRepetition(translated.rest.empty() ? translated.pattern
                                                            : translated.rest) &&
               !selectiveLead(translated.lead)) {
      heavy.push_back(i);
    } else {
      in_sets.push_back(i);
    }
  }
  if (heavy.size() < kMinHeavyRules) {
    in_sets.insert(in_sets.end(), heavy.begin(), heavy.end());
  } else {
    own_.assign(rules_.size(), 0);
    std::map<std::string, std::vector<uint32_t>> heavy_by_field;  // "" for rules of any field
    for (const uint32_t i : heavy) {
      const auto fields = fieldsOf(rules_[i]->translated());
      if (fields.empty()) heavy_by_field[""].push_back(i);
      for (const auto& field : fields) heavy_by_field[field.first].push_back(i);
    }
    for (auto& [field, list] : heavy_by_field) {
      std::unique_ptr<Heavy>& into = field.empty() ? heavy_ : fields_[field].heavy;
      const Form form = field.empty() ? Form::kWhole : Form::kAnchored;
      for (const uint32_t i : routeHeavy(std::move(list), form, into)) in_sets.push_back(i);
      if (into) heavies_.push_back(into.get());
    }
  }
  // A rule of several fields comes back once from each that did not take it.
  std::sort(in_sets.begin(), in_sets.end());
  in_sets.erase(std::unique(in_sets.begin(), in_sets.end()), in_sets.end());
  for (const uint32_t i : in_sets) {
    const PosixTranslation& translated = rules_[i]->translated();
    const auto fields = fieldsOf(translated);
    if (fields.empty()) anywhere.push_back(i);
    for (const auto& [field, head] : fields) {
      if (!head.empty()) {
        split[{field, head}].push_back(i);
      } else if (std::string prefix = prefixHead(translated.pattern); !prefix.empty()) {
        fields_[field].prefixes.emplace_back(std::move(prefix), i);
      } else {
        anchored[field].push_back(i);
      }
    }
  }
  std::vector<BuildJob> jobs;
  jobs.push_back({std::move(anywhere), Form::kWhole, &anywhere_, {}, {}});
  for (auto& [field, list] : anchored)
    jobs.push_back({std::move(list), Form::kAnchored, &fields_[field].anchored, {}, {}});
  std::map<std::pair<std::string, size_t>, std::vector<uint32_t>> by_length;  // field, length
  for (const auto& [key, list] : split) {
    const size_t length = key.second.size() / 2;
    std::vector<Field::Split>& splits = fields_[key.first].splits;
    auto it = std::find_if(splits.begin(), splits.end(),
                           [&](const Field::Split& s) { return s.length == length; });
    if (it == splits.end()) it = splits.insert(splits.end(), Field::Split{length, {}, {}});
    for (const uint32_t rule : list) it->head_of[rule] = static_cast<uint32_t>(it->heads.size());
    it->heads.push_back(key.second);
    std::vector<uint32_t>& rules = by_length[{key.first, length}];
    rules.insert(rules.end(), list.begin(), list.end());
  }
  // Every split is in place now: the jobs may point into the lists of them.
  for (auto& [key, list] : by_length) {
    std::sort(list.begin(), list.end());
    for (Field::Split& s : fields_[key.first].splits) {
      if (s.length == key.second) jobs.push_back({std::move(list), Form::kRest, &s.rests, {}, {}});
    }
  }
  buildOnTwoThreads(jobs);
  buildJoined();
  for (const auto& [field, rules] : fields_)
    longest_field_ = std::max(longest_field_, field.size());
  std::sort(fallback_.begin(), fallback_.end());
}

RuleMatcher::~RuleMatcher() = default;

// Takes the rules among candidates whose every match holds a literal of some length; returns the
// others, for the sets.
std::vector<uint32_t> RuleMatcher::routeHeavy(std::vector<uint32_t> candidates, Form form,
                                              std::unique_ptr<Heavy>& into) {
  std::vector<std::pair<std::string, uint32_t>> taken;  // lower-cased literal, rule
  std::vector<uint32_t> rest;
  for (const uint32_t i : candidates) {
    std::string literal = rules_[i]->translated().literal;
    if (literal.size() < Heavy::kMinLiteral) {
      rest.push_back(i);
      continue;
    }
    for (char& c : literal) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    taken.emplace_back(std::move(literal), i);
  }
  if (taken.empty()) return rest;
  // Rules of one literal share chunks, so that a literal mostly runs one.
  std::sort(taken.begin(), taken.end());
  auto heavy = std::make_unique<Heavy>();
  heavy->literals = std::make_unique<RE2::Set>(engineOptions(), RE2::UNANCHORED);
  std::vector<std::string> literals;
  for (const auto& [literal, rule] : taken) {
    if (!literals.empty() && literals.back() == literal) continue;
    literals.push_back(literal);
    if (heavy->literals->Add(literalPattern(literal), nullptr) < 0) return candidates;
  }
  if (!heavy->literals->Compile()) return candidates;
  heavy->form = form;
  heavy->groups_of.resize(literals.size());
  size_t literal = 0;
  for (size_t k = 0; k < taken.size(); ++k) {
    if (k % Heavy::kGroupRules == 0) heavy->groups.emplace_back();
    const auto group = static_cast<uint32_t>(heavy->groups.size() - 1);
    heavy->groups.back().rules.push_back(taken[k].second);
    own_[taken[k].second] = 1;
    if (taken[k].first != literals[literal]) ++literal;
    std::vector<uint32_t>& list = heavy->groups_of[literal];
    if (list.empty() || list.back() != group) list.push_back(group);
  }
  heavy->chosen.assign(heavy->groups.size(), 0);
  into = std::move(heavy);
  return rest;
}

bool RuleMatcher::matchedOnItsOwn(size_t i) const {
  return i < own_.size() && own_[i] != 0;
}

void RuleMatcher::matchHeavy(Heavy& heavy, const std::string& text, size_t length,
                             std::vector<uint32_t>& out) {
  heavy.lowered.assign(text, 0, length);
  for (char& c : heavy.lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  heavy.found_literals.clear();
  RE2::Set::ErrorInfo error{};
  if (!heavy.literals->Match(heavy.lowered, &heavy.found_literals, &error) &&
      error.kind != RE2::Set::kNoError) {
    // Out of memory for this text: every group runs.
    heavy.chosen.assign(heavy.groups.size(), 1);
  }
  for (const int literal : heavy.found_literals) {
    for (const uint32_t g : heavy.groups_of[static_cast<size_t>(literal)]) heavy.chosen[g] = 1;
  }
  for (size_t g = 0; g < heavy.groups.size(); ++g) {
    if (heavy.chosen[g] == 0) continue;
    heavy.chosen[g] = 0;
    buildGroup(heavy, g);
    for (const auto& chunk : heavy.groups[g].chunks) scanChunk(*chunk, text, 0, length, out);
  }
}

// A rule the engine rejects goes to the C library's matcher here, as in the sets; the lists
// of such rules are complete once buildEverything() has run.
void RuleMatcher::buildGroup(Heavy& heavy, size_t g) {
  Heavy::Group& group = heavy.groups[g];
  if (group.built) return;
  group.built = true;
  const size_t fallbacks = fallback_.size();
  build(group.rules, heavy.form, group.chunks, fallback_);
  if (fallback_.size() != fallbacks) std::sort(fallback_.begin(), fallback_.end());
}

void RuleMatcher::buildEverything() {
  for (Heavy* heavy : heavies_) {
    for (size_t g = 0; g < heavy->groups.size(); ++g) buildGroup(*heavy, g);
  }
}

// A joined set that cannot be made leaves its chunk asked line by line.
void RuleMatcher::buildJoined() {
  for (const auto& chunk : anywhere_) {
    RE2::Options options = engineOptions();
    options.set_never_nl(true);
    auto joined = std::make_unique<RE2::Set>(options, RE2::UNANCHORED);
    bool added = true;
    for (const uint32_t i : chunk->rules) {
      if (joined->Add(lineAnchored(rules_[i]->translated().pattern), nullptr) < 0) {
        added = false;
        break;
      }
    }
    if (added && joined->Compile()) chunk->joined = std::move(joined);
  }
}

// Compiling sets is most of what building the matcher costs, and each set stands alone: the
// largest jobs first, each taken by whichever of two threads is free.
void RuleMatcher::buildOnTwoThreads(std::vector<BuildJob>& jobs) {
  // Many rules with counted repetitions get sets of their own, apart from the other rules of
  // their job: in one set the automaton's states are made of both kinds' states at once, and
  // their number multiplies.
  const size_t planned = jobs.size();
  for (size_t k = 0; k < planned; ++k) {
    std::vector<uint32_t> counted, plain;
    for (const uint32_t i : jobs[k].rules) {
      const PosixTranslation& translated = rules_[i]->translated();
      const bool repeats = hasCountedRepetition(jobs[k].form == Form::kRest ? translated.rest
                                                                           : translated.pattern);
      (repeats ? counted : plain).push_back(i);
    }
    if (counted.size() < kMinHeavyRules || plain.empty()) continue;
    jobs[k].rules = std::move(plain);
    jobs.push_back({std::move(counted), jobs[k].form, jobs[k].into, {}, {}});
  }
  std::sort(jobs.begin(), jobs.end(),
            [](const BuildJob& a, const BuildJob& b) { return a.rules.size() > b.rules.size(); });
  std::atomic<size_t> next = 0;
  auto run = [&]() {
    for (size_t k = next++; k < jobs.size(); k = next++) {
      build(jobs[k].rules, jobs[k].form, jobs[k].built, jobs[k].fallback);
    }
  };
  std::thread second;
  if (jobs.size() > 1) {
    try {
      second = std::thread(run);
    } catch (const std::system_error&) {
      // No thread to be had: this one builds them all.
    }
  }
  run();
  if (second.joinable()) second.join();
  for (BuildJob& job : jobs) {
    fallback_.insert(fallback_.end(), job.fallback.begin(), job.fallback.end());
    for (auto& chunk : job.built) job.into->push_back(std::move(chunk));
  }
}

void RuleMatcher::build(const std::vector<uint32_t>& rules, Form form, Chunks& into,
                        std::vector<uint32_t>& fallback) {
  if (rules.empty()) return;
  // Anchored patterns start with a start anchor: a scan can stop where all have failed.
  auto chunk = std::make_unique<Chunk>(
      engineOptions(), form == Form::kAnchored ? RE2::ANCHOR_START : RE2::UNANCHORED);
  for (const uint32_t i : rules) {
    const PosixTranslation& translated = rules_[i]->translated();
    std::string error;
    if (chunk->set.Add(form == Form::kRest ? translated.rest : translated.pattern, &error) < 0) {
      reasons_[i] = "the engine rejects its translation (" + error + ")";
      fallback.push_back(i);
    } else {
      chunk->rules.push_back(i);
    }
  }
  if (chunk->rules.empty()) return;
  if (chunk->set.Compile()) {
    into.push_back(std::move(chunk));
    return;
  }
  if (chunk->rules.size() == 1) {
    reasons_[chunk->rules[0]] = "too large for the engine";
    fallback.push_back(chunk->rules[0]);
    return;
  }
  const auto middle = chunk->rules.begin() + static_cast<long>(chunk->rules.size() / 2);
  build(std::vector<uint32_t>(chunk->rules.begin(), middle), form, into, fallback);
  build(std::vector<uint32_t>(middle, chunk->rules.end()), form, into, fallback);
}

void RuleMatcher::match(const std::string& text, std::vector<uint32_t>& out) {
  out.clear();
  matchOne(text, nullptr, out);
}

void RuleMatcher::matchEach(const std::vector<std::string>& texts, EachMatch& out) {
  out.rules.clear();
  out.ends.clear();
  out.ends.reserve(texts.size());
  joined_text_.clear();
  // Sized at once: a header of many short lines would otherwise grow it by doubling, and hold
  // the old and the new copy at the same time.
  size_t total = texts.size();
  for (const std::string& text : texts) total += text.size();
  joined_text_.reserve(total);
  bool newline = false;
  for (size_t i = 0; i < texts.size() && !newline; ++i) {
    if (i > 0) joined_text_ += '\n';
    const size_t length = strnlen(texts[i].c_str(), texts[i].size());
    newline = std::memchr(texts[i].data(), '\n', length) != nullptr;
    joined_text_.append(texts[i].data(), length);
  }
  skipped_.assign(anywhere_.size(), 0);
  // A text's own newline would end a line of the joined texts early: each is asked on its own.
  for (size_t c = 0; c < anywhere_.size() && !newline; ++c) {
    const RE2::Set* joined = anywhere_[c]->joined.get();
    if (joined == nullptr) continue;
    RE2::Set::ErrorInfo error{};
    // Out of memory for the joined texts: each text is asked on its own.
    skipped_[c] = !joined->Match(joined_text_, nullptr, &error) && error.kind == RE2::Set::kNoError;
  }
  for (const std::string& text : texts) {
    matchOne(text, &skipped_, out.rules);
    out.ends.push_back(out.rules.size());
  }
}

void RuleMatcher::matchOne(const std::string& text, const std::vector<char>* skip,
                           std::vector<uint32_t>& out) {
  const size_t start = out.size();  // what is before is other texts'
  const size_t length = strnlen(text.c_str(), text.size());  // the C library stops at a NUL
  for (size_t c = 0; c < anywhere_.size(); ++c) {
    if (skip == nullptr || (*skip)[c] == 0) scanChunk(*anywhere_[c], text, 0, length, out);
  }
  const void* colon = std::memchr(text.data(), ':', std::min(length, longest_field_));
  if (colon != nullptr) {
    std::string name(text.data(), static_cast<const char*>(colon) + 1);
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (const auto it = fields_.find(name); it != fields_.end()) {
      const Field& field = it->second;
      if (field.heavy) matchHeavy(*field.heavy, text, length, out);
      scan(field.anchored, text, 0, length, out);
      for (const auto& [head, rule] : field.prefixes) {
        if (startsWithHead(text, length, head)) out.push_back(rule);
      }
      for (const Field::Split& split : field.splits) {
        heads_matched_.assign(split.heads.size(), 0);
        size_t matched = 0;
        for (size_t h = 0; h < split.heads.size(); ++h) {
          if (startsWithHead(text, length, split.heads[h])) {
            heads_matched_[h] = 1;
            ++matched;
          }
        }
        if (matched == split.heads.size()) {
          scan(split.rests, text, split.length, length, out);
        } else if (matched > 0) {
          split_found_.clear();
          scan(split.rests, text, split.length, length, split_found_);
          for (const uint32_t rule : split_found_) {
            if (heads_matched_[split.head_of.at(rule)] != 0) out.push_back(rule);
          }
        }
      }
    }
  }
  if (heavy_) matchHeavy(*heavy_, text, length, out);
  for (const uint32_t rule : fallback_) {
    if (fallbackMatches(*rules_[rule], text, length)) out.push_back(rule);
  }
  std::sort(out.begin() + static_cast<long>(start), out.end());
  // A rule of several fields that one of them matches on its own and another in its sets (where
  // the first could not make a set of their literals) is found twice.
  out.erase(std::unique(out.begin() + static_cast<long>(start), out.end()), out.end());
}

// The rules of chunks that match text[from, length).
void RuleMatcher::scan(const Chunks& chunks, const std::string& text, size_t from, size_t length,
                       std::vector<uint32_t>& out) {
  for (const auto& chunk : chunks) scanChunk(*chunk, text, from, length, out);
}

void RuleMatcher::scanChunk(const Chunk& chunk, const std::string& text, size_t from, size_t length,
                            std::vector<uint32_t>& out) {
  const re2::StringPiece piece(text.data() + from, length - from);
  found_.clear();
  RE2::Set::ErrorInfo error{};
  // Most texts match no pattern of a set: the first question, whether any does, stops at the
  // first match and spares the engine setting up a list of them.
  if (chunk.set.Match(piece, nullptr, &error)) {
    if (chunk.rules.size() == 1) {
      out.push_back(chunk.rules[0]);
      return;
    }
    chunk.set.Match(piece, &found_, &error);
  }
  if (error.kind != RE2::Set::kNoError) {
    // The engine ran out of memory for this text: the C library decides, within its bound.
    for (const uint32_t rule : chunk.rules) {
      if (fallbackMatches(*rules_[rule], text, length)) out.push_back(rule);
    }
    return;
  }
  for (const int found : found_) out.push_back(chunk.rules[static_cast<size_t>(found)]);
}

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
