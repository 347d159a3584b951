#pragma once

#include <string>

// The first word of the shell expansion of text (tilde, variables, commands, splitting, file-name
// patterns). False when text cannot be expanded or expands to no word at all.
bool firstShellWord(const std::string& text, std::string& word);
