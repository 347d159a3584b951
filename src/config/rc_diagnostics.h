#pragma once

#include <string>
#include <vector>

// Helpers for the rc reader's messages; nothing outside src/config includes this.

// Two lines that show an rc-file line and mark a spot in it: before is the line's text up to the
// spot, rest the text from the spot to the line end. Control characters appear escaped, and the
// mark stays under the spot (tabs are kept in the mark's indentation).
std::string markedLine(const std::string& before, const std::string& rest);

// A letter, digit or underscore: a character of a keyword.
bool isWordCharacter(char c);

// An rc-file line as a message may show it, split at a spot as for markedLine. The value of a
// PASS statement, or of a word that is probably a mistyped PASS, is a secret: it is replaced by
// "*****" (inside its double quotes when it has them). A spot inside the secret moves to the
// start of the stars, and spot_hidden says so, so that the character there is not shown either.
struct ShownLine {
  std::string before;
  std::string rest;
  bool spot_hidden = false;
};
ShownLine hideSecrets(const std::string& before, const std::string& rest);

// The keyword a mistyped word most probably meant ("PASSWORD" -> "PASS", "SERVRE" -> "SERVER"),
// letter case ignored; "" when none is close.
std::string nearestKeyword(const std::string& word, const std::vector<std::string>& keywords);

// The rc keywords, as the scanner recognises them (defined with the grammar, from its tokens).
const std::vector<std::string>& rcKeywords();

// A file of another user (root aside) that holds a password or a command would hand the one who
// reads it their secret or run their command as the reader: a fatal error, before anything in
// it is read or run. what names the file in the message ("rcfile", "Nested rcfile").
void refuseForeignRcFile(const std::string& path, const char* what);
