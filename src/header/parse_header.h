#pragma once

#include <string>
#include <string_view>

class MessageHeader;

// Fills header from the header text of a TOP reply (status line removed). 0 parsed; 1 stopped
// without error; -1 text or record missing; -2 an exception left the parse (a header beyond
// memory); -3 the header is not well formed. -2 and -3 have been reported already. The record
// must not be filtered unless the result is >= 0. A Message-ID of the wrong form does not stop the
// parse: it has been reported, and header->wrongMessageId() tells it.
int parseHeader(const std::string* text, MessageHeader* header);
// The same for header text that lives inside a larger buffer (a reply read whole).
int parseHeader(std::string_view text, MessageHeader* header);

// The line that follows the report of a Message-ID of the wrong form: names message `which` by
// the header's From and Subject (cut to a readable length) and says that -i accepts such IDs.
std::string wrongMessageIdNotice(std::string_view which, const MessageHeader& header);
