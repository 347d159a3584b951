#include <sys/stat.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "dnsbl/dnsbl.h"
#include "driver/modes.h"
#include "driver/saved_mail.h"
#include "filter/filter_engine.h"
#include "filter/rule_stats.h"
#include "header/message_header.h"
#include "learn/learn.h"
#include "quarantine/quarantine.h"
#include "report/reporter.h"
#include "text/escape.h"

namespace {

using Kind = FilterEngine::Condemned;

// The kinds in the order the checks run, named as the verdict lines name them.
struct KindName {
  Kind kind;
  const char* name;
};
constexpr KindName kKindNames[] = {
    {Kind::kDuplicate, "duplicate"}, {Kind::kMaxsizeAllow, "Maxsize_Allow"},
    {Kind::kMaxlength, "maxlength"}, {Kind::kMaxsizeDeny, "Maxsize_Deny"},
    {Kind::kDenyRule, "deny rule"},  {Kind::kNegativeDenyRule, "negative deny rule"},
    {Kind::kScore, "score"},
};

class Judge {
 public:
  void judge(const SavedMessage& message) {
    Reporter& reporter = Reporter::instance();
    const std::string number = std::to_string(++examined_);
    reporter.print("Debugging: Message " + number + " is " + message.origin + ".", 6);
    MessageHeader header;
    if (!parseSavedHeader(message, number, "judged", header)) {
      ++not_judged_;
      return;
    }
    FilterEngine& engine = FilterEngine::instance();
    // The verdict lines are those of a run; the line before them says which message they judge.
    const std::string introduction = "Message " + number + " (" + message.origin + "):";
    // A quarantined message carries the verdict that condemned it.
    HeldMessage held;
    const bool was_condemned = readHeldHeader(message.header, &held);
    if (was_condemned) ++held_;
    std::vector<dnsbl::Listing> listings;
    if (dnsbl::BlockLists* lists = dnsbl::runLists()) {
      // At level 5 every message has a verdict line, so the lookups' lines follow the
      // introduction; below it they are not shown.
      if (Settings::instance().verbose() >= 5) reporter.print(introduction, 5);
      const dnsbl::BlockLists::Ticket ticket = lists->ask(header);
      lists->await(ticket);
      listings = lists->take(ticket);
    }
    if (dnsbl::runLists() == nullptr || Settings::instance().verbose() < 5) {
      engine.introduceNextVerdict(introduction);
    }
    if (engine.filter(&header, listings) == 1) {
      ++condemned_[static_cast<size_t>(engine.lastCondemned())];
    } else {
      ++kept_;
      if (was_condemned) showNowKept(held, message.origin);
    }
  }

  // For the quarantine: how many of its messages the rules would now keep. Nothing when no
  // message carried a verdict.
  std::string quarantineSummary() const {
    if (held_ == 0) return "";
    return std::to_string(now_kept_) + " of " + std::to_string(held_) +
           " quarantined message(s) would now be kept.";
  }

  // "Judged n message(s): d would be deleted (1 duplicate, 2 deny rule), k kept[, u not judged]."
  std::string summary() const {
    int deleted = 0;
    std::string kinds;
    for (const KindName& entry : kKindNames) {
      const int count = condemned_[static_cast<size_t>(entry.kind)];
      if (count == 0) continue;
      deleted += count;
      kinds += (kinds.empty() ? " (" : ", ") + std::to_string(count) + " " + entry.name;
    }
    if (!kinds.empty()) kinds += ")";
    std::string line = "Judged " + std::to_string(examined_) +
                       " message(s): " + std::to_string(deleted) + " would be deleted" + kinds +
                       ", " + std::to_string(kept_) + " kept";
    if (not_judged_ > 0) line += ", " + std::to_string(not_judged_) + " not judged";
    return line + ".";
  }

  bool allJudged() const { return not_judged_ == 0; }

 private:
  // A message the rules condemned once and would keep now: what the user came to look for when
  // judging the quarantine again, so it is shown at the default verbosity.
  void showNowKept(HeldMessage& held, const std::string& origin) {
    ++now_kept_;
    held.file = origin;
    held.from = learn::decodeEncodedWords(held.from);
    held.subject = learn::decodeEncodedWords(held.subject);
    Reporter::instance().print("Now kept: " + heldMessageLine(held), 3);
  }

  int held_ = 0;
  int now_kept_ = 0;
  int examined_ = 0;
  int kept_ = 0;
  int not_judged_ = 0;
  int condemned_[static_cast<size_t>(Kind::kScore) + 1] = {};
};

}  // namespace

int judgeSavedMail(const std::vector<std::string>& paths) {
  Reporter& reporter = Reporter::instance();
  Judge judge;
  bool all_read = true;
  // --stats over several folders: a table for each folder (a Maildir, or an mbox of more than
  // one message), as they differ (spam, wanted mail), before the run's table over them all.
  const RuleStats* stats = FilterEngine::instance().ruleStatistics();
  const bool per_path = stats != nullptr && paths.size() > 1;
  RuleStats before = per_path ? *stats : RuleStats();
  for (const std::string& path : paths) {
    int messages = 0;
    if (!readSavedMail(
            path,
            [&](const SavedMessage& message) {
              ++messages;
              judge.judge(message);
            },
            [&](const std::string& error) {
              reporter.error("Could not read " + error + ".", 1);
            })) {
      all_read = false;
    }
    struct stat info {};
    const bool folder = messages > 1 || (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    if (!per_path) continue;
    if (folder) printRuleStatistics(stats->since(before), escapeControls(path));
    before = *stats;
  }
  reporter.print(judge.summary(), 3);
  const std::string quarantined = judge.quarantineSummary();
  if (!quarantined.empty()) reporter.print(quarantined, 3);
  return all_read && judge.allJudged() ? 0 : -1;
}
