#pragma once

#include <string>

// Some expressions make the C library's compile spend minutes on empty steps (zero-width parts
// under repetitions) in ways no count of the expression foretells exactly. Such an expression is
// compiled once in a child process first, given a bounded time.
enum class TrialCompile { kInTime, kTooSlow, kCrashed };

// Compiles expression with flags in a child process and waits at most milliseconds for it. When
// no child can be started the answer is kInTime: the caller compiles as it would have anyway.
TrialCompile trialCompile(const std::string& expression, int flags, int milliseconds);
