#include "rules/rule_matcher.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <cstring>

#include "rules/rule_matcher_parts.h"

namespace {

bool startsWithHead(const std::string& text, size_t length, const std::string& head) {
  if (length < head.size() / 2) return false;
  for (size_t i = 0; i < head.size() / 2; ++i) {
    if (text[i] != head[2 * i] && text[i] != head[2 * i + 1]) return false;
  }
  return true;
}


}  // namespace

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
