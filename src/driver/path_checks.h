#pragma once

#include <string>

// What --check can tell, without creating anything, of the files a run writes. Each gives ""
// when a run could use the path, else why not ("'/var/x' does not exist"). They go by the
// file types and access(2), so they hold for root too, whom permission bits do not stop; a full
// disk or a quota shows only when a run writes.

// The log file: appended to, created (mode 0600) in its directory when missing.
std::string logFileProblem(const std::string& path);
// The state file: read, and replaced by a new file written beside it.
std::string stateFileProblem(const std::string& path);
// The quarantine: a Maildir whose directory (with its missing parents), tmp/, new/ and cur/ a
// run makes where missing; private to the user, and one that pollensift made or can adopt.
std::string quarantineProblem(const std::string& path);
