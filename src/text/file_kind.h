#pragma once

#include <sys/types.h>

#include <string>

// Why a file of this mode cannot serve as an rc, log or headers file ("is a directory", "is a
// FIFO, not a regular file", ...), or nullptr when it can. A FIFO or socket would block the run;
// character devices (a terminal, /dev/null) are accepted only where devices_allowed.
const char* fileKindProblem(mode_t mode, bool devices_allowed);

// The same for the file at path, when it exists; nullptr when it does not (opening it then tells).
const char* pathKindProblem(const std::string& path, bool devices_allowed);

// The directory that holds path: "." for a bare name, "/" for a name at the root.
std::string parentDirectory(const std::string& path);
