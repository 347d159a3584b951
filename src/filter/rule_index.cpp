#include "filter/rule_index.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <unordered_map>

namespace {

// A literal is looked for by a piece of this many bytes; shorter ones by a plain search.
constexpr size_t kPiece = 4;
constexpr unsigned kHashBits = 16;

uint32_t pieceAt(const char* p) {
  uint32_t key;
  std::memcpy(&key, p, sizeof key);
  return key;
}

uint32_t hashOf(uint32_t key) { return (key * 0x9E3779B1u) >> (32 - kHashBits); }

size_t shortest(const LiteralClause& clause) {
  size_t n = SIZE_MAX;
  for (const std::string& literal : clause.literals) n = std::min(n, literal.size());
  return n;
}

// The clause a rule is looked for by: the unanchored clause with the longest shortest literal
// when that is long enough to be rare, else the anchored clause (a field name, looked at only at
// the start of a line), else the best there is.
size_t triggerOf(const std::vector<LiteralClause>& clauses) {
  size_t best = SIZE_MAX;
  size_t anchored = SIZE_MAX;
  for (size_t c = 0; c < clauses.size(); ++c) {
    if (clauses[c].anchored) {
      anchored = c;
    } else if (best == SIZE_MAX || shortest(clauses[c]) > shortest(clauses[best])) {
      best = c;
    }
  }
  if (best != SIZE_MAX && (shortest(clauses[best]) >= kPiece || anchored == SIZE_MAX)) return best;
  return anchored;
}

}  // namespace

RuleIndex::RuleIndex(const std::vector<Pattern>& patterns) {
  std::map<std::pair<std::string, bool>, uint32_t> literal_ids;
  std::vector<std::vector<uint32_t>> triggers_of;
  std::vector<bool> anchored;

  for (uint32_t rule = 0; rule < patterns.size(); ++rule) {
    checks_begin_.push_back(static_cast<uint32_t>(checks_.size()));
    const auto clauses = requiredLiterals(patterns[rule].expression, patterns[rule].cflags);
    if (!clauses || clauses->empty()) {
      always_.push_back(rule);
      continue;
    }
    const size_t trigger = triggerOf(*clauses);
    for (size_t c = 0; c < clauses->size(); ++c) {
      if (c != trigger) checks_.push_back((*clauses)[c]);
    }
    const LiteralClause& clause = (*clauses)[trigger];
    for (const std::string& literal : clause.literals) {
      const auto [it, added] = literal_ids.try_emplace({literal, clause.anchored},
                                                       static_cast<uint32_t>(literals_.size()));
      if (added) {
        literals_.push_back(literal);
        anchored.push_back(clause.anchored);
        triggers_of.emplace_back();
      }
      triggers_of[it->second].push_back(rule);
    }
  }
  checks_begin_.push_back(static_cast<uint32_t>(checks_.size()));

  for (const std::vector<uint32_t>& rules : triggers_of) {
    triggered_begin_.push_back(static_cast<uint32_t>(triggered_.size()));
    triggered_.insert(triggered_.end(), rules.begin(), rules.end());
  }
  triggered_begin_.push_back(static_cast<uint32_t>(triggered_.size()));

  std::vector<uint32_t> unanchored;
  for (uint32_t id = 0; id < literals_.size(); ++id) {
    if (anchored[id]) {
      addPrefix(id);
    } else if (literals_[id].size() >= kPiece) {
      unanchored.push_back(id);
    } else {
      short_literals_.push_back(id);
    }
  }
  if (!unanchored.empty()) addGrams(unanchored);

  literal_seen_.assign(literals_.size(), 0);
  rule_seen_.assign(patterns.size(), 0);
}

void RuleIndex::addPrefix(uint32_t literal) {
  if (prefixes_.empty()) prefixes_.emplace_back();
  uint32_t node = 0;
  for (const char c : literals_[literal]) {
    const unsigned char b = static_cast<unsigned char>(c);
    const auto& next = prefixes_[node].next;
    const auto it =
        std::find_if(next.begin(), next.end(), [b](const auto& edge) { return edge.first == b; });
    if (it != next.end()) {
      node = it->second;
      continue;
    }
    const uint32_t child = static_cast<uint32_t>(prefixes_.size());
    prefixes_[node].next.emplace_back(b, child);
    prefixes_.emplace_back();
    node = child;
  }
  prefixes_[node].literal = static_cast<int32_t>(literal);
}

// Each literal is found by its piece that the fewest other literals share, so that a piece
// common to many literals (the start of a domain name, say) does not send many positions to
// comparisons.
void RuleIndex::addGrams(const std::vector<uint32_t>& unanchored) {
  std::unordered_map<uint32_t, uint32_t> uses;
  for (const uint32_t id : unanchored) {
    const std::string& text = literals_[id];
    for (size_t at = 0; at + kPiece <= text.size(); ++at) ++uses[pieceAt(text.data() + at)];
  }
  for (const uint32_t id : unanchored) {
    const std::string& text = literals_[id];
    size_t best = 0;
    for (size_t at = 1; at + kPiece <= text.size(); ++at) {
      if (uses[pieceAt(text.data() + at)] < uses[pieceAt(text.data() + best)]) best = at;
    }
    grams_.push_back({pieceAt(text.data() + best), id, static_cast<uint32_t>(best)});
  }
  std::sort(grams_.begin(), grams_.end(),
            [](const Gram& a, const Gram& b) { return a.key < b.key; });
  gram_bits_.assign((size_t{1} << kHashBits) / 64, 0);
  for (const Gram& gram : grams_) {
    const uint32_t h = hashOf(gram.key);
    gram_bits_[h / 64] |= uint64_t{1} << (h % 64);
  }
}

bool RuleIndex::holds(const LiteralClause& clause) const {
  const std::string_view text(folded_);
  for (const std::string& literal : clause.literals) {
    if (clause.anchored ? text.substr(0, literal.size()) == literal
                        : text.find(literal) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

void RuleIndex::found(uint32_t literal) {
  if (literal_seen_[literal] == stamp_) return;
  literal_seen_[literal] = stamp_;
  for (uint32_t t = triggered_begin_[literal]; t < triggered_begin_[literal + 1]; ++t) {
    const uint32_t rule = triggered_[t];
    if (rule_seen_[rule] == stamp_) continue;
    rule_seen_[rule] = stamp_;
    bool all = true;
    for (uint32_t c = checks_begin_[rule]; all && c < checks_begin_[rule + 1]; ++c) {
      all = holds(checks_[c]);
    }
    if (all) hits_.push_back(rule);
  }
}

void RuleIndex::candidates(std::string_view text, std::vector<uint32_t>& out) {
  out.clear();
  hits_.clear();
  if (!literals_.empty()) {
    if (++stamp_ == 0) {
      std::fill(literal_seen_.begin(), literal_seen_.end(), 0);
      std::fill(rule_seen_.begin(), rule_seen_.end(), 0);
      stamp_ = 1;
    }
    const size_t n = std::min(text.size(), text.find('\0'));
    folded_.resize(n);
    char* const s = folded_.data();
    const unsigned char* const raw = reinterpret_cast<const unsigned char*>(text.data());
    // Arithmetic rather than a table, so that the compiler can fold many bytes at once.
    for (size_t i = 0; i < n; ++i) {
      const unsigned char c = raw[i];
      s[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 'a' - 'A' : 0));
    }

    if (!prefixes_.empty()) {
      uint32_t node = 0;
      for (size_t i = 0;; ++i) {
        if (prefixes_[node].literal >= 0) found(static_cast<uint32_t>(prefixes_[node].literal));
        if (i == n) break;
        const auto& next = prefixes_[node].next;
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const auto it = std::find_if(next.begin(), next.end(),
                                     [b](const auto& edge) { return edge.first == b; });
        if (it == next.end()) break;
        node = it->second;
      }
    }

    if (!grams_.empty()) {
      const uint64_t* const bits = gram_bits_.data();
      for (size_t i = 0; i + kPiece <= n; ++i) {
        const uint32_t key = pieceAt(s + i);
        const uint32_t h = hashOf(key);
        if (((bits[h / 64] >> (h % 64)) & 1) == 0) continue;
        const auto range = std::equal_range(
            grams_.begin(), grams_.end(), Gram{key, 0, 0},
            [](const Gram& a, const Gram& b) { return a.key < b.key; });
        for (auto g = range.first; g != range.second; ++g) {
          if (g->offset > i) continue;
          const std::string& literal = literals_[g->literal];
          const size_t start = i - g->offset;
          if (start + literal.size() <= n &&
              std::memcmp(s + start, literal.data(), literal.size()) == 0) {
            found(g->literal);
          }
        }
      }
    }

    const std::string_view whole(folded_);
    for (const uint32_t id : short_literals_) {
      if (whole.find(literals_[id]) != std::string_view::npos) found(id);
    }
    std::sort(hits_.begin(), hits_.end());
  }
  std::merge(always_.begin(), always_.end(), hits_.begin(), hits_.end(), std::back_inserter(out));
}
