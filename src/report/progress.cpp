#include "report/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string_view>

#include "report/reporter.h"
#include "text/escape.h"

namespace {

// A quick scan shows nothing; a long one is redrawn a few times a second, not for each message.
constexpr auto kQuietStart = std::chrono::seconds(2);
constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

// The width of the line on the terminal now (0 when none is shown). Read by the signal handler.
volatile std::sig_atomic_t shown_width = 0;

// What was shown is overwritten with blanks rather than a terminal's erase sequence, so this
// works on any terminal that knows a carriage return.
void writeOver(std::string_view text, size_t width) {
  std::string line = "\r";
  line += text;
  if (text.size() < width) line.append(width - text.size(), ' ');
  if (text.empty()) line += '\r';
  std::fflush(stdout);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Columns the terminal has, less one so the cursor never wraps to a line "\r" cannot reach.
size_t usableColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col - 1;
  return 79;
}

// text cut to at most columns bytes, not inside a UTF-8 character.
std::string_view fitted(std::string_view text, size_t columns) {
  if (text.size() <= columns) return text;
  size_t end = columns;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Draws text over the line shown, fitted to the terminal.
void drawLine(const std::string& text) {
  const std::string_view line = fitted(text, usableColumns());
  const size_t before = static_cast<size_t>(shown_width);
  shown_width = 0;
  writeOver(line, before);
  shown_width = static_cast<std::sig_atomic_t>(line.size());
}

}  // namespace

ScanProgress::ScanProgress(std::string account, int total, int level, bool test)
    : account_(escapeControls(account)),
      total_(total),
      enabled_(level >= 3 && isatty(STDERR_FILENO) == 1),
      // A job of several at once draws nothing itself: its lines are shown later, in turn, and
      // the running process shows one line for all the jobs.
      in_job_(Reporter::instance().diverted()),
      test_(test),
      start_(Clock::now()) {}

ScanProgress::~ScanProgress() {
  eraseProgress();
}

void ScanProgress::update(int judged, int deleted) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (in_job_) {
    // The running process decides when to draw; it is told a few times a second at most.
    if (now - drawn_ < kRedrawEvery) return;
    drawn_ = now;
    Reporter::instance().divertProgress(judged, deleted, total_);
    return;
  }
  if (now - start_ < kQuietStart || now - drawn_ < kRedrawEvery) return;
  drawn_ = now;
  drawLine("Scanning " + account_ + ": " + std::to_string(judged) + " of " +
           std::to_string(total_) + " judged, " + std::to_string(deleted) +
           (test_ ? " would be deleted" : " deleted"));
}

JobsProgress::JobsProgress(int level, bool test)
    : enabled_(level >= 3 && isatty(STDERR_FILENO) == 1), test_(test), start_(Clock::now()) {}

JobsProgress::~JobsProgress() { eraseProgress(); }

void JobsProgress::set(size_t index, const std::string& counts) {
  if (!enabled_) return;
  if (counts_.size() <= index) counts_.resize(index + 1);
  Counts& account = counts_[index];
  if (std::sscanf(counts.c_str(), "%lld %lld %lld", &account.judged, &account.deleted,
                  &account.total) != 3) {
    return;
  }
  account.running = true;
  draw();
}

void JobsProgress::ended(size_t index) {
  if (index < counts_.size()) counts_[index].running = false;
}

void JobsProgress::draw() {
  const Clock::time_point now = Clock::now();
  if (now - start_ < kQuietStart || now - drawn_ < kRedrawEvery) return;
  drawn_ = now;
  long long accounts = 0;
  Counts sum;
  for (const Counts& account : counts_) {
    if (!account.running) continue;
    ++accounts;
    sum.judged += account.judged;
    sum.deleted += account.deleted;
    sum.total += account.total;
  }
  if (accounts == 0) return;
  drawLine("Scanning " + std::to_string(accounts) +
           (accounts == 1 ? " account: " : " accounts: ") + std::to_string(sum.judged) + " of " +
           std::to_string(sum.total) + " judged, " + std::to_string(sum.deleted) +
           (test_ ? " would be deleted" : " deleted"));
}

void eraseProgress() {
  const size_t width = static_cast<size_t>(shown_width);
  if (width == 0) return;
  shown_width = 0;
  writeOver("", width);
}

void eraseProgressInHandler() {
  size_t width = static_cast<size_t>(shown_width);
  if (width == 0) return;
  shown_width = 0;
  char blanks[64];
  for (char& c : blanks) c = ' ';
  if (::write(STDERR_FILENO, "\r", 1) < 0) return;
  while (width > 0) {
    const size_t n = width < sizeof blanks ? width : sizeof blanks;
    if (::write(STDERR_FILENO, blanks, n) < 0) return;
    width -= n;
  }
  if (::write(STDERR_FILENO, "\r", 1) < 0) return;
}
