#pragma once

#include <string>

class MessageHeader;

// Fills header from the header text of a TOP reply (status line removed). 0 parsed; 1 stopped
// without error; -1 text or record missing; negative when the header was malformed (the cause has
// been reported) or an exception left the parse. The record must not be filtered unless >= 0.
int parseHeader(const std::string* text, MessageHeader* header);
