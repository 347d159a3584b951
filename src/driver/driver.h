#pragma once

// The whole program: start-up, the loop over the accounts, the exit status.
int runPollensift(int argc, char** argv);

// Reads the command-line options into Settings; may end the process (help, version, bad option).
void parseOptions(int argc, char** argv);

// SIGINT handler: prints the abort line on standard output and exits with status -1.
void onInterrupt(int signal_number);

extern const char* const program_version;
