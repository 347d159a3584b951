#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class MessageHeader;

// Learned scoring: tokens of a message's header, counted over the spam and the ham that the user
// saved, give the probability that a new header is spam. Only the header is read, as that is all
// a run fetches before it decides.
namespace learn {

// The tokens of a header, each once, sorted: words of the decoded Subject, the sender's address
// and domains, the relays of Received, the mailer, the content type and charset, the
// Message-ID's domain, which fields are there and which common ones are missing, each prefixed by
// what it came from ("subj:", "from:dom:", "rcvd:ip24:", "no:date", ...).
std::vector<std::string> headerTokens(const MessageHeader& header);

// The text of a header field with its RFC 2047 encoded words decoded to UTF-8; what cannot be
// decoded stays as it was.
std::string decodeEncodedWords(std::string_view text);

// Which of the user's two kinds of mail a message is.
enum class Corpus { kSpam, kHam };

// What learning or unlearning one message did.
enum class Change {
  kDone,       // learned, or taken back
  kMoved,      // it had been learned as the other kind: moved over
  kUnchanged,  // already learned as this kind, or (unlearning) not learned as this kind
  kKept,       // learned as the other kind, and left so (learning without moving over)
};

// A token that weighed in a judgement, with its own spam probability.
struct Evidence {
  std::string token;
  double probability;
};

struct Judgement {
  double p = 0.5;                       // the spam probability; 0.5 when nothing is known
  double seen_share = 0;                // of the header's tokens, the share ever learned
  std::vector<Evidence> for_spam;       // the strongest tokens above 0.5, strongest first
  std::vector<Evidence> for_ham;        // the strongest tokens below 0.5, strongest first
};

// The token counts of the messages learned, and which messages they were (by a digest of the
// header), so that a message counts once and can be taken back.
class LearnedTokens {
 public:
  // Reads the text of a learned-token file. False with reason ("is not a learned-token file",
  // "was written by a newer version (format 2)", "is damaged at line 7"); this is then unchanged.
  bool parse(std::string_view text, std::string& reason);
  // The text of the file; parse gives back the same.
  std::string format() const;

  // Learns header as corpus; one learned as the other kind moves over unless move_over is false.
  Change learn(const MessageHeader& header, Corpus corpus, bool move_over = true);
  Change unlearn(const MessageHeader& header, Corpus corpus);
  // Drops the rarest tokens until at most max_tokens are left: a token seen once or twice in
  // years of mail says little, and the file must stay small.
  void prune(size_t max_tokens);

  // The spam probability of header, with up to strongest tokens on each side.
  Judgement judge(const MessageHeader& header, size_t strongest = 0) const;

  uint32_t spamMessages() const { return spam_messages_; }
  uint32_t hamMessages() const { return ham_messages_; }
  size_t tokenCount() const { return used_; }

 private:
  // One token's counts in an open-addressed table, known by the hash of its text; an empty
  // slot counts nothing.
  struct Slot {
    uint64_t hash = 0;
    uint32_t spam = 0;
    uint32_t ham = 0;
  };
  void count(const MessageHeader& header, Corpus corpus, int step);
  size_t find(uint64_t hash) const;
  size_t insert(uint64_t hash, std::string_view text);
  void erase(size_t slot);
  void rebuild(size_t capacity);

  std::vector<Slot> slots_;         // a power of two in size, at most half full
  std::vector<std::string> texts_;  // the text of each slot's token
  size_t used_ = 0;
  std::unordered_map<std::string, Corpus> messages_;  // header digest -> kind
  uint32_t spam_messages_ = 0;
  uint32_t ham_messages_ = 0;
};

// The most tokens kept in a file (some 10 MB at most).
constexpr size_t kMaxTokens = 250000;

// Reading and writing the file named by LEARN_FILE.
enum class FileRead {
  kRead,     // tokens holds it
  kAbsent,   // no file yet
  kRefused,  // problem says why ("is damaged at line 7"); tokens is unchanged
};
FileRead readLearnFile(const std::string& path, LearnedTokens& tokens, std::string& problem);
// Replaces the file (written beside it and renamed over it). False with problem ("cannot be
// written (reason)").
bool writeLearnFile(const std::string& path, const LearnedTokens& tokens, std::string& problem);

}  // namespace learn
