#include "config/mail_account.h"
#include "report/reporter.h"

int MailAccount::check() {
  // The mailbox dialogue is not built yet: never pretend an account was checked.
  Reporter::instance().error("Checking mailboxes is not supported by this build.", 1);
  return -1;
}
