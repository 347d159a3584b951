#include "config/mail_account.h"

int remaining_total = 0;
RunTotals run_totals;
