#include "driver/saved_mail.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

#include "header/line_ends.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "quarantine/quarantine.h"
#include "report/reporter.h"
#include "text/compare.h"

namespace {

// Cuts a stream into lines without ever holding more of a line than the caller keeps: a file may
// be one endless line.
class LineReader {
 public:
  // The buffer is left unset: only what a read put there is ever looked at, and setting 64 KiB
  // for each small message file of a Maildir cost more than reading it.
  explicit LineReader(std::istream& input)
      : input_(input), buffer_(std::make_unique_for_overwrite<char[]>(kBufferBytes)) {}

  // The next line: its first `keep` bytes in text and its whole length, both without the line
  // end (a LF and any CRs before it); terminated tells whether a LF ended it. False at the end of
  // the input.
  bool next(size_t keep, std::string& text, uint64_t& length, bool& terminated) {
    text.clear();
    length = 0;
    terminated = false;
    extra_crs_ = 0;
    char last = '\0';
    bool any = false;
    while (pos_ < end_ || fill()) {
      any = true;
      const char* start = buffer_.get() + pos_;
      const size_t available = end_ - pos_;
      const void* found = std::memchr(start, '\n', available);
      const size_t piece = found ? static_cast<const char*>(found) - start : available;
      if (text.size() < keep) text.append(start, std::min(piece, keep - text.size()));
      if (piece > 0) last = start[piece - 1];
      length += piece;
      pos_ += piece;
      if (found) {
        ++pos_;
        terminated = true;
        break;
      }
    }
    if (terminated && last == '\r') {
      if (text.size() == length) text.pop_back();
      --length;
      // Any CR before the CR LF belongs to the line end too, as where a server sends the line.
      // They still count in the message's size, which is that of the bytes stored.
      if (text.size() == length) {
        const size_t kept = withoutLineEnd(text).size();
        extra_crs_ = text.size() - kept;
        length -= extra_crs_;
        text.resize(kept);
      }
    }
    return any;
  }

  // The CRs before the CR LF that next() took into the last line's end.
  size_t extraCrs() const { return extra_crs_; }

  bool failed() const { return input_.bad(); }

 private:
  bool fill() {
    if (!input_) return false;
    input_.read(buffer_.get(), static_cast<std::streamsize>(kBufferBytes));
    pos_ = 0;
    end_ = static_cast<size_t>(input_.gcount());
    return end_ > 0;
  }

  static constexpr size_t kBufferBytes = size_t{1} << 16;

  std::istream& input_;
  std::unique_ptr<char[]> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  size_t extra_crs_ = 0;
};

// Builds one message from its lines: the header as TOP n 0 shows it, the size as LIST counts it.
class MessageBuilder {
 public:
  explicit MessageBuilder(std::string origin) { message_.origin = std::move(origin); }

  // How much of the next line to keep.
  size_t keep() const {
    return in_header_ ? kMaxSavedHeader - std::min(kMaxSavedHeader, message_.header.size()) : 256;
  }
  bool afterBlankLine() const { return blank_pending_; }

  // extra_crs: CRs before the line's CR LF, not in length but in the bytes stored.
  void add(const std::string& text, uint64_t length, bool terminated, size_t extra_crs) {
    settleBlank();
    if (terminated && length == 0) {
      // Held back: in an mbox the blank line before a "From " line belongs to no message.
      blank_pending_ = true;
      blank_extra_ = extra_crs;
      in_header_ = false;
      return;
    }
    message_.size += static_cast<int64_t>(length + extra_crs) + (terminated ? 2 : 0);
    if (!in_header_) return;
    // Dot-stuffed as a server sends it: the header reader takes a line's first full stop away.
    const bool stuffed = !text.empty() && text[0] == '.';
    if (text.size() < length ||
        message_.header.size() + stuffed + text.size() + 2 > kMaxSavedHeader) {
      message_.header_too_long = true;
    }
    if (!message_.header_too_long) {
      if (stuffed) message_.header += '.';
      message_.header += text;
      message_.header += "\r\n";
    }
  }

  // keep_blank: whether a blank last line is part of the message (not in an mbox).
  SavedMessage& finish(bool keep_blank) {
    if (keep_blank) settleBlank();
    if (message_.header_too_long) message_.header.clear();
    message_.header += "\r\n.\r\n";
    return message_;
  }

 private:
  void settleBlank() {
    if (blank_pending_) message_.size += 2 + static_cast<int64_t>(blank_extra_);
    blank_pending_ = false;
    blank_extra_ = 0;
  }

  SavedMessage message_;
  bool in_header_ = true;
  bool blank_pending_ = false;
  size_t blank_extra_ = 0;
};

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// An mbox body line ">From ", ">>From " ... stands for the same line with one ">" less.
bool isEscapedFrom(std::string_view text) {
  const size_t arrows = text.find_first_not_of('>');
  return arrows != 0 && arrows != std::string_view::npos &&
         startsWith(text.substr(arrows), "From ");
}

std::string reason(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool readFile(const std::string& path, const SavedMessageVisitor& visit, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    error = reason(path);
    return false;
  }
  return readSavedStream(file, path, visit, error);
}

// The files of a Maildir's cur/ and new/, in the order of their names. A file that cannot be read
// is told to fault, and the rest are read.
bool readMaildir(const std::string& path, const SavedMessageVisitor& visit,
                 const SavedMailFault& fault) {
  std::vector<std::pair<std::string, std::string>> files;  // (name, full path)
  bool found_subdirectory = false;
  for (const char* sub : {"cur", "new"}) {
    const std::string directory = path + "/" + sub;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(directory.c_str()), closedir);
    if (!listing) {
      if (errno == ENOENT) continue;
      fault(reason(directory));
      return false;
    }
    found_subdirectory = true;
    while (const dirent* entry = readdir(listing.get())) {
      if (entry->d_name[0] == '.') continue;
      const std::string full = directory + "/" + entry->d_name;
      struct stat status {};
      if (stat(full.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        files.emplace_back(entry->d_name, full);
      }
    }
  }
  if (!found_subdirectory) {
    fault(path + ": a directory without cur/ or new/, so not a Maildir");
    return false;
  }
  std::sort(files.begin(), files.end());
  bool all_read = true;
  for (const auto& [name, full] : files) {
    std::string error;
    if (!readFile(full, visit, error)) {
      fault(error);
      all_read = false;
    }
  }
  return all_read;
}

}  // namespace

bool readSavedStream(std::istream& input, const std::string& origin,
                     const SavedMessageVisitor& visit, std::string& error) {
  LineReader lines(input);
  std::string text;
  uint64_t length = 0;
  bool terminated = false;
  std::unique_ptr<MessageBuilder> message;
  bool mbox = false;
  uint64_t line_number = 0;
  while (lines.next(message ? message->keep() : kMaxSavedHeader, text, length, terminated)) {
    ++line_number;
    if (line_number == 1) mbox = startsWith(text, "From ");
    if (mbox && startsWith(text, "From ") && (!message || message->afterBlankLine())) {
      if (message) visit(message->finish(false));
      message = std::make_unique<MessageBuilder>(origin + ":" + std::to_string(line_number));
      continue;
    }
    if (!message) message = std::make_unique<MessageBuilder>(origin);
    if (mbox && isEscapedFrom(text)) {
      text.erase(0, 1);
      --length;
    }
    message->add(text, length, terminated, lines.extraCrs());
  }
  if (lines.failed()) {
    error = origin + ": read error";
    return false;
  }
  // An empty file is one empty message, as a server would show it.
  if (!message) message = std::make_unique<MessageBuilder>(origin);
  visit(message->finish(!mbox));
  return true;
}

namespace {

// The header without the field the quarantine added (with its continuation lines): it tells the
// old verdict, which rules and tokens must not see. How many bytes went in removed.
std::string withoutVerdictField(std::string_view header, size_t& removed) {
  std::string kept;
  bool dropping = false;
  size_t at = 0;
  while (at < header.size()) {
    const size_t end = header.find('\n', at);
    const size_t next = end == std::string_view::npos ? header.size() : end + 1;
    const std::string_view line = header.substr(at, next - at);
    const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!continuation) {
      dropping = line.size() > kVerdictField.size() && line[kVerdictField.size()] == ':' &&
                 equalsIgnoreCase(line.substr(0, kVerdictField.size()), kVerdictField);
    }
    // The header's end ("" and ".") is never part of a field.
    if (dropping && line != "\r\n") {
      removed += line.size();
    } else {
      dropping = false;
      kept.append(line);
    }
    at = next;
  }
  return kept;
}

}  // namespace

bool parseSavedHeader(const SavedMessage& message, const std::string& number, const char* verb,
                      MessageHeader& header, bool* quarantine_copy) {
  Reporter& reporter = Reporter::instance();
  if (message.header_too_long) {
    reporter.error("The header of message " + number + " (" + message.origin +
                       ") is longer than " + std::to_string(kMaxSavedHeader) + " bytes; it is not " +
                       verb + ".",
                   1);
    return false;
  }
  size_t removed = 0;
  const std::string text = withoutVerdictField(message.header, removed);
  if (quarantine_copy != nullptr) *quarantine_copy = removed > 0;
  const int64_t size = message.size - static_cast<int64_t>(removed);
  header.setSize(size > INT_MAX ? INT_MAX : static_cast<int>(size));
  if (parseHeader(text, &header) < 0) {
    reporter.error("Parsing the header of message " + number + " failed.", 1);
    return false;
  }
  // Learning takes no Message-ID, so it has nothing to say about one.
  if (header.wrongMessageId() && std::string_view(verb) == "judged") {
    reporter.print("Warning: " + wrongMessageIdNotice(number + " of " + message.origin, header),
                   4);
  }
  return true;
}

bool readSavedMail(const std::string& path, const SavedMessageVisitor& visit,
                   const SavedMailFault& fault) {
  std::string error;
  struct stat status {};
  if (path == "-") {
    if (!readSavedStream(std::cin, "standard input", visit, error)) fault(error);
  } else if (stat(path.c_str(), &status) != 0) {
    error = reason(path);
    fault(error);
  } else if (S_ISDIR(status.st_mode)) {
    return readMaildir(path, visit, fault);
  } else if (!S_ISREG(status.st_mode)) {
    error = path + ": not a regular file, a Maildir or -";
    fault(error);
  } else if (!readFile(path, visit, error)) {
    fault(error);
  }
  return error.empty();
}
