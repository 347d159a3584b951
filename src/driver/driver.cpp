#include "driver/driver.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "config/escape.h"
#include "config/filter_rule.h"
#include "config/shell_word.h"
#include "config/rc_file.h"
#include "config/settings.h"
#include "driver/modes.h"
#include "protocol/account_objects.h"
#include "report/reporter.h"

namespace {

// Start-up failure before the log is open: straight to standard error.
int startupError(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "pollensift: Error: %s\n", message.c_str());
  std::fflush(stderr);
  return -1;
}

int checkAccounts(Settings& settings, Reporter& reporter) {
  int run_result = 0;
  if (settings.test() && !settings.accounts().empty()) {
    reporter.print("Test mode: messages are judged, none will be deleted.", 3);
  }
  for (MailAccount& account : settings.accounts()) {
    reporter.print(std::string(program_version) + " querying " + account.user() + "@" +
                       account.server() + ".",
                   3);
    if (account.check() != 0) {
      reporter.error(
          "Skipping account " + account.user() + "@" + account.server() + " due to earlier errors.",
          1);
      run_result = -1;
    }
  }
  return run_result;
}

// --check and --judge contact no server and write no log: their lines go to the terminal only.
int runOfflineMode(const ModeRequest& request) {
  try {
    if (compileRules() != 0) return -1;
    if (request.mode == ModeRequest::Mode::kCheck) return checkConfiguration(request.run_commands);
    return judgeSavedMail(request.judge_paths);
  } catch (const std::exception& e) {
    return startupError(std::string("Runtime exception occurred: ") + e.what());
  }
}

}  // namespace

void onInterrupt(int signal_number) {
  // Only async-signal-safe calls here: no stdio, no allocation.
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);

  char line[64] = "pollensift: Error: Program abort due to signal ";
  size_t n = sizeof("pollensift: Error: Program abort due to signal ") - 1;
  char digits[12];
  size_t d = 0;
  unsigned value = signal_number < 0 ? 0u : static_cast<unsigned>(signal_number);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < sizeof digits);
  while (d > 0) line[n++] = digits[--d];
  line[n++] = '.';
  line[n++] = '\n';
  ssize_t ignored = ::write(STDOUT_FILENO, line, n);
  (void)ignored;
  _exit(-1);
}

int runPollensift(int argc, char** argv) {
  Reporter& reporter = Reporter::instance();
  remaining_total = 0;
  installAccountObjects();
  Settings& settings = Settings::instance();
  if (argc > 1) parseOptions(argc, argv);
  const ModeRequest& request = modeRequest();
  if (request.mode == ModeRequest::Mode::kCheck) setCommandsRun(request.run_commands);

  if (!settings.openRcFile(settings.pollensiftrc())) {
    return startupError("The rcfile could not be opened.");
  }
  try {
    if (!parseRcFile(settings)) return startupError("Loading the rcfile failed.");
  } catch (const std::exception& e) {
    return startupError(std::string("Runtime exception occurred: ") + e.what());
  }
  if (request.mode != ModeRequest::Mode::kRun) return runOfflineMode(request);
  if (!reporter.openLog(settings.logfile())) {
    if (settings.logfile().empty()) return startupError("Could not locate log file.");
    return startupError("Could not open log file '" + escapeControls(settings.logfile()) +
                        "' for writing.");
  }

  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (sigaction(SIGINT, &action, nullptr) != 0) {
    startupError("Signal handler could not be installed.");
    std::exit(-1);
  }

  int run_result = 0;
  try {
    if (compileRules() != 0) return -1;
    run_result = checkAccounts(settings, reporter);
  } catch (const std::exception& e) {
    reporter.error(std::string("Runtime exception occurred: ") + e.what(), 1);
    return -1;
  }
  return settings.returnValue() ? remaining_total : run_result;
}
