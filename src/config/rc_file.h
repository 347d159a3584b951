#pragma once

#include <istream>
#include <string>
#include <vector>

class Settings;

// Reads the rc file that Settings has open and fills Settings from it. False when no rc file is
// open; every error in the file ends the process with its message. A file holding a PASS
// statement that group or others may read or write, and an rc or included file that they may
// write, draw a warning.
bool parseRcFile(Settings& settings);

// The same for rc text from any stream (tests and fuzzers keep it in memory); name is the file's
// path for messages, "" for none.
void parseRcStream(std::istream& input, Settings& settings, const std::string& name = "");

// The INCLUDE= names (as written) of the last read that were left unread because they need a
// command and no command may run (a check): a run would read those files.
const std::vector<std::string>& unreadIncludes();
