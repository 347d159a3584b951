#pragma once

#include <string>
#include <vector>

// The first word of the shell expansion of text (tilde, variables, commands, splitting, file-name
// patterns). False when text cannot be expanded or expands to no word at all.
bool firstShellWord(const std::string& text, std::string& word);

// Fuzzers feed rc text that nobody wrote, so they turn the shell off: shell-word expansion then
// takes the first blank-separated word as it stands, command substitution in the rc file keeps
// the command's text, and INCLUDE= is refused. Off unless a test turns it on.
void setShellDisabledForTesting(bool disabled);
bool shellDisabled();

// A configuration check runs no command unless asked: command substitution in rc values and in
// file names then gives kCommandNotRun. Every value a command gave, or that stands for one not
// run, is remembered, so that the check can hide it.
constexpr const char* kCommandNotRun = "COMMAND-NOT-RUN";
void setCommandsRun(bool run);
bool commandsRun();
const std::string& rememberCommandValue(std::string value);
// Judging saved mail needs no password: the commands that give PASS its value (token helpers,
// password stores) are then not run either, and PASS is kCommandNotRun.
void setSecretCommandsRun(bool run);
bool secretCommandsRun();
const std::vector<std::string>& commandValues();
