#include "filter/rule_index.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_map>

#include "filter/required_literals.h"

namespace {

// Longer literals are cut to this many leading bytes: a text holding the whole literal holds its
// beginning too, and the automaton stays small.
constexpr size_t kMaxLiteral = 32;

unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

}  // namespace

RuleIndex::RuleIndex(const std::vector<Pattern>& patterns) {
  std::vector<std::string> literals;
  std::unordered_map<std::string, uint32_t> literal_ids;
  std::vector<std::vector<User>> users_of;
  uint32_t clause_count = 0;

  clauses_of_rule_.assign(patterns.size(), 0);
  for (uint32_t rule = 0; rule < patterns.size(); ++rule) {
    const auto clauses = requiredLiterals(patterns[rule].expression, patterns[rule].cflags);
    if (!clauses || clauses->empty()) {
      always_.push_back(rule);
      continue;
    }
    clauses_of_rule_[rule] = static_cast<uint32_t>(clauses->size());
    for (const LiteralClause& clause : *clauses) {
      for (const std::string& literal : clause.literals) {
        const std::string key = literal.substr(0, kMaxLiteral);
        const auto [it, added] = literal_ids.try_emplace(key, static_cast<uint32_t>(literals.size()));
        if (added) {
          literals.push_back(key);
          users_of.emplace_back();
        }
        users_of[it->second].push_back({rule, clause_count, clause.anchored});
      }
      ++clause_count;
    }
  }

  for (const std::vector<User>& users : users_of) {
    users_begin_.push_back(static_cast<uint32_t>(users_.size()));
    users_.insert(users_.end(), users.begin(), users.end());
  }
  users_begin_.push_back(static_cast<uint32_t>(users_.size()));
  for (const std::string& literal : literals) {
    literal_length_.push_back(static_cast<uint32_t>(literal.size()));
  }
  buildAutomaton(literals);

  literal_seen_.assign(literals.size(), 0);
  clause_seen_.assign(clause_count, 0);
  rule_seen_.assign(patterns.size(), 0);
  rule_met_.assign(patterns.size(), 0);
}

// A trie of the literals turned into a complete automaton (Aho-Corasick): the failure links are
// folded into the transition table, so a scan makes exactly one step per byte.
void RuleIndex::buildAutomaton(const std::vector<std::string>& literals) {
  // Column 0 stands for every byte that occurs in no literal; an upper-case letter shares the
  // column of its lower-case form.
  column_.fill(0);
  columns_ = 1;
  for (const std::string& literal : literals) {
    for (const char c : literal) {
      const unsigned char b = static_cast<unsigned char>(c);
      if (column_[b] == 0) column_[b] = static_cast<uint8_t>(columns_++);
    }
  }
  for (unsigned c = 'A'; c <= 'Z'; ++c) column_[c] = column_[fold(static_cast<unsigned char>(c))];

  // The trie: state 0 is the root, and no other state has a transition to it yet.
  next_.assign(columns_, 0);
  output_.assign(1, -1);
  for (uint32_t id = 0; id < literals.size(); ++id) {
    uint32_t state = 0;
    for (const char c : literals[id]) {
      uint32_t& slot = next_[size_t{state} * columns_ + column_[static_cast<unsigned char>(c)]];
      if (slot == 0) {
        slot = static_cast<uint32_t>(output_.size());
        output_.push_back(-1);
        next_.resize(next_.size() + columns_, 0);
      }
      state = next_[size_t{state} * columns_ + column_[static_cast<unsigned char>(c)]];
    }
    output_[state] = static_cast<int32_t>(id);
  }

  // Breadth first, so that a state's failure state is complete before the state is.
  const size_t states = output_.size();
  std::vector<uint32_t> failure(states, 0);
  chain_.assign(states, 0);
  std::vector<uint32_t> queue{0};
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t state = queue[head];
    const size_t row = size_t{state} * columns_;
    const size_t failure_row = size_t{failure[state]} * columns_;
    for (uint32_t column = 0; column < columns_; ++column) {
      const uint32_t child = next_[row + column];
      if (child != 0) {
        const uint32_t fail = state == 0 ? 0 : next_[failure_row + column];
        failure[child] = fail;
        chain_[child] = output_[fail] >= 0 ? fail : chain_[fail];
        queue.push_back(child);
      } else if (state != 0) {
        next_[row + column] = next_[failure_row + column];
      }
    }
  }
}

void RuleIndex::candidates(std::string_view text, std::vector<uint32_t>& out) {
  out.clear();
  hits_.clear();
  if (!users_.empty()) {
    if (++stamp_ == 0) {
      std::fill(literal_seen_.begin(), literal_seen_.end(), 0);
      std::fill(clause_seen_.begin(), clause_seen_.end(), 0);
      std::fill(rule_seen_.begin(), rule_seen_.end(), 0);
      stamp_ = 1;
    }
    const size_t end = std::min(text.size(), text.find('\0'));
    uint32_t state = 0;
    for (size_t i = 0; i < end; ++i) {
      state = next_[size_t{state} * columns_ + column_[static_cast<unsigned char>(text[i])]];
      // Every literal that ends here, longest first. Only its first occurrence counts; the
      // shorter ones after a literal already seen were seen with it.
      for (uint32_t s = output_[state] >= 0 ? state : chain_[state]; s != 0; s = chain_[s]) {
        const uint32_t literal = static_cast<uint32_t>(output_[s]);
        if (literal_seen_[literal] == stamp_) break;
        literal_seen_[literal] = stamp_;
        const bool at_start = i + 1 == literal_length_[literal];
        for (uint32_t u = users_begin_[literal]; u < users_begin_[literal + 1]; ++u) {
          const User& user = users_[u];
          if ((user.anchored && !at_start) || clause_seen_[user.clause] == stamp_) continue;
          clause_seen_[user.clause] = stamp_;
          if (rule_seen_[user.rule] != stamp_) {
            rule_seen_[user.rule] = stamp_;
            rule_met_[user.rule] = 0;
          }
          if (++rule_met_[user.rule] == clauses_of_rule_[user.rule]) hits_.push_back(user.rule);
        }
      }
    }
    std::sort(hits_.begin(), hits_.end());
  }
  std::merge(always_.begin(), always_.end(), hits_.begin(), hits_.end(), std::back_inserter(out));
}
