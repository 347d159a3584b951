#pragma once

#include <functional>

#include "config/mail_account.h"

// Visits the account's mailbox: connect, login, status, scan, quit, close. 0, or -1 after
// reporting why.
int checkAccount(const MailAccount& account);

// In a job checked in a process of its own: asked just before QUIT. False (the process that runs
// the jobs is gone, so no log would show what QUIT carries out) drops the connection without it.
void guardQuit(std::function<bool()> may_quit);
