#include "protocol/server_words.h"

#include <string_view>

#include "protocol/replies.h"
#include "text/compare.h"

namespace {

// Long enough for every real refusal seen; a hostile server cannot fill the log with one.
constexpr size_t kShownBytes = 200;

struct ResponseCode {
  std::string_view code;
  std::string_view meaning;
};

// The response codes a POP3 server may put in brackets after "-ERR" when a login fails.
constexpr ResponseCode kLoginCodes[] = {
    {"AUTH", "the user name, password or token was not accepted"},
    {"IN-USE", "another client has the mailbox open; try again later"},
    {"LOGIN-DELAY", "the provider limits how often you may log in; wait longer between runs"},
    {"SYS/TEMP", "a temporary fault on the server; try again later"},
    {"SYS/PERM", "a lasting fault on the server or the account; ask the provider"},
};

// The code between '[' and ']' right after the status word, or nothing.
std::string_view responseCode(std::string_view line) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || space + 1 >= line.size() || line[space + 1] != '[') {
    return {};
  }
  const size_t close = line.find(']', space);
  if (close == std::string_view::npos) return {};
  return line.substr(space + 2, close - space - 2);
}

}  // namespace

std::string serverWordsLine(std::string_view reply, bool login_step, std::string_view lead) {
  // Secrets the server quotes are hidden before the cut, which could leave a part of one.
  const std::string line = statusLine(reply);
  if (line.find_first_not_of(" \t", line.starts_with("-ERR") ? 4 : 0) == std::string_view::npos) {
    return {};
  }
  std::string text(lead);
  if (line.size() > kShownBytes) {
    text.append(line.substr(0, kShownBytes)).append("...");
  } else {
    text.append(line);
  }
  if (login_step) {
    const std::string_view code = responseCode(line);
    for (const ResponseCode& known : kLoginCodes) {
      if (!code.empty() && equalsIgnoreCase(code, known.code)) {
        text.append(" (").append(known.meaning).append(")");
        break;
      }
    }
  }
  return text;
}
