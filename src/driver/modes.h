#pragma once

#include <ctime>
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
  bool dnsbl = false;         // --dnsbl: --judge asks the block lists too
  std::vector<std::string> judge_paths;  // the saved mail of --judge and the learning modes
  std::vector<std::string> release_files;
  bool remove_released = false;  // --remove: --release then takes each message out
  std::string probe_account;  // --account USER@SERVER: the one account --probe visits, or the
                              // one whose messages --quarantine lists
  std::time_t since = 0;      // --since DATE: --quarantine lists what was held from then on
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

// For a run, and --judge with --dnsbl, with DNSBL lists: the lists of the run, whose lookups are
// served beside every wait for a server.
void useBlockLists();

// For --check with any of DNSBL, TRUSTED_RELAYS and DNS_SERVER: the lists and the resolver, one
// line each; none otherwise.
std::vector<std::string> blockListLines();

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

// What --quarantine lists: the messages of one account (USER@SERVER, "" for all) held from since
// on (0 for all).
struct QuarantineFilter {
  std::string account;
  std::time_t since = 0;
};

// --quarantine: prints one line for each message that QUARANTINE holds and filter lets through,
// newest first, then a count line. 0, or -1 when no quarantine is configured or it cannot be read.
int listQuarantined(const QuarantineFilter& filter);

// --release: writes the quarantined messages in files to standard output as an mbox, leaving
// the files where they are, or with remove (--remove) taking each one written out of the
// quarantine. -1 when one could not be read or removed; the others are written all the same.
int releaseQuarantined(const std::vector<std::string>& files, bool remove);

// --probe: connects to the server of every account (or only of the one named USER@SERVER) and
// reports what it offers and the PROTOCOL, PORT and AUTH that would suit, sending no secret.
// 0 when every server answered.
int probeAccounts(const std::string& only);
