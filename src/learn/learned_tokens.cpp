// The counts of learned tokens, their file format and the judgement they give.

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <string>
#include <string_view>

#include "header/message_header.h"
#include "learn/learn.h"

namespace learn {
namespace {

constexpr std::string_view kMagic = "pollensift learned tokens ";
constexpr int kFormat = 1;

// How a token's counts become its probability: a token seen in few messages is pulled towards
// 0.5 (the strength of that pull, and 0.5 itself, are what is assumed of an unseen token); tokens
// nearer 0.5 than kMinStrength are left out, and at most kMaxClues of the strongest are combined.
constexpr double kUnknownStrength = 0.45;
constexpr double kUnknownProbability = 0.5;
constexpr double kMinStrength = 0.1;
constexpr size_t kMaxClues = 150;

// A message is known by a digest of its fields, less those the program adds itself: the same
// message from the quarantine and from an inbox is one message.
std::string digestOf(const MessageHeader& header) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) throw std::bad_alloc();
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  for (const auto& field : header.fields()) {
    if (field.first.size() >= 13 && std::equal(field.first.begin(), field.first.begin() + 13,
                                               "x-pollensift-", [](char a, char b) {
                                                 return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b;
                                               })) {
      continue;
    }
    EVP_DigestUpdate(context, field.first.data(), field.first.size());
    EVP_DigestUpdate(context, ":", 1);
    EVP_DigestUpdate(context, field.second.data(), field.second.size());
    EVP_DigestUpdate(context, "\n", 1);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(context, digest, &size);
  EVP_MD_CTX_free(context);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < 16 && i < size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

// The probability that a chi-squared variable with v (even) degrees of freedom exceeds x2.
double chi2Q(double x2, size_t v) {
  const double m = x2 / 2.0;
  double term = std::exp(-m);
  double sum = term;
  for (size_t i = 1; i < v / 2; ++i) {
    term *= m / static_cast<double>(i);
    sum += term;
  }
  return std::min(sum, 1.0);
}

bool readNumber(std::string_view& text, uint32_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return true;
}

bool skipSpace(std::string_view& text) {
  if (text.empty() || text.front() != ' ') return false;
  text.remove_prefix(1);
  return true;
}

bool isHexDigest(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > ' ' && byte != 0x7f;
  });
}

}  // namespace

bool LearnedTokens::parse(std::string_view text, std::string& reason) {
  const size_t first_end = text.find('\n');
  const std::string_view first = text.substr(0, first_end);
  if (first.substr(0, kMagic.size()) != kMagic) {
    reason = "is not a learned-token file";
    return false;
  }
  std::string_view version = first.substr(kMagic.size());
  uint32_t format = 0;
  if (!readNumber(version, format) || !version.empty()) {
    reason = "is not a learned-token file";
    return false;
  }
  if (format > kFormat) {
    reason = "was written by a newer version (format " + std::to_string(format) + ")";
    return false;
  }
  if (format != kFormat) {
    reason = "is not a learned-token file";
    return false;
  }

  LearnedTokens read;
  size_t line_number = 1;
  size_t at = first_end == std::string_view::npos ? text.size() : first_end + 1;
  bool ended = false;
  bool counted = false;
  uint32_t spam_listed = 0;
  uint32_t ham_listed = 0;
  const auto damaged = [&]() {
    reason = "is damaged at line " + std::to_string(line_number);
    return false;
  };
  while (at < text.size()) {
    ++line_number;
    const size_t end = text.find('\n', at);
    if (end == std::string_view::npos || ended) return damaged();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line == "end") {
      ended = true;
    } else if (line.substr(0, 9) == "messages ") {
      line.remove_prefix(9);
      if (counted || !readNumber(line, read.spam_messages_) || !skipSpace(line) ||
          !readNumber(line, read.ham_messages_) || !line.empty()) {
        return damaged();
      }
      counted = true;
    } else if (line.substr(0, 2) == "m " && counted) {
      line.remove_prefix(2);
      const std::string_view digest = line.substr(0, 32);
      line.remove_prefix(digest.size());
      if (!isHexDigest(digest) || (line != " s" && line != " h")) return damaged();
      const Corpus corpus = line == " s" ? Corpus::kSpam : Corpus::kHam;
      if (!read.messages_.emplace(digest, corpus).second) return damaged();
      ++(corpus == Corpus::kSpam ? spam_listed : ham_listed);
    } else if (line.substr(0, 2) == "t " && counted) {
      line.remove_prefix(2);
      Counts counts;
      if (!readNumber(line, counts.spam) || !skipSpace(line) || !readNumber(line, counts.ham) ||
          !skipSpace(line) || !isToken(line)) {
        return damaged();
      }
      // Counts beyond the messages learned would give probabilities outside 0..1.
      if (counts.spam > read.spam_messages_ || counts.ham > read.ham_messages_ ||
          uint64_t{counts.spam} + counts.ham == 0) {
        return damaged();
      }
      if (!read.tokens_.emplace(line, counts).second) return damaged();
    } else {
      return damaged();
    }
  }
  // A file cut short lacks its last line.
  if (!ended || spam_listed != read.spam_messages_ || ham_listed != read.ham_messages_) {
    ++line_number;
    return damaged();
  }
  *this = std::move(read);
  return true;
}

std::string LearnedTokens::format() const {
  std::string text(kMagic);
  text += std::to_string(kFormat) + "\n";
  text += "messages " + std::to_string(spam_messages_) + " " + std::to_string(ham_messages_) + "\n";
  // Sorted, so that the same knowledge is always the same file.
  const std::map<std::string_view, Corpus> messages(messages_.begin(), messages_.end());
  for (const auto& [digest, corpus] : messages) {
    text += "m ";
    text += digest;
    text += corpus == Corpus::kSpam ? " s\n" : " h\n";
  }
  std::vector<std::pair<std::string_view, Counts>> tokens(tokens_.begin(), tokens_.end());
  std::sort(tokens.begin(), tokens.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [token, counts] : tokens) {
    text += "t " + std::to_string(counts.spam) + " " + std::to_string(counts.ham) + " ";
    text += token;
    text += '\n';
  }
  text += "end\n";
  return text;
}

void LearnedTokens::count(const MessageHeader& header, Corpus corpus, int step) {
  (corpus == Corpus::kSpam ? spam_messages_ : ham_messages_) += static_cast<uint32_t>(step);
  for (std::string& token : headerTokens(header)) {
    if (step > 0) {
      Counts& counts = tokens_[std::move(token)];
      ++(corpus == Corpus::kSpam ? counts.spam : counts.ham);
      continue;
    }
    // A token pruned since the message was learned has nothing to take back.
    const auto found = tokens_.find(token);
    if (found == tokens_.end()) continue;
    uint32_t& count = corpus == Corpus::kSpam ? found->second.spam : found->second.ham;
    if (count > 0) --count;
    if (found->second.spam == 0 && found->second.ham == 0) tokens_.erase(found);
  }
}

Change LearnedTokens::learn(const MessageHeader& header, Corpus corpus) {
  const std::string digest = digestOf(header);
  const auto found = messages_.find(digest);
  if (found != messages_.end() && found->second == corpus) return Change::kUnchanged;
  Change change = Change::kDone;
  if (found != messages_.end()) {
    count(header, found->second, -1);
    change = Change::kMoved;
  }
  count(header, corpus, 1);
  messages_[digest] = corpus;
  return change;
}

Change LearnedTokens::unlearn(const MessageHeader& header, Corpus corpus) {
  const auto found = messages_.find(digestOf(header));
  if (found == messages_.end() || found->second != corpus) return Change::kUnchanged;
  count(header, corpus, -1);
  messages_.erase(found);
  return Change::kDone;
}

void LearnedTokens::prune(size_t max_tokens) {
  for (uint32_t rarity = 1; tokens_.size() > max_tokens; ++rarity) {
    std::erase_if(tokens_, [&](const auto& entry) {
      return uint64_t{entry.second.spam} + entry.second.ham <= rarity;
    });
  }
}

Judgement LearnedTokens::judge(const MessageHeader& header, size_t strongest) const {
  Judgement judgement;
  // With one kind of mail only, no token can tell the two apart.
  if (spam_messages_ == 0 || ham_messages_ == 0) return judgement;
  struct Clue {
    double strength;
    double probability;
    const std::string* token;
  };
  std::vector<Clue> clues;
  const std::vector<std::string> tokens = headerTokens(header);
  for (const std::string& token : tokens) {
    const auto found = tokens_.find(token);
    if (found == tokens_.end()) continue;
    const double spam_ratio = static_cast<double>(found->second.spam) / spam_messages_;
    const double ham_ratio = static_cast<double>(found->second.ham) / ham_messages_;
    const double raw = spam_ratio / (spam_ratio + ham_ratio);
    const double seen = static_cast<double>(found->second.spam) + found->second.ham;
    const double probability = (kUnknownStrength * kUnknownProbability + seen * raw) /
                               (kUnknownStrength + seen);
    const double strength = std::fabs(probability - 0.5);
    if (strength >= kMinStrength) clues.push_back({strength, probability, &token});
  }
  if (clues.empty()) return judgement;
  const auto stronger = [](const Clue& a, const Clue& b) {
    return a.strength != b.strength ? a.strength > b.strength : *a.token < *b.token;
  };
  std::sort(clues.begin(), clues.end(), stronger);
  if (clues.size() > kMaxClues) clues.resize(kMaxClues);
  // Fisher's method on both sides: how unlikely the clues are under "all random" towards spam,
  // and towards ham.
  double log_ham = 0;
  double log_spam = 0;
  for (const Clue& clue : clues) {
    log_spam += std::log(1.0 - clue.probability);
    log_ham += std::log(clue.probability);
  }
  const double spamminess = 1.0 - chi2Q(-2.0 * log_spam, 2 * clues.size());
  const double hamminess = 1.0 - chi2Q(-2.0 * log_ham, 2 * clues.size());
  judgement.p = std::clamp((spamminess - hamminess + 1.0) / 2.0, 0.0, 1.0);
  for (const Clue& clue : clues) {
    auto& side = clue.probability > 0.5 ? judgement.for_spam : judgement.for_ham;
    if (side.size() < strongest) side.push_back({*clue.token, clue.probability});
  }
  return judgement;
}

}  // namespace learn
