#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reading the parts of POP3 replies that the scan relies on. Everything here comes from the
// server, so nothing is believed that does not have exactly the expected form.

// The count of a STAT reply: the leading digits of its second word, or of its only word.
int statCount(std::string_view reply);

// The size in "+OK n size ..." (a reply to LIST n) or "n size ..." (a line of the listing),
// where n must be number and size a decimal number; anything may follow. Sizes beyond INT_MAX
// read as INT_MAX.
std::optional<int> listedSize(std::string_view reply, int number);

// The sizes of a multi-line LIST reply that lists exactly the messages 1..count, in order;
// nullopt for any other listing.
std::optional<std::vector<int>> listedSizes(std::string_view reply, int count);

// The status line of a reply without its line end, to quote the server's words in a message;
// the secrets the Reporter hides are hidden.
std::string statusLine(std::string_view reply);
