#pragma once

#include <string>
#include <vector>

// What the command line asked for instead of a run over the accounts.
struct ModeRequest {
  enum class Mode { kRun, kCheck, kJudge, kQuarantine, kRelease, kProbe };
  Mode mode = Mode::kRun;
  bool run_commands = false;  // --check-commands: the rc file's backquoted commands run
  bool stats = false;         // --stats: a run or --judge ends with the rules' statistics
  std::vector<std::string> judge_paths;
  std::vector<std::string> release_files;
  std::string probe_account;  // --account USER@SERVER: the one account --probe visits
};
ModeRequest& modeRequest();

// --judge: judges the saved messages at paths with the compiled rules and settings, as one run,
// contacting no server; prints the verdict lines and a summary. 0 when every message was judged.
int judgeSavedMail(const std::vector<std::string>& paths);

// --check: prints the accounts (secrets hidden), the settings in force, the rule counts and the
// warnings of the configuration just read and compiled. 0, or -1 when it has a fault.
int checkConfiguration(bool commands_run);

// --quarantine: prints one line for each message that QUARANTINE holds, newest first. 0, or -1
// when no quarantine is configured or it cannot be read.
int listQuarantined();

// --release: writes the quarantined messages in files to standard output as an mbox, leaving
// the files where they are. -1 when one could not be read; the others are written all the same.
int releaseQuarantined(const std::vector<std::string>& files);

// --probe: connects to the server of every account (or only of the one named USER@SERVER) and
// reports what it offers and the PROTOCOL, PORT and AUTH that would suit, sending no secret.
// 0 when every server answered.
int probeAccounts(const std::string& only);
