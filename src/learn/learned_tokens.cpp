// The counts of learned tokens, their file format and the judgement they give.

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <map>
#include <string>
#include <string_view>

#include "header/message_header.h"
#include "learn/header_tokens.h"
#include "learn/learn.h"

namespace learn {
namespace {

constexpr std::string_view kMagic = "pollensift learned tokens ";
// 2: the tokens of field names as written, field order, Subject word pairs, shapes of the
// Message-ID, Date, sender and boundary. Counts of format 1 lack them, so such a file is refused.
constexpr int kFormat = 2;

// How a token's counts become its probability: a token seen in few messages is pulled towards
// 0.5 (the strength of that pull, and 0.5 itself, are what is assumed of an unseen token); tokens
// nearer 0.5 than kMinStrength are left out, and at most kMaxClues of the strongest are combined.
// Tokens never seen count as clues of exactly 0.5 in the room the strong ones leave: mail of a
// kind never learned is mostly such tokens, and a few rare spam tokens must not condemn it.
// (Chosen on the public corpus; bench/README.md has the figures.)
constexpr double kUnknownStrength = 0.45;
constexpr double kUnknownProbability = 0.5;
constexpr double kMinStrength = 0.2;
constexpr size_t kMaxClues = 150;
// A token's ham count weighs this much more than its spam count: a wanted message deleted is lost
// mail, a spam kept is only a nuisance, so the evidence for spam must be the stronger.
constexpr double kHamWeight = 1.7;

constexpr size_t kNone = SIZE_MAX;
// A token's text is at most a prefix and a word; a longer line is no token of this program.
constexpr size_t kMaxTokenBytes = 200;

// Where a hash's search starts in a table of mask + 1 slots: the hash mixed, so that its high
// bits count too.
size_t slotOf(uint64_t hash, size_t mask) {
  return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

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
    reason = format == 1 ? "was written by an older version (format 1)"
                         : "is not a learned-token file";
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
      uint32_t spam = 0;
      uint32_t ham = 0;
      if (!readNumber(line, spam) || !skipSpace(line) || !readNumber(line, ham) ||
          !skipSpace(line) || !isToken(line) || line.size() > kMaxTokenBytes) {
        return damaged();
      }
      // Counts beyond the messages learned would give probabilities outside 0..1.
      if (spam > read.spam_messages_ || ham > read.ham_messages_ || uint64_t{spam} + ham == 0) {
        return damaged();
      }
      const uint64_t hash = tokenHash(line);
      if (read.find(hash) != kNone) return damaged();
      const size_t slot = read.insert(hash, line);
      read.slots_[slot].spam = spam;
      read.slots_[slot].ham = ham;
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
  std::vector<size_t> order;
  order.reserve(used_);
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].spam + slots_[i].ham > 0) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return texts_[a] < texts_[b]; });
  for (const size_t i : order) {
    text += "t " + std::to_string(slots_[i].spam) + " " + std::to_string(slots_[i].ham) + " ";
    text += texts_[i];
    text += '\n';
  }
  text += "end\n";
  return text;
}

size_t LearnedTokens::find(uint64_t hash) const {
  if (slots_.empty()) return kNone;
  const size_t mask = slots_.size() - 1;
  for (size_t i = slotOf(hash, mask);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.spam + slot.ham == 0) return kNone;
    if (slot.hash == hash) return i;
  }
}

size_t LearnedTokens::insert(uint64_t hash, std::string_view text) {
  if ((used_ + 1) * 2 > slots_.size()) rebuild(std::max<size_t>(1024, slots_.size() * 2));
  const size_t mask = slots_.size() - 1;
  size_t i = slotOf(hash, mask);
  while (slots_[i].spam + slots_[i].ham != 0) i = (i + 1) & mask;
  // Marked used by the caller's count; until then it must not look empty to a search.
  slots_[i] = {hash, 0, 0};
  texts_[i] = text;
  ++used_;
  return i;
}

void LearnedTokens::erase(size_t slot) {
  // Backward shift: the entries after it that would no longer be found move into the hole.
  const size_t mask = slots_.size() - 1;
  size_t hole = slot;
  for (size_t i = (slot + 1) & mask; slots_[i].spam + slots_[i].ham != 0; i = (i + 1) & mask) {
    const size_t home = slotOf(slots_[i].hash, mask);
    // Whether home lies cyclically in (hole, i]: then the entry stays.
    const bool stays = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (stays) continue;
    slots_[hole] = slots_[i];
    texts_[hole] = std::move(texts_[i]);
    hole = i;
  }
  slots_[hole] = Slot{};
  texts_[hole].clear();
  texts_[hole].shrink_to_fit();
  --used_;
}

void LearnedTokens::rebuild(size_t capacity) {
  std::vector<Slot> old_slots(capacity);
  std::vector<std::string> old_texts(capacity);
  old_slots.swap(slots_);
  old_texts.swap(texts_);
  used_ = 0;
  const size_t mask = capacity - 1;
  for (size_t k = 0; k < old_slots.size(); ++k) {
    if (old_slots[k].spam + old_slots[k].ham == 0) continue;
    size_t i = slotOf(old_slots[k].hash, mask);
    while (slots_[i].spam + slots_[i].ham != 0) i = (i + 1) & mask;
    slots_[i] = old_slots[k];
    texts_[i] = std::move(old_texts[k]);
    ++used_;
  }
}

void LearnedTokens::count(const MessageHeader& header, Corpus corpus, int step) {
  (corpus == Corpus::kSpam ? spam_messages_ : ham_messages_) += static_cast<uint32_t>(step);
  TokenList tokens(true);
  tokenize(header, tokens);
  tokens.dedupe();
  for (const std::string& token : tokens.texts()) {
    const uint64_t hash = tokenHash(token);
    size_t slot = find(hash);
    if (step > 0) {
      if (slot == kNone) slot = insert(hash, token);
      ++(corpus == Corpus::kSpam ? slots_[slot].spam : slots_[slot].ham);
      continue;
    }
    // A token pruned since the message was learned has nothing to take back.
    if (slot == kNone) continue;
    uint32_t& count = corpus == Corpus::kSpam ? slots_[slot].spam : slots_[slot].ham;
    if (count > 0) --count;
    if (slots_[slot].spam + slots_[slot].ham == 0) erase(slot);
  }
}

Change LearnedTokens::learn(const MessageHeader& header, Corpus corpus, bool move_over) {
  const std::string digest = digestOf(header);
  const auto found = messages_.find(digest);
  if (found != messages_.end() && found->second == corpus) return Change::kUnchanged;
  if (found != messages_.end() && !move_over) return Change::kKept;
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
  // In place: a second table for the rebuild would double the memory that learning takes.
  // Erasing at i shifts only entries from after i (or from the table's start, already seen)
  // into the hole, so i is looked at again and nothing is passed over.
  for (uint32_t rarity = 1; used_ > max_tokens; ++rarity) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      for (;;) {
        const uint64_t seen = uint64_t{slots_[i].spam} + slots_[i].ham;
        if (seen == 0 || seen > rarity) break;
        erase(i);
      }
    }
  }
}

Judgement LearnedTokens::judge(const MessageHeader& header, size_t strongest) const {
  Judgement judgement;
  // With one kind of mail only, no token can tell the two apart.
  if (spam_messages_ == 0 || ham_messages_ == 0) return judgement;
  struct Clue {
    double strength;
    double probability;
    size_t slot;
  };
  // Reused from call to call, so that judging a header allocates nothing once warm.
  thread_local TokenList tokens(false);
  thread_local std::vector<Clue> clues;
  tokens.clear();
  clues.clear();
  tokenize(header, tokens);
  tokens.dedupe();
  const std::vector<uint64_t>& hashes = tokens.hashes();
  // The slots are far apart in a large table: ask for them all before reading any.
  const size_t mask = slots_.size() - 1;
  for (const uint64_t hash : hashes) __builtin_prefetch(&slots_[slotOf(hash, mask)]);
  const double spam_total = spam_messages_;
  const double ham_total = ham_messages_;
  size_t unseen = 0;
  for (const uint64_t hash : hashes) {
    const size_t slot = find(hash);
    if (slot == kNone) {
      ++unseen;
      continue;
    }
    const double spam_ratio = slots_[slot].spam / spam_total;
    const double ham_ratio = std::min(1.0, kHamWeight * slots_[slot].ham / ham_total);
    const double raw = spam_ratio / (spam_ratio + ham_ratio);
    const double seen = static_cast<double>(slots_[slot].spam) + slots_[slot].ham;
    const double probability = (kUnknownStrength * kUnknownProbability + seen * raw) /
                               (kUnknownStrength + seen);
    const double strength = std::fabs(probability - 0.5);
    if (strength >= kMinStrength) clues.push_back({strength, probability, slot});
  }
  if (!hashes.empty()) {
    judgement.seen_share = 1.0 - static_cast<double>(unseen) / static_cast<double>(hashes.size());
  }
  if (clues.empty()) return judgement;
  // The strongest first; equals by their text, so that a judgement never depends on the table.
  const auto stronger = [this](const Clue& a, const Clue& b) {
    return a.strength != b.strength ? a.strength > b.strength : texts_[a.slot] < texts_[b.slot];
  };
  if (clues.size() > kMaxClues) {
    std::nth_element(clues.begin(), clues.begin() + kMaxClues, clues.end(), stronger);
    clues.resize(kMaxClues);
  }
  // Fisher's method on both sides: how unlikely the clues are under "all random" towards spam,
  // and towards ham. The products are kept as mantissa and exponent: a hundred small factors
  // would underflow a double, and a logarithm for each is slower.
  double spam_product = 1.0;
  double ham_product = 1.0;
  int spam_exponent = 0;
  int ham_exponent = 0;
  for (const Clue& clue : clues) {
    spam_product *= 1.0 - clue.probability;
    ham_product *= clue.probability;
    if (spam_product < 1e-200) {
      int e = 0;
      spam_product = std::frexp(spam_product, &e);
      spam_exponent += e;
    }
    if (ham_product < 1e-200) {
      int e = 0;
      ham_product = std::frexp(ham_product, &e);
      ham_exponent += e;
    }
  }
  // Each unseen token is a factor of 0.5 on both sides.
  const size_t neutral = std::min(unseen, kMaxClues - clues.size());
  const double log_spam = std::log(spam_product) + (spam_exponent - double(neutral)) * std::log(2.0);
  const double log_ham = std::log(ham_product) + (ham_exponent - double(neutral)) * std::log(2.0);
  const size_t freedom = 2 * (clues.size() + neutral);
  const double spamminess = 1.0 - chi2Q(-2.0 * log_spam, freedom);
  const double hamminess = 1.0 - chi2Q(-2.0 * log_ham, freedom);
  judgement.p = std::clamp((spamminess - hamminess + 1.0) / 2.0, 0.0, 1.0);
  if (strongest > 0) {
    std::sort(clues.begin(), clues.end(), stronger);
    for (const Clue& clue : clues) {
      auto& side = clue.probability > 0.5 ? judgement.for_spam : judgement.for_ham;
      if (side.size() < strongest) side.push_back({texts_[clue.slot], clue.probability});
    }
  }
  return judgement;
}

}  // namespace learn
