#include <signal.h>
#include <unistd.h>

#include <ctime>

#include "driver/driver.h"
#include "protocol/protocol.h"
#include "report/progress.h"

namespace {

// Set before the handlers are installed, read inside them.
int log_fd = -1;
long utc_offset = 0;
bool report_deletions = false;

// A small fixed buffer the handler fills without allocating.
struct Line {
  char text[256];
  size_t size = 0;
  void add(const char* s) {
    while (*s != '\0' && size < sizeof text) text[size++] = *s++;
  }
  void addNumber(unsigned value, int width) {
    char digits[12];
    int d = 0;
    do {
      digits[d++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && d < 12);
    while (d < width) digits[d++] = '0';
    while (d > 0 && size < sizeof text) text[size++] = digits[--d];
  }
};

// The local time stamp ("Dec 10 14:05:09") from the clock and the offset taken at start-up:
// localtime and strftime are not safe inside a signal handler.
void addStamp(Line& line) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long long local = static_cast<long long>(time(nullptr)) + utc_offset;
  long long days = local / 86400;
  long long seconds = local % 86400;
  if (seconds < 0) seconds += 86400, days -= 1;
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  line.add(kMonths[month - 1]);
  line.add(" ");
  line.addNumber(day, 2);
  line.add(" ");
  line.addNumber(static_cast<unsigned>(seconds / 3600), 2);
  line.add(":");
  line.addNumber(static_cast<unsigned>(seconds / 60 % 60), 2);
  line.add(":");
  line.addNumber(static_cast<unsigned>(seconds % 60), 2);
}

void writeAll(int fd, const Line& line) {
  size_t done = 0;
  while (done < line.size) {
    const ssize_t n = ::write(fd, line.text + done, line.size - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The line on standard output, and the same after a time stamp in the log.
void writeLine(const Line& message) {
  writeAll(STDOUT_FILENO, message);
  if (log_fd < 0) return;
  Line logged;
  addStamp(logged);
  logged.add(" ");
  for (size_t i = 0; i < message.size && logged.size < sizeof logged.text; ++i) {
    logged.text[logged.size++] = message.text[i];
  }
  writeAll(log_fd, logged);
}

// What the interrupted account's session leaves undone: without QUIT the server carries out none
// of the deletions the log has shown.
void writeUndoneDeletions() {
  const int count = deletions_awaiting_quit.load();
  Line line;
  if (count <= 0) {
    line.add("pollensift: No deletion of the interrupted account is left undone.\n");
  } else {
    line.add("pollensift: ");
    line.addNumber(static_cast<unsigned>(count), 1);
    line.add(" deletion(s) logged for the interrupted account are not carried out, since no QUIT "
             "was sent: the server keeps those messages.\n");
  }
  writeLine(line);
}

}  // namespace

void onInterrupt(int signal_number) {
  // Only async-signal-safe calls here: no stdio, no allocation.
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);

  eraseProgressInHandler();
  Line message;
  message.add("pollensift: Error: Program abort due to signal ");
  message.addNumber(signal_number < 0 ? 0u : static_cast<unsigned>(signal_number), 1);
  message.add(".\n");
  writeLine(message);
  if (report_deletions) writeUndoneDeletions();
  _exit(-1);
}

bool installInterruptHandlers(int log_descriptor, bool deletions) {
  log_fd = log_descriptor;
  report_deletions = deletions;
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  utc_offset = local.tm_gmtoff;

  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  // SIGTERM is what cron, systemd and kill send; it ends the run like SIGINT, without QUIT, so
  // the server deletes nothing.
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}
