#include <string>
#include <vector>

#include "config/settings.h"
#include "dnsbl/dnsbl.h"
#include "driver/modes.h"
#include "driver/saved_mail.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "report/reporter.h"

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
    }
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
  for (const std::string& path : paths) {
    if (!readSavedMail(
            path, [&](const SavedMessage& message) { judge.judge(message); },
            [&](const std::string& error) { reporter.error("Could not read " + error + ".", 1); })) {
      all_read = false;
    }
  }
  reporter.print(judge.summary(), 3);
  return all_read && judge.allJudged() ? 0 : -1;
}
