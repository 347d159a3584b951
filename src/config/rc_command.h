#pragma once

#include <string>

// The first line of what a shell command prints, without its line end (and a carriage return
// before it): the value of a command substitution in the rc file. Output that is missing,
// unterminated or longer than 65,535 characters is fatal, with a message that names the command;
// output that starts with a NUL byte gives an empty value. Reading stops at the first line end: a
// command that runs on after it is left to run, detached, and is not waited for. With the shell
// turned off for tests, the command's own text. A secret (the value of PASS) is kCommandNotRun
// when secret commands are not to run, as for any command when no command is to run.
std::string commandOutput(const std::string& command, bool secret = false);
