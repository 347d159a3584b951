#pragma once

// The parts of the scan that its files share: pop3_scan.cpp (the window of commands) and
// pop3_message.cpp (one message's verdict and its quarantined copy).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/command_window.h"

// A status line, or a TOP reply's status line, dot-stuffing and "." line beyond its header.
inline constexpr size_t kShortReply = 64;

// The error line of a command of kind that could not be sent or whose reply did not come.
const char* failure(PendingCommand::Kind kind);

// The header of a TOP reply as it is parsed: past the status line, ending at its first empty
// line, as in saved mail (a server that ignores TOP's line count sends the body after it, which
// is then left out, and *left_out says so), with line ends of more than one CR made CR LF as saved
// mail reads them; in *buffer where it had to be rebuilt. nullopt where the header has no empty
// line yet is shorter than the message's listed size: it was cut short by a "." line inside it,
// and what follows would be read as later replies.
std::optional<std::string_view> headerOf(const std::string& reply, int size, std::string* buffer,
                                         bool* left_out = nullptr);
