// Saved mail handed to --judge may be any file: the reader must take any bytes, keep each header
// within its bound, and, for a file that is one message, count exactly the size that a server
// with CR LF line ends would report.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "driver/saved_mail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream input(text);
  int64_t total = 0;
  size_t messages = 0;
  std::string error;
  const bool read = readSavedStream(
      input, "fuzz",
      [&](const SavedMessage& m) {
        ++messages;
        total += m.size;
        const std::string end = "\r\n.\r\n";
        if (m.header.size() < end.size() ||
            m.header.compare(m.header.size() - end.size(), end.size(), end) != 0) {
          std::abort();
        }
        if (m.header.size() > kMaxSavedHeader + end.size() || m.size < 0) std::abort();
        if (m.header_too_long && m.header != end) std::abort();
      },
      error);
  if (!read || messages == 0) std::abort();
  if (text.rfind("From ", 0) != 0) {
    // One message: every bare LF becomes CR LF, nothing else changes.
    int64_t expected = static_cast<int64_t>(size);
    for (size_t i = 0; i < size; ++i) {
      if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) ++expected;
    }
    if (messages != 1 || total != expected) std::abort();
  } else if (total > static_cast<int64_t>(2 * size)) {
    std::abort();
  }
  return 0;
}
