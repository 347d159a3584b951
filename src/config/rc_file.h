#pragma once

#include <istream>

class Settings;

// Reads the rc file that Settings has open and fills Settings from it. False when no rc file is
// open; every error in the file ends the process with its message. A file holding a PASS
// statement that group or others may read or write draws a warning on standard error.
bool parseRcFile(Settings& settings);

// The same for rc text from any stream (tests and fuzzers keep it in memory).
void parseRcStream(std::istream& input, Settings& settings);
