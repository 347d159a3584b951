#pragma once

#include <string>
#include <vector>

// What the command line asked for instead of a run over the accounts.
struct ModeRequest {
  enum class Mode { kRun, kCheck, kJudge, kProbe };
  Mode mode = Mode::kRun;
  bool run_commands = false;  // --check-commands: the rc file's backquoted commands run
  std::vector<std::string> judge_paths;
  std::string probe_account;  // --account USER@SERVER: the one account --probe visits
};
ModeRequest& modeRequest();

// --judge: judges the saved messages at paths with the compiled rules and settings, as one run,
// contacting no server; prints the verdict lines and a summary. 0 when every message was judged.
int judgeSavedMail(const std::vector<std::string>& paths);

// --check: prints the accounts (secrets hidden), the settings in force, the rule counts and the
// warnings of the configuration just read and compiled. 0, or -1 when it has a fault.
int checkConfiguration(bool commands_run);

// --probe: connects to the server of every account (or only of the one named USER@SERVER) and
// reports what it offers and the PROTOCOL, PORT and AUTH that would suit, sending no secret.
// 0 when every server answered.
int probeAccounts(const std::string& only);
