#pragma once

#include <string>

// The first line of what a shell command prints, without its line end: the value of a command
// substitution in the rc file. Output that is missing, unterminated or longer than 65,535
// characters is fatal, with a message that names the command; output that starts with a NUL byte
// gives an empty value. With the shell turned off
// for tests, the command's own text.
std::string commandOutput(const std::string& command);
