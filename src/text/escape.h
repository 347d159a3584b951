#pragma once

#include <string>
#include <string_view>

// Control characters (other than tab; line ends too when keep_line_ends) as "\xNN", so that text
// from mail headers, servers or files can neither drive the terminal nor forge a line. That holds
// for C1 controls too, raw or UTF-8 encoded (each byte escaped), and for the bidirectional
// controls (U+202E and its kind, each byte escaped); other UTF-8 text stays as it is.
std::string escapeControls(std::string_view text, bool keep_line_ends = false);
