#include "report/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string_view>

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

}  // namespace

ScanProgress::ScanProgress(std::string account, int total, int level, bool test)
    : account_(escapeControls(account)),
      total_(total),
      enabled_(level >= 3 && isatty(STDERR_FILENO) == 1),
      test_(test),
      start_(Clock::now()) {}

ScanProgress::~ScanProgress() {
  eraseProgress();
}

void ScanProgress::update(int judged, int deleted) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < kQuietStart || now - drawn_ < kRedrawEvery) return;
  drawn_ = now;
  const std::string text = "Scanning " + account_ + ": " + std::to_string(judged) + " of " +
                           std::to_string(total_) + " judged, " + std::to_string(deleted) +
                           (test_ ? " would be deleted" : " deleted");
  const std::string_view line = fitted(text, usableColumns());
  const size_t before = static_cast<size_t>(shown_width);
  shown_width = 0;
  writeOver(line, before);
  shown_width = static_cast<std::sig_atomic_t>(line.size());
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
