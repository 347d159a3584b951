#pragma once

#include <string>
#include <string_view>

// Control characters (other than tab; line ends too when keep_line_ends) as "\xNN", so that text
// from mail headers, servers or files can neither drive the terminal nor forge a line. That holds
// for C1 controls too, raw or UTF-8 encoded (each byte escaped), and for the bidirectional
// controls (U+202E and its kind, each byte escaped); other UTF-8 text stays as it is.
std::string escapeControls(std::string_view text, bool keep_line_ends = false);

// A server's or a message's text as one terminal line shows it: escapeControls, and the Unicode
// controls that reorder or hide text besides (bidirectional marks, embeddings, overrides and
// isolates) as "\u202e"; text past limit bytes is cut off, with "... (n more bytes)".
std::string escapeShownText(std::string_view text, size_t limit);
