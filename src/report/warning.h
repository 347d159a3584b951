#pragma once

#include <functional>
#include <string>

// A warning about the configuration: "pollensift: Warning: " + message on standard error at once
// (control characters escaped, whatever the verbosity). Warnings given before the log file is open
// are kept and written to it when it opens; later ones go to the log at once.
void warn(const std::string& message);

// Where warning lines go in the log (the Reporter installs this when it opens the log): called
// with each kept line, then with every later one. An empty function stops it (tests).
void setWarningLog(std::function<void(const std::string& line)> log);

// Forgets the kept warnings; only tests call this.
void clearWarningsForTesting();
