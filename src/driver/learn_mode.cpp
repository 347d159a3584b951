// Learning from saved mail, and the learned tokens that a run or --judge uses.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "driver/modes.h"
#include "driver/saved_mail.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "learn/learn.h"
#include "report/reporter.h"
#include "text/escape.h"
#include "text/replace_file.h"

namespace {

// How long a learner waits for another one to finish with the file.
constexpr int kLockWaitMs = 10000;

std::string fileNamed(const std::string& path) {
  return "The learned-token file '" + escapeControls(path) + "'";
}

int learnError(const std::string& message) {
  Reporter::instance().error(message, 1);
  return -1;
}

// "120 spam and 340 ham message(s) learned, 5210 tokens"
std::string holding(const learn::LearnedTokens& tokens) {
  return std::to_string(tokens.spamMessages()) + " spam and " +
         std::to_string(tokens.hamMessages()) + " ham message(s) learned, " +
         std::to_string(tokens.tokenCount()) + " tokens";
}

// "" when enough of both kinds are learned for the learned score to apply; else what is
// missing: "190 more spam and 12 more ham message(s) are learned (LEARN_MINIMUM = 200)".
std::string stillNeeded(const learn::LearnedTokens& tokens) {
  const int64_t minimum = Settings::instance().learnMinimum();
  const int64_t spam = std::max<int64_t>(0, minimum - tokens.spamMessages());
  const int64_t ham = std::max<int64_t>(0, minimum - tokens.hamMessages());
  if (spam == 0 && ham == 0) return "";
  std::string more;
  if (spam > 0) more = std::to_string(spam) + " more spam";
  if (spam > 0 && ham > 0) more += " and ";
  if (ham > 0) more += std::to_string(ham) + " more ham";
  return more + " message(s) are learned (LEARN_MINIMUM = " + std::to_string(minimum) + ")";
}

}  // namespace

int learnSavedMail(ModeRequest::Mode mode, const std::vector<std::string>& paths) {
  Reporter& reporter = Reporter::instance();
  const std::string& path = Settings::instance().learnFile();
  const bool spam = mode == ModeRequest::Mode::kLearnSpam || mode == ModeRequest::Mode::kUnlearnSpam;
  const bool learning = mode == ModeRequest::Mode::kLearnSpam || mode == ModeRequest::Mode::kLearnHam;
  const learn::Corpus corpus = spam ? learn::Corpus::kSpam : learn::Corpus::kHam;
  const std::string kind = spam ? "spam" : "ham";
  const std::string other = spam ? "ham" : "spam";
  if (path.empty()) {
    return learnError("Learning needs LEARN_FILE in the rcfile: the file that keeps what is "
                      "learned.");
  }

  FileLock lock;
  const int lock_error = lock.take(path + ".lock", kLockWaitMs);
  if (lock_error == EWOULDBLOCK) {
    return learnError(fileNamed(path) + " is held by another process; nothing was learned.");
  }
  if (lock_error != 0) {
    return learnError("The lock '" + escapeControls(path) + ".lock' cannot be opened (" +
                      std::strerror(lock_error) + "); nothing was learned.");
  }
  learn::LearnedTokens tokens;
  std::string problem;
  // A file that cannot be read is never written over: what it held would be lost.
  if (learn::readLearnFile(path, tokens, problem) == learn::FileRead::kRefused) {
    return learnError(fileNamed(path) + " " + problem +
                      "; nothing was learned (move it away to start anew).");
  }

  int examined = 0;
  int done = 0;
  int moved = 0;
  int unchanged = 0;
  int kept = 0;
  int unread = 0;
  bool all_read = true;
  for (const std::string& source : paths) {
    const bool read = readSavedMail(
        source,
        [&](const SavedMessage& message) {
          const std::string number = std::to_string(++examined);
          reporter.print("Debugging: Message " + number + " is " + message.origin + ".", 6);
          MessageHeader header;
          bool quarantine_copy = false;
          if (!parseSavedHeader(message, number, learning ? "learned" : "taken back", header,
                                &quarantine_copy)) {
            ++unread;
            return;
          }
          // A quarantine copy of a message the user learned as ham (after releasing it) is not
          // moved back by learning the quarantine as spam: the user's own word stands.
          const bool move_over = !(spam && quarantine_copy);
          const learn::Change change =
              learning ? tokens.learn(header, corpus, move_over) : tokens.unlearn(header, corpus);
          if (change == learn::Change::kDone) ++done;
          if (change == learn::Change::kMoved) ++moved;
          if (change == learn::Change::kUnchanged) ++unchanged;
          if (change == learn::Change::kKept) ++kept;
          // Pruned as it goes, so that no input can fill the memory; an input that never
          // passes the bound gives the same file as pruning at the end alone.
          if (tokens.tokenCount() > learn::kMaxTokens) tokens.prune(learn::kMaxTokens);
        },
        [&](const std::string& error) { reporter.error("Could not read " + error + ".", 1); });
    all_read = all_read && read;
  }

  tokens.prune(learn::kMaxTokens);
  if (done + moved > 0 && !learn::writeLearnFile(path, tokens, problem)) {
    return learnError(fileNamed(path) + " " + problem + "; nothing was learned.");
  }
  std::string line;
  if (learning) {
    line = "Learned " + std::to_string(done + moved) + " of " + std::to_string(examined) +
           " message(s) as " + kind;
    if (moved > 0) line += " (" + std::to_string(moved) + " moved over from " + other + ")";
    if (unchanged > 0) line += ", " + std::to_string(unchanged) + " learned before";
    if (kept > 0) {
      line += ", " + std::to_string(kept) + " kept as " + other + " (quarantine copies of " +
              "messages learned as " + other + ")";
    }
  } else {
    line = "Took back " + std::to_string(done) + " of " + std::to_string(examined) +
           " message(s) from " + kind;
    if (unchanged > 0) line += ", " + std::to_string(unchanged) + " not learned as " + kind;
  }
  if (unread > 0) line += ", " + std::to_string(unread) + " not read";
  reporter.print(line + "; " + holding(tokens) + ".", 3);
  return all_read && unread == 0 ? 0 : -1;
}

void useLearnedTokens() {
  const Settings& settings = Settings::instance();
  if (settings.learnFile().empty() || !settings.learnedScoreSet()) return;
  // Lives for the run, as the filter does.
  static learn::LearnedTokens tokens;
  std::string problem;
  if (learn::readLearnFile(settings.learnFile(), tokens, problem) != learn::FileRead::kRead) {
    Reporter::instance().print(
        "Warning: " + fileNamed(settings.learnFile()) + " " + problem + "; no learned score.", 1);
    return;
  }
  Reporter::instance().print("Learned score: " + holding(tokens) + ".", 3);
  const std::string needed = stillNeeded(tokens);
  if (!needed.empty()) {
    Reporter::instance().print("Learned score: not applied until " + needed + ".", 3);
    return;
  }
  FilterEngine::instance().setLearnedTokens(&tokens);
}

LearnedStatus learnedStatus() {
  const Settings& settings = Settings::instance();
  LearnedStatus status;
  if (settings.learnFile().empty()) return status;
  learn::LearnedTokens tokens;
  std::string problem;
  const learn::FileRead read = learn::readLearnFile(settings.learnFile(), tokens, problem);
  if (read == learn::FileRead::kRead) {
    status.line = "Learned tokens: loaded, " + holding(tokens) + ".";
    const std::string needed = stillNeeded(tokens);
    if (!needed.empty()) status.line += " Not applied until " + needed + ".";
  } else {
    status.line = "Learned tokens: not loaded.";
    status.warning = fileNamed(settings.learnFile()) + " " + problem + "; no learned score.";
  }
  if (!settings.learnedScoreSet()) {
    status.line += " LEARNED_SCORE is not set, so they add no points.";
  }
  return status;
}
