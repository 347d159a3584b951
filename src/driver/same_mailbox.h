#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "config/mail_account.h"

// Two accounts of a run reach the same mailbox when they reach the same server on the same port
// as the same user: a server address the two names share, and user names equal but for case (as
// most servers compare them, and the safe way for a refusal). Checked twice, the second pass of
// DEL_DUPLICATES would take every message for a copy of itself. The same server on another port
// (its TLS port, say) is caught later, by the server's own evidence (see the scan).
using Resolve = std::function<std::vector<std::string>(const std::string& host)>;

// For each account, the index of the earlier account whose mailbox it reaches again, or
// kNoEarlier. Only accounts that share a port and a user with an earlier one are looked up.
constexpr size_t kNoEarlier = static_cast<size_t>(-1);
std::vector<size_t> earlierSameMailbox(const std::vector<MailAccount>& accounts,
                                       const Resolve& resolve);

// The error line that skips account, which reaches the mailbox of earlier again.
std::string sameMailboxLine(const MailAccount& account, const MailAccount& earlier);
