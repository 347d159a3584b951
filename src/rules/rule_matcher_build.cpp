// Building the matcher: the rules sorted by the fields they can match and by shape, and their
// sets compiled.
#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "rules/rule_matcher.h"
#include "rules/rule_matcher_parts.h"

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
    if (it == splits.end()) it = splits.insert(splits.end(), Field::Split{length, {}, {}, {}});
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
  sortFallback();
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


// A rule the engine rejects goes to the C library's matcher here, as in the sets; the lists
// of such rules are complete once buildEverything() has run.
void RuleMatcher::buildGroup(Heavy& heavy, size_t g) {
  Heavy::Group& group = heavy.groups[g];
  if (group.built) return;
  group.built = true;
  const size_t fallbacks = fallback_.size();
  build(group.rules, heavy.form, group.chunks, fallback_);
  if (fallback_.size() != fallbacks) sortFallback();
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

// A rule of several fields that the engine rejects comes once from each field's sets.
void RuleMatcher::sortFallback() {
  std::sort(fallback_.begin(), fallback_.end());
  fallback_.erase(std::unique(fallback_.begin(), fallback_.end()), fallback_.end());
}
