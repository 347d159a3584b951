#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "config/mail_account.h"

// The check of one account as the run loop does it: its querying line, the check, and the
// skipping line when it failed. 0, or -1 when it failed.
using AccountTurn = std::function<int(MailAccount&)>;

// Checks the accounts with up to jobs of them at the same time, each in a process of its own with
// its own connection, and gives the run's result (0, or -1 when a check failed); remaining_total
// gets every account's count. The log and the terminal show the lines of each account together,
// in the order of accounts, as one account after another would. With DEL_DUPLICATES an account's
// messages are judged only once every account before it is done, with their Message-IDs, so the
// verdicts are the same too. With STATEFILE the running process alone holds the lock and writes the file, so the file ends
// as one account after another would leave it.
int checkAccountsAtOnce(std::vector<MailAccount>& accounts, int jobs, const AccountTurn& turn);

// In a job's own process: SIGINT and SIGTERM end it at once and silently (no QUIT), leaving in
// *undone the deletions its session leaves undone, for the running process to tell.
bool installJobInterruptHandlers(std::atomic<int>* undone);
// In the running process while jobs run: SIGINT and SIGTERM write the signal number to fd, a
// pipe its loop watches; the loop ends the jobs, shows their lines and then calls onInterrupt.
bool installJobsWatch(int fd);
