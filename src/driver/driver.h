#pragma once

// The whole program: start-up, the loop over the accounts, the exit status.
int runPollensift(int argc, char** argv);

// Reads the command-line options into Settings; may end the process (help, version, bad option).
void parseOptions(int argc, char** argv);

// SIGINT and SIGTERM handler: prints the abort line on standard output and in the log, and exits
// with status -1 (no QUIT is sent, so the server deletes nothing).
void onInterrupt(int signal_number);
// Installs it for both signals; the log line goes to log_fd when that is not -1.
bool installInterruptHandlers(int log_fd);

extern const char* const program_version;
