#pragma once

#include <string>
#include <string_view>

class MessageHeader;

// Fills header from the header text of a TOP reply (status line removed). 0 parsed; 1 stopped
// without error; -1 text or record missing; -2 an exception left the parse (a Message-ID of the
// wrong form); -3 the header is not well formed. -2 and -3 have been reported already. The record
// must not be filtered unless the result is >= 0.
int parseHeader(const std::string* text, MessageHeader* header);
// The same for header text that lives inside a larger buffer (a reply read whole).
int parseHeader(std::string_view text, MessageHeader* header);

// parseHeader's result for a header refused for its Message-ID (or another exception).
constexpr int kWrongMessageId = -2;

// The line that follows a header refused for its Message-ID: names message `which` by its From
// and Subject (as a run with -i would read them, cut to a readable length) and says that -i
// accepts such IDs.
std::string wrongMessageIdNotice(std::string_view which, std::string_view text);
