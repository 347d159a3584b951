#pragma once

#include <string>
#include <vector>

// The first line of what a shell command prints, without its line end: the value of a command
// substitution in the rc file. Output that is missing, unterminated or longer than 65,535
// characters is fatal, with a message that names the command; output that starts with a NUL byte
// gives an empty value. With the shell turned off
// for tests, the command's own text.
std::string commandOutput(const std::string& command);

// For a configuration check: off, commandOutput runs nothing and gives kCommandNotRun instead.
// Either way every value it gives is remembered, so that the check can hide it.
constexpr const char* kCommandNotRun = "COMMAND-NOT-RUN";
void setCommandsRun(bool run);
const std::vector<std::string>& commandValues();
