#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dnsbl/dnsbl.h"
#include "filter/rule_stats.h"
#include "filter/seen_ids.h"

class MessageHeader;
namespace learn {
class LearnedTokens;
}

// Decides for one parsed header whether the message is deleted (1) or kept (0); -1 for a missing
// header. Its only state is the Message-IDs seen in this run, for the duplicate check.
class FilterEngine {
 public:
  static FilterEngine& instance();

  // listings: the DNS block lists that list the message's relay; their points go to the score.
  int filter(const MessageHeader* header, std::span<const dnsbl::Listing> listings = {});

  // Which check condemned the message of the last filter call (kNone when it was kept).
  enum class Condemned { kNone, kDuplicate, kMaxsizeAllow, kMaxlength, kMaxsizeDeny, kDenyRule,
                         kNegativeDenyRule, kScore };
  Condemned lastCondemned() const { return last_condemned_; }
  // What condemned it, as MAX_DELETE's refusal names it: the deny rule with its expression, the
  // score, or the keyword of the check ("" when it was kept).
  std::string lastCondemnedBy() const;
  // With QUARANTINE: the reason its "Deny:" line gives (shown or not), for the message that the
  // last filter call condemned; empty otherwise.
  const std::string& lastReason() const;

  int checkDuplicate(const MessageHeader* header);
  int checkAllow(const MessageHeader* header);
  int checkMaxLength(const MessageHeader* header);
  int checkDeny(const MessageHeader* header);
  int checkScore(const MessageHeader* header);

  // The form the Message-IDs seen are kept in ("" for a message without one); the state of
  // incremental runs keeps kept messages' IDs in it.
  static std::string seenKey(std::string_view message_id);
  // A message judged "keep" in an earlier run and not fetched again takes its place among the
  // Message-IDs seen here, by its seenKey. True when its ID was not seen before (or it has none,
  // or duplicates are not deleted); false when it was, so that the message is a duplicate now.
  bool seedSeen(const std::string& key);

  // With DEL_DUPLICATES: the message with this UIDL and Message-ID key takes its place among the
  // messages seen. False when an earlier account of the run had it already: it may be that very
  // message, reached again through another name of its mailbox. True without a UIDL or an ID,
  // or when duplicates are not deleted.
  bool seeMessage(std::string_view uidl, const std::string& key);
  // The next filter call does not condemn its message as a duplicate: it may be a copy of itself.
  void spareNextDuplicate() { spare_duplicate_ = true; }

  // --stats: from here on, counts for each rule the messages it decided and those it matched at
  // all. Finding every rule that matches takes each rule to every line of every header, which a
  // run without --stats does not spend.
  void collectRuleStatistics();
  // The counts so far; null unless collected.
  const RuleStats* ruleStatistics() const { return stats_.get(); }

  // A line printed before the first line that the next filter call shows (for --judge, the name
  // of the message it judges); dropped when that call shows none.
  void introduceNextVerdict(std::string line);

  // Accounts checked at once, each in a process of its own: whether a message is a duplicate
  // depends on the Message-IDs of the accounts before it. The hook runs once, before the first
  // look at the IDs seen (a check or a seed); it waits for those accounts and adds their IDs
  // with addSeen. ready tells whether it would find them there now, without waiting. The IDs
  // seen, packed, go on to the accounts after this one.
  void beforeSeenUse(std::function<void()> hook, std::function<bool()> ready = nullptr) {
    before_seen_use_ = std::move(hook);
    seen_ready_ = std::move(ready);
  }
  // Whether the first look at the IDs seen is still to come and would wait now; a scan then
  // reads ahead instead of judging.
  // Runs the hook of beforeSeenUse now, if it has not run.
  void awaitSeen() { seen(); }
  bool seenAwaited() const { return before_seen_use_ && seen_ready_ && !seen_ready_(); }
  // The hook runs once, at the first call of seenSettled or seenSettledAhead: the account's IDs
  // are all seen (its last message judged, or its check over), or known before they are, so the
  // accounts after it need wait no longer. It gets them packed: all seen, or the account's own.
  void onSeenSettled(std::function<void(const std::string&)> hook) {
    on_seen_settled_ = std::move(hook);
  }
  void seenSettled();
  // Every message of the account has been read and none judged yet: own holds exactly the IDs
  // that judging them will add, which is all the accounts after it need of this one.
  void seenSettledAhead(const SeenIds& own);
  bool addSeen(std::string_view packed) { return seen_.insertPacked(packed); }

  // Forgets the seen Message-IDs and the rule statistics; only tests call this.
  void resetForTesting();

  // On (the default), one scan of each line by the multi-pattern engine finds the rules that
  // match it; off, every rule's C library pattern runs on every line. Verdicts and lines are the
  // same either way (apart from the bound on the few rules the engine cannot take): tests, the
  // fuzzer and benchmarks compare the two.
  void setRuleEngine(bool on) { engine_ = on; }

  // With LEARN_FILE and LEARNED_SCORE, the learned tokens whose judgement adds its points to the
  // score (LEARNED_SCORE * (2p - 1), rounded); null, as by default, adds nothing.
  void setLearnedTokens(const learn::LearnedTokens* tokens) { learned_ = tokens; }

 private:
  FilterEngine();
  ~FilterEngine();
  // The index holds views into the list, so a copy would point into the original.
  FilterEngine(const FilterEngine&) = delete;
  FilterEngine& operator=(const FilterEngine&) = delete;

  // The indexed rule lists, rebuilt when any rule was compiled since they were built.
  struct Shortlists;
  Shortlists& shortlists();

  // The header lines of header, in a buffer that keeps its capacity between messages, and the
  // rules that might match each; made once per filter call, or for each check called alone.
  const std::vector<std::string>& prepare(const MessageHeader& header);

  // The learned score's points for header, with its lines at level 5.
  int learnedPoints(const MessageHeader& header) const;

  // The IDs seen, once the hook of beforeSeenUse (if any) has run.
  SeenIds& seen();

  SeenIds seen_;
  std::function<void()> before_seen_use_;
  std::function<bool()> seen_ready_;
  std::function<void(const std::string&)> on_seen_settled_;
  const learn::LearnedTokens* learned_ = nullptr;
  std::span<const dnsbl::Listing> listings_;  // of the filter call under way
  std::vector<std::string> lines_;
  std::unique_ptr<Shortlists> shortlists_;
  bool engine_ = true;
  // The verdict of filter from one check's result (1 condemned by kind, 0 kept, -1 no header).
  int decided(int result, Condemned kind);
  int runChecks(const MessageHeader* header);
  // For --stats: every rule that header matches, and those that decided its outcome.
  void countRules(const MessageHeader& header, int outcome);
  void noteDecidingRule(ListKind list, size_t rule) {
    deciding_list_ = list;
    deciding_rule_ = static_cast<long>(rule);
  }
  std::unique_ptr<RuleStats> stats_;
  // The allow or deny rule that decided the message being judged (-1: none did), and with
  // --stats the score rules that added points to it, with their points.
  ListKind deciding_list_ = kAllowList;
  long deciding_rule_ = -1;
  std::vector<std::pair<uint32_t, int>> scored_;
  // For --stats: the learned score's points in the last filter call, when it was added.
  std::optional<int> learned_scored_;
  Condemned last_condemned_ = Condemned::kNone;
  Condemned deny_kind_ = Condemned::kDenyRule;
  bool spare_duplicate_ = false;
  bool sharing_ = false;   // inside filter: the checks share what prepare made
  bool prepared_ = false;
};
