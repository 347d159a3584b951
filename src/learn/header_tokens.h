#pragma once

// The learning room's own view of a header's tokens: each token is known in memory by a hash of
// its text (the file holds the texts), so that judging a header builds no string.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class MessageHeader;

namespace learn {

inline uint64_t tokenHash(std::string_view token) { return std::hash<std::string_view>{}(token); }

// The tokens of one header as they are made: their hashes, and their texts when asked for.
class TokenList {
 public:
  explicit TokenList(bool keep_texts) : keep_texts_(keep_texts) {}
  // Adds prefix + text, text cut to a word's length, blanks and control characters made "_",
  // ASCII letters folded to lower case unless fold is false.
  void add(std::string_view prefix, std::string_view text, bool fold = true);
  // Each token once: hashes in the order made, texts (when kept) sorted.
  void dedupe();
  void clear() {
    hashes_.clear();
    texts_.clear();
  }
  const std::vector<uint64_t>& hashes() const { return hashes_; }
  std::vector<std::string>& texts() { return texts_; }

 private:
  bool keep_texts_;
  std::vector<uint64_t> hashes_;
  std::vector<std::string> texts_;
  std::vector<uint64_t> seen_;  // dedupe's set, kept for its room
};

// Adds the tokens of header to tokens (see headerTokens).
void tokenize(const MessageHeader& header, TokenList& tokens);

}  // namespace learn
