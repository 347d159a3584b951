#pragma once

#include <string_view>

// One line of a POP3 multi-line reply, given without its LF, as the message held it: the CR of
// its line end removed, and the leading "." that dot-stuffing added. A line that is a lone "."
// ended by a bare LF is no stuffed line (a stuffing server sends "..") and no terminator (that
// is "." CR LF): it stays ".". The terminator itself is the caller's to recognise.
std::string_view unstuffedLine(std::string_view line);
