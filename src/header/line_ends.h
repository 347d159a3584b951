#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Line ends of mail as servers send it. A message stored with CR LF line ends is served by several
// servers with "\r\r\n": a CR before the CR LF belongs to the line end, and a line that is nothing
// but CR is empty. Saved mail and the scan read line ends alike through these.

// line without its line end: a final LF and every CR before it (or, without a LF, every final CR).
std::string_view withoutLineEnd(std::string_view line);

// Where the header in text ends: just past the line end of its last line, when an empty line
// follows (0 when text begins with one); npos when text has none.
size_t headerEnd(std::string_view text);

// text with every line end of two or more CRs before its LF written CR LF into *out (a CR LF or a
// bare LF stays as it is); false, leaving *out alone, where text has no such line end.
bool withSingleCarriageReturns(std::string_view text, std::string* out);
