#pragma once

// The learning room's own view of a header's tokens: each token is known in memory by a hash of
// its text (the file holds the texts), so that judging a header builds no string.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

class MessageHeader;

namespace learn {

// A token's hash, fed as the token is made: 64-bit MurmurHash2 with the seed and the tail of
// std::hash on this platform, so it gives the same values, but inline and without the token's
// text laid out first (judging makes some 170 tokens a header). The size comes first.
class TokenHasher {
  // Bytes are read in the machine's order and put together as little-endian.
  static_assert(std::endian::native == std::endian::little);

 public:
  explicit TokenHasher(size_t size) : hash_(kSeed ^ (size * kMul)) {}

  // The n bytes (1 to 8) at p, little-endian, the bytes above them zero; reads no byte past them.
  static uint64_t load(const char* p, size_t n) {
    if (n == 8) return load64(p);
    if (n >= 4) return load32(p) | (load32(p + n - 4) << (8 * (n - 4)));
    const auto at = [p](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
    return at(0) | (at(n / 2) << (8 * (n / 2))) | (at(n - 1) << (8 * (n - 1)));
  }
  // The n lowest bytes (1 to 8) of chunk; those above them must be zero.
  void bytes(uint64_t chunk, size_t n) {
    pending_ |= chunk << shift_;
    const size_t filled = shift_ + 8 * n;
    if (filled < 64) {
      shift_ = filled;
      return;
    }
    hash_ ^= shiftMix(pending_ * kMul) * kMul;
    hash_ *= kMul;
    pending_ = shift_ == 0 ? 0 : chunk >> (64 - shift_);
    shift_ = filled - 64;
  }
  uint64_t done() {
    if (shift_ != 0) {
      hash_ ^= pending_;
      hash_ *= kMul;
    }
    return shiftMix(shiftMix(hash_) * kMul);
  }

 private:
  static constexpr uint64_t kMul = (uint64_t{0xc6a4a793} << 32) + 0x5bd1e995;
  static constexpr uint64_t kSeed = 0xc70f6907;
  static uint64_t shiftMix(uint64_t v) { return v ^ (v >> 47); }
  static uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  static uint64_t load32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  uint64_t hash_;
  uint64_t pending_ = 0;
  size_t shift_ = 0;
};

inline uint64_t tokenHash(std::string_view token) {
  TokenHasher hasher(token.size());
  for (size_t i = 0; i < token.size(); i += 8) {
    const size_t n = std::min<size_t>(8, token.size() - i);
    hasher.bytes(TokenHasher::load(token.data() + i, n), n);
  }
  return hasher.done();
}

// The tokens of one header as they are made: their hashes, each once, and their texts when asked
// for.
class TokenList {
 public:
  explicit TokenList(bool keep_texts);
  // Adds prefix + text, text cut to a word's length, blanks and control characters made "_",
  // ASCII letters folded to lower case unless fold is false.
  void add(std::string_view prefix, std::string_view text, bool fold = true);
  // Sorts the texts (when kept) and drops their repeats; the hashes are each once already.
  void dedupe();
  void clear();
  // In the order first made.
  const std::vector<uint64_t>& hashes() const { return hashes_; }
  std::vector<std::string>& texts() { return texts_; }

 private:
  // Whether hash is new to this header; notes it.
  bool firstSeen(uint64_t hash);

  bool keep_texts_;
  size_t made_ = 0;  // tokens added, repeats too
  std::vector<uint64_t> hashes_;
  std::vector<std::string> texts_;
  // The hashes seen, open-addressed in a table that the most tokens of a header fill at most
  // half (0 marks a free slot, so a hash of 0 is noted apart), and the slots taken, so that
  // clearing touches those alone.
  std::vector<uint64_t> seen_;
  std::vector<uint16_t> taken_;
  size_t taken_count_ = 0;
  bool zero_seen_ = false;
};

// Adds the tokens of header to tokens (see headerTokens).
void tokenize(const MessageHeader& header, TokenList& tokens);

}  // namespace learn
