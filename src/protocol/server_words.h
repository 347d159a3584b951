#pragma once

#include <string>
#include <string_view>

// The line that shows a user what the server answered to a refused command: its first line, cut
// at a length a terminal line can hold. For a login step, a response code in brackets
// ("[IN-USE]", "[AUTH]", ...) is explained in plain words. The Reporter's secrets are hidden;
// control characters are left to the Reporter, which escapes them. Empty when the reply says
// nothing beyond its status indicator.
std::string serverWordsLine(std::string_view reply, bool login_step,
                            std::string_view lead = "The server replied: ");
