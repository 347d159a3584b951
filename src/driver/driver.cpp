#include "driver/driver.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "config/rc_file.h"
#include "config/settings.h"
#include "driver/jobs.h"
#include "driver/modes.h"
#include "driver/same_mailbox.h"
#include "filter/filter_engine.h"
#include "net/connection.h"
#include "net/tcp_transport.h"
#include "protocol/account_check.h"
#include "protocol/account_objects.h"
#include "quarantine/quarantine.h"
#include "report/reporter.h"
#include "report/warning.h"
#include "rules/rules.h"
#include "text/escape.h"
#include "text/file_kind.h"
#include "text/shell_word.h"

namespace {

void warnAboutRuleSyntax() {
  Settings& settings = Settings::instance();
  warnAboutBasicSyntaxRules(settings.ruleLists(), settings.regType());
}

// Start-up failure before the log is open: straight to standard error.
int startupError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "pollensift: Error: %s\n", message.c_str());
  std::fflush(stderr);
  return -1;
}

// A second line after a start-up error, saying why.
int startupNote(const std::string& message) {
  if (message.empty()) return -1;
  std::fprintf(stderr, "pollensift: %s\n", message.c_str());
  std::fflush(stderr);
  return -1;
}

bool isKindProblem(const std::string& problem) {
  return problem.rfind("is ", 0) == 0;
}

// Names the rules that the rule engine cannot take, which see only the start of a long line.
void traceFallbackRules(Reporter& reporter) {
  if (Settings::instance().verbose() < 6) return;
  for (const FallbackRule& rule : fallbackRules()) {
    reporter.print("Debugging: " + rule.list + " rule " + std::to_string(rule.position) + " \"" +
                       escapeControls(rule.expression) +
                       "\" is matched by the C library, on the first " +
                       std::to_string(kFallbackLineBytes) + " bytes of each line: " + rule.reason +
                       ".",
                   6);
  }
}

// An exception (memory exhausted by what one server sent, say) fails its account only. The
// connection is dropped without QUIT, so the server carries out none of its deletions.
int checkOneAccount(MailAccount& account, Reporter& reporter) {
  try {
    return checkAccount(account);
  } catch (const std::exception& e) {
    reporter.error(std::string("Runtime exception occurred: ") + e.what(), 1);
    if (Connection* link = account.connection()) link->close();
    return -1;
  }
}

// Messages kept long enough leave the quarantine before a live run adds to it. A problem here
// loses nothing, so it is a warning and the run goes on.
void expireQuarantined(const Settings& settings, Reporter& reporter) {
  if (settings.quarantine().empty() || settings.test()) return;
  const Expiry expiry =
      expireQuarantine(settings.quarantine(), settings.quarantineDays(), std::time(nullptr));
  if (expiry.messages > 0 || expiry.unfinished > 0) {
    std::string line = "Removed " + std::to_string(expiry.messages) + " message(s) older than " +
                       std::to_string(settings.quarantineDays()) + " day(s) from the quarantine";
    if (expiry.unfinished > 0) {
      line += ", and " + std::to_string(expiry.unfinished) + " unfinished file(s) from its tmp/";
    }
    reporter.print(line + ".", 3);
  }
  if (!expiry.problem.empty()) {
    reporter.print("Warning: The quarantine could not be cleaned up: " + expiry.problem, 1);
  }
}

// One account's turn in the run loop; -1 when its check failed. An account that reaches the
// mailbox of an earlier one again (earlier) is not checked.
int checkInTurn(MailAccount& account, const MailAccount* earlier, Reporter& reporter) {
  reporter.print(
      std::string(program_version) + " querying " + account.user() + "@" + account.server() + ".",
      3);
  if (earlier != nullptr) {
    reporter.error(sameMailboxLine(account, *earlier), 1);
  } else if (checkOneAccount(account, reporter) == 0) {
    return 0;
  }
  ++run_totals.failed;
  reporter.error(
      "Skipping account " + account.user() + "@" + account.server() + " due to earlier errors.", 1);
  return -1;
}

int checkAccounts(Settings& settings, Reporter& reporter) {
  int run_result = 0;
  if (settings.test() && !settings.accounts().empty()) {
    reporter.print("Test mode: messages are judged, none will be deleted.", 3);
  }
  std::vector<MailAccount>& accounts = settings.accounts();
  const std::vector<size_t> same = earlierSameMailbox(accounts, resolveAddresses);
  auto earlier = [&](const MailAccount& account) -> const MailAccount* {
    const size_t other = same[static_cast<size_t>(&account - accounts.data())];
    return other == kNoEarlier ? nullptr : &accounts[other];
  };
  const int jobs = std::min<size_t>(settings.jobs(), accounts.size());
  if (jobs > 1) {
    return checkAccountsAtOnce(accounts, jobs, [&](MailAccount& account) {
      return checkInTurn(account, earlier(account), reporter);
    });
  }
  for (MailAccount& account : accounts) {
    if (checkInTurn(account, earlier(account), reporter) != 0) run_result = -1;
  }
  return run_result;
}

// A run over several accounts ends with their sum; one account's summary says it all already.
void printRunTotal(Settings& settings, Reporter& reporter) {
  const size_t accounts = settings.accounts().size();
  if (accounts < 2) return;
  const RunTotals& total = run_totals;
  std::string line = "Total for " + std::to_string(accounts) +
                     " account(s): " + std::to_string(total.examined) + " message(s) examined, " +
                     std::to_string(total.deleted) +
                     (settings.test() ? " would be deleted, " : " deleted, ") +
                     std::to_string(total.kept) + " kept";
  if (!settings.quarantine().empty() && !settings.test()) {
    line += ", " + std::to_string(total.quarantined) + " quarantined";
  }
  reporter.print(line + ", " + std::to_string(total.failed) + " account(s) failed.", 3);
}

// --stats: the table ends the run.
void printRuleStatisticsIfAsked() {
  if (const RuleStats* stats = FilterEngine::instance().ruleStatistics()) {
    printRuleStatistics(*stats);
  }
}

// The offline modes contact no server and write no log: their lines go to the terminal only.
int runOfflineMode(const ModeRequest& request) {
  try {
    if (request.mode == ModeRequest::Mode::kQuarantine) {
      return listQuarantined({request.probe_account, request.since});
    }
    if (request.mode == ModeRequest::Mode::kRelease) {
      return releaseQuarantined(request.release_files, request.remove_released);
    }
    // Learning reads the header only: the rules play no part.
    if (request.mode >= ModeRequest::Mode::kLearnSpam) {
      return learnSavedMail(request.mode, request.judge_paths);
    }
    warnAboutRuleSyntax();
    if (compileRules() != 0) return -1;
    if (request.mode == ModeRequest::Mode::kCheck) return checkConfiguration(request.run_commands);
    useLearnedTokens();
    if (request.dnsbl) useBlockLists();
    if (request.stats) FilterEngine::instance().collectRuleStatistics();
    const int judged = judgeSavedMail(request.judge_paths);
    printRuleStatisticsIfAsked();
    return judged;
  } catch (const std::exception& e) {
    return startupError(std::string("Runtime exception occurred: ") + e.what());
  }
}

}  // namespace

int runPollensift(int argc, char** argv) {
  Reporter& reporter = Reporter::instance();
  remaining_total = 0;
  run_totals = RunTotals{};
  Settings::instance().setObjectFactory(makeAccountObjects);
  Settings& settings = Settings::instance();
  if (argc > 1) parseOptions(argc, argv);
  const ModeRequest& request = modeRequest();
  if (request.mode == ModeRequest::Mode::kCheck) setCommandsRun(request.run_commands);
  // Only a run needs the passwords: the commands that would give them are not run otherwise.
  if (request.mode != ModeRequest::Mode::kRun && request.mode != ModeRequest::Mode::kCheck) {
    setSecretCommandsRun(false);
  }

  if (!settings.openRcFile(settings.pollensiftrc())) {
    startupError("The rcfile could not be opened.");
    return startupNote(settings.rcOpenProblem());
  }
  try {
    if (!parseRcFile(settings)) return startupError("Loading the rcfile failed.");
  } catch (const std::exception& e) {
    return startupError(std::string("Runtime exception occurred: ") + e.what());
  }
  // A probe writes no log and needs no rules: what it shows goes to the terminal.
  if (request.mode == ModeRequest::Mode::kProbe) {
    try {
      return probeAccounts(request.probe_account);
    } catch (const std::exception& e) {
      return startupError(std::string("Runtime exception occurred: ") + e.what());
    }
  }
  if (request.mode != ModeRequest::Mode::kRun) return runOfflineMode(request);
  if (!reporter.openLog(settings.logfile())) {
    if (settings.logfile().empty()) {
      startupError("Could not locate log file.");
      return startupNote("Set LOGFILE in the rcfile or use -L FILE.");
    }
    const std::string shown = escapeControls(settings.logfile());
    startupError("Could not open log file '" + shown + "' for writing.");
    if (isKindProblem(reporter.logProblem())) {
      return startupNote("The log file '" + shown + "' " + reporter.logProblem() + ".");
    }
    return startupNote("The log file '" + shown + "' cannot be opened: " + reporter.logProblem() +
                       ".");
  }
  // The headers store file is opened at the first header; one that would block is refused now,
  // before any server is contacted.
  if (const char* kind = pathKindProblem(settings.showHeaders(), true)) {
    return startupError("The headers store file '" + escapeControls(settings.showHeaders()) + "' " +
                        kind + ".");
  }
  // Reading a FIFO named as the state file would wait for a writer for ever.
  if (const char* kind = pathKindProblem(settings.statefile(), false)) {
    return startupError("The state file '" + escapeControls(settings.statefile()) + "' " + kind +
                        ".");
  }

  if (!installInterruptHandlers(reporter.logFd(), !settings.test())) {
    startupError("Signal handler could not be installed.");
    std::exit(-1);
  }

  int run_result = 0;
  try {
    warnAboutRuleSyntax();
    for (const std::string& idle : idleSettings()) warn(idle);
    // With a state file the rules may judge nothing: the scan starts the matcher's build once a
    // message is to be fetched.
    const MatcherBuild build =
        settings.statefile().empty() ? MatcherBuild::kInBackground : MatcherBuild::kWhenNeeded;
    if (compileRules(build) != 0) return -1;
    traceFallbackRules(reporter);
    useLearnedTokens();
    useBlockLists();
    expireQuarantined(settings, reporter);
    if (request.stats) FilterEngine::instance().collectRuleStatistics();
    run_result = checkAccounts(settings, reporter);
    printRunTotal(settings, reporter);
    printRuleStatisticsIfAsked();
  } catch (const std::exception& e) {
    reporter.error(std::string("Runtime exception occurred: ") + e.what(), 1);
    return -1;
  }
  // A log or headers file that lost lines makes the run a failure, whatever else went well.
  if (!reporter.writeFailure().empty()) {
    reporter.error(reporter.writeFailure(), 1);
    return -1;
  }
  return settings.returnValue() ? remaining_total : run_result;
}
