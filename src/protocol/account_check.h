#pragma once

#include "config/mail_account.h"

// Visits the account's mailbox: connect, login, status, scan, quit, close. 0, or -1 after
// reporting why.
int checkAccount(const MailAccount& account);
