#pragma once

#include <string>
#include <string_view>

// Control characters (other than tab; line ends too when keep_line_ends) as "\xNN", so that text
// from mail headers, servers or files can neither drive the terminal nor forge a line.
std::string escapeControls(std::string_view text, bool keep_line_ends = false);
