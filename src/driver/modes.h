#pragma once

#include <string>
#include <vector>

// What the command line asked for instead of a run over the accounts.
struct ModeRequest {
  enum class Mode {
    kRun, kCheck, kJudge, kQuarantine, kRelease, kProbe,
    kLearnSpam, kLearnHam, kUnlearnSpam, kUnlearnHam
  };
  Mode mode = Mode::kRun;
  bool run_commands = false;  // --check-commands: the rc file's backquoted commands run
  bool stats = false;         // --stats: a run or --judge ends with the rules' statistics
  std::vector<std::string> judge_paths;  // the saved mail of --judge and the learning modes
  std::vector<std::string> release_files;
  std::string probe_account;  // --account USER@SERVER: the one account --probe visits
};
ModeRequest& modeRequest();

// --judge: judges the saved messages at paths with the compiled rules and settings, as one run,
// contacting no server; prints the verdict lines and a summary. 0 when every message was judged.
int judgeSavedMail(const std::vector<std::string>& paths);

// --learn-spam, --learn-ham, --unlearn-spam, --unlearn-ham: adds the messages at paths to the
// learned-token file of LEARN_FILE as spam or ham, or takes them back. 0 when every message was
// read and the file written.
int learnSavedMail(ModeRequest::Mode mode, const std::vector<std::string>& paths);

// For a run and --judge, with LEARN_FILE and LEARNED_SCORE: reads the learned tokens and hands
// them to the filter; a file that cannot serve gives a warning and no learned score.
void useLearnedTokens();

// For --check: the line that tells the learned-token file's state, or a warning when it cannot
// serve; nothing without LEARN_FILE.
struct LearnedStatus {
  std::string line;
  std::string warning;
};
LearnedStatus learnedStatus();

// Settings that do nothing where they stand, which a run would pass over in silence: LEARNED_SCORE
// without LEARN_FILE, TLS_FINGERPRINT or TLS_CA_FILE on an account without TLS. One warning each,
// for --check and the start of a run.
std::vector<std::string> idleSettings();

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
