#pragma once

#include <functional>
#include <stdexcept>
#include <string>

// Every fatal configuration error ends up here: the text (complete, with its line ends) goes to
// standard error and the process exits with the status. Tests and fuzzers install a handler that
// throws instead, so they can observe the error without the process ending.
[[noreturn]] void failFatal(const std::string& text, int status);

// One line "pollensift: Error: " + message, then exit with status -1.
[[noreturn]] void fatalError(const std::string& message);

// The handler receives the text and status; it must not return (throw FatalExit, for instance).
using FatalHandler = std::function<void(const std::string& text, int status)>;
void setFatalHandler(FatalHandler handler);

// What the test handler throws.
struct FatalExit : std::runtime_error {
  FatalExit(const std::string& text, int status) : std::runtime_error(text), status(status) {}
  int status;
};
