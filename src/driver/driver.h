#pragma once

// The whole program: start-up, the loop over the accounts, the exit status.
int runPollensift(int argc, char** argv);

// Reads the command-line options into Settings; may end the process (help, version, bad option).
void parseOptions(int argc, char** argv);

// SIGINT and SIGTERM handler: prints the abort line on standard output and in the log, and exits
// with status -1 (no QUIT is sent, so the server deletes nothing).
void onInterrupt(int signal_number);
// Installs it for both signals; the log lines go to log_fd when that is not -1. With deletions
// (a live run, not test mode) a second line says how many deletions of the interrupted account
// are left undone.
bool installInterruptHandlers(int log_fd, bool deletions);

extern const char* const program_version;
