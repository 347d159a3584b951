// Living with the quarantine: listing what it holds, releasing messages as an mbox, and removing
// what has been kept long enough.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "quarantine/quarantine.h"
#include "quarantine/quarantine_folder.h"
#include "text/escape.h"
#include "text/file_kind.h"

namespace {

// Enough for the header of any message worth listing, after the verdict field; a hostile header
// cannot fill the memory.
constexpr size_t kListedBytes = 64 * 1024;
// The verdict field quotes the matched header line, which may be as long as a header may be: it
// is read whole up to this, so that the account and time at its end are found.
constexpr size_t kLongestVerdict = 64 * 1024 * 1024;
// Longest From or Subject shown, in bytes before escaping; and longest reason.
constexpr size_t kShownField = 60;
constexpr size_t kShownReason = 200;
// A file left in tmp/ this long is no delivery in progress (the Maildir convention).
constexpr std::time_t kStaleUnfinished = 36 * 3600;

std::string quoted(const std::string& path) {
  return "'" + escapeControls(path) + "'";
}

std::string systemProblem(const std::string& path, int error) {
  return quoted(path) + ": " + std::strerror(error) + ".";
}

struct FileText {
  std::string bytes;
  timespec modified{};
};

// Where the verdict field at the top of text ends (past its line end and its continuations): 0
// without the field, npos when text ends before the field does.
size_t verdictFieldEnd(std::string_view text) {
  const std::string_view name = kVerdictField;
  if (text.size() <= name.size() || text[name.size()] != ':' ||
      text.substr(0, name.size()) != name) {
    return 0;
  }
  size_t end = text.find('\n');
  while (end != std::string_view::npos && end + 1 < text.size() &&
         (text[end + 1] == ' ' || text[end + 1] == '\t')) {
    end = text.find('\n', end + 1);
  }
  return end == std::string_view::npos || end + 1 == text.size() ? std::string_view::npos : end + 1;
}

// Reads the first limit bytes of the regular file at path: 0, the errno of the failure, or -1
// when it is no regular file (*kind then says what it is). Opened without blocking, so that a
// FIFO put in its place cannot stop the program.
int readFile(const std::string& path, size_t limit, bool follow_links, FileText* text,
             const char** kind) {
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) return errno;
  int result = 0;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    result = errno;
  } else if ((*kind = fileKindProblem(info.st_mode, false)) != nullptr) {
    result = -1;
  }
  text->modified = info.st_mtim;
  text->bytes.clear();
  char buffer[16384];
  while (result == 0 && text->bytes.size() < limit) {
    const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - text->bytes.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) result = errno;
    if (got <= 0) break;
    text->bytes.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return result;
}

// The lines of text, each without its line end (LF, or CR LF).
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}
  bool next(std::string_view* line) {
    if (rest_.empty()) return false;
    const size_t end = rest_.find('\n');
    *line = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    return true;
  }
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

bool isContinuation(std::string_view line) {
  return !line.empty() && (line.front() == ' ' || line.front() == '\t');
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The value of line when it is a field called name (letter case aside), else false.
bool fieldValue(std::string_view line, std::string_view name, std::string* value) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if ((line[i] | 0x20) != (name[i] | 0x20)) return false;
  }
  *value = std::string(trimmed(line.substr(name.size() + 1)));
  return true;
}

// What the verdict field at the top of a quarantined message says.
struct Verdict {
  bool present = false;  // the message begins with the field
  bool dated = false;    // its account and time could be read
  std::string reason, account;
  std::time_t when = 0;
};

// The reason may hold parentheses itself, so the account and time are the last " (...)".
Verdict readVerdict(std::string_view first_line) {
  Verdict verdict;
  if (!fieldValue(first_line, kVerdictField, &verdict.reason)) return verdict;
  verdict.present = true;
  const std::string value = verdict.reason;
  const size_t open = value.rfind(" (");
  if (open == std::string::npos || value.back() != ')') return verdict;
  const std::string inside = value.substr(open + 2, value.size() - open - 3);
  const size_t comma = inside.rfind(", ");
  if (comma == std::string::npos) return verdict;
  const std::string stamp = inside.substr(comma + 2);
  std::tm local{};
  const char* end = ::strptime(stamp.c_str(), "%Y-%m-%d %H:%M", &local);
  if (end == nullptr || *end != '\0' || stamp.size() != 16) return verdict;
  local.tm_isdst = -1;
  verdict.when = std::mktime(&local);
  verdict.dated = true;
  verdict.account = inside.substr(0, comma);
  verdict.reason = value.substr(0, open);
  return verdict;
}

std::time_t whenHeld(const Verdict& verdict, const FileText& text) {
  return verdict.dated ? verdict.when : text.modified.tv_sec;
}

// From and Subject of the header at the top of text (after the verdict field), unfolded.
void readHeader(Lines lines, HeldMessage* held) {
  std::string* last = nullptr;
  std::string_view line;
  while (lines.next(&line) && !line.empty()) {
    if (isContinuation(line)) {
      if (last != nullptr) last->append(" ").append(trimmed(line));
      continue;
    }
    std::string value;
    last = nullptr;
    if (held->from.empty() && fieldValue(line, "From", &value)) {
      last = &held->from;
    } else if (held->subject.empty() && fieldValue(line, "Subject", &value)) {
      last = &held->subject;
    }
    if (last != nullptr) *last = value;
  }
}

// The verdict field's line, if the message begins with it; what follows. The field is written
// on one line, so a continuation line after it is the message's own (a header that began with
// one), and stays.
Verdict skipVerdict(Lines* lines) {
  Lines probe = *lines;
  std::string_view line;
  if (!probe.next(&line)) return {};
  Verdict verdict = readVerdict(line);
  if (verdict.present) *lines = probe;
  return verdict;
}

// Reads the verdict field and the header after it, as much as listing needs: the verdict field
// whole, however long, and kListedBytes after it.
int readListed(const std::string& path, FileText* text, const char** kind) {
  size_t limit = kListedBytes;
  for (;;) {
    const int error = readFile(path, limit, false, text, kind);
    if (error != 0 || text->bytes.size() < limit || limit >= kLongestVerdict) return error;
    const size_t end = verdictFieldEnd(text->bytes);
    if (end != std::string::npos && text->bytes.size() >= end + kListedBytes) return 0;
    limit = std::min(kLongestVerdict, end != std::string::npos ? end + kListedBytes : limit * 8);
  }
}

bool isHidden(const char* name) {
  return name[0] == '.';
}

// The names of the entries of directory, without "." names; false with errno when it cannot be
// read.
bool directoryNames(const std::string& directory, std::vector<std::string>* names) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (!isHidden(entry->d_name)) names->emplace_back(entry->d_name);
  }
  const int error = errno;
  ::closedir(dir);
  errno = error;
  return error == 0;
}

bool newerFirst(const std::pair<HeldMessage, timespec>& a,
                const std::pair<HeldMessage, timespec>& b) {
  return std::tie(a.first.when, a.second.tv_sec, a.second.tv_nsec, a.first.file) >
         std::tie(b.first.when, b.second.tv_sec, b.second.tv_nsec, b.first.file);
}

// text cut to about limit bytes, never inside a UTF-8 sequence, with "..." when cut.
std::string cut(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

std::string shownField(const std::string& text) {
  return text.empty() ? "(none)" : escapeControls(cut(text, kShownField));
}

std::string localStamp(std::time_t when) {
  char stamp[32] = {};
  std::tm local{};
  localtime_r(&when, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M", &local);
  return stamp;
}

// The separator line of an mbox message, dated in UTC as asctime writes dates.
std::string mboxSeparator(std::time_t when) {
  char stamp[64] = {};
  std::tm utc{};
  gmtime_r(&when, &utc);
  std::strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y", &utc);
  return std::string("From MAILER-DAEMON ") + stamp + "\n";
}

// A line that a reader of the mbox would take for a separator once its quoting is undone.
bool needsQuoting(std::string_view line) {
  const size_t first = line.find_first_not_of('>');
  return first != std::string_view::npos && line.substr(first).rfind("From ", 0) == 0;
}

// Whether the file name in directory is one that pollensift wrote: its own name, and the verdict
// field on the first line (a file of tmp/ may still be empty).
bool writtenHere(const std::string& directory, const std::string& name, bool unfinished) {
  if (!isQuarantineName(name)) return false;
  const std::string file = directory + "/" + name;
  const int carries = carriesVerdictField(file);
  return carries == 1 || (carries == 0 && unfinished && isEmptyFile(file));
}

// Removes the files of directory older than cutoff that pollensift wrote; counts them, or says
// why not.
int removeOlder(const std::string& directory, std::time_t cutoff, bool unfinished,
                std::string* problem) {
  std::vector<std::string> names;
  if (!directoryNames(directory, &names)) {
    if (errno != ENOENT && problem->empty()) *problem = systemProblem(directory, errno);
    return 0;
  }
  int removed = 0;
  for (const std::string& name : names) {
    const std::string file = directory + "/" + name;
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_mtime >= cutoff ||
        !writtenHere(directory, name, unfinished)) {
      continue;
    }
    if (::unlink(file.c_str()) == 0) {
      ++removed;
    } else if (errno != ENOENT && problem->empty()) {
      *problem = systemProblem(file, errno);
    }
  }
  return removed;
}

// Where a mail client put the message that --quarantine showed as new/NAME: cur/NAME with its
// flags after a colon. "" when it is not there either.
std::string movedToCur(const std::string& path, const std::string& file) {
  if (path.empty() || file.rfind("new/", 0) != 0) return "";
  const std::string name = file.substr(4);
  std::vector<std::string> names;
  if (name.empty() || !directoryNames(path + "/cur", &names)) return "";
  for (const std::string& candidate : names) {
    if (candidate == name || candidate.rfind(name + ":", 0) == 0) return path + "/cur/" + candidate;
  }
  return "";
}

}  // namespace

bool listQuarantine(const std::string& path, std::vector<HeldMessage>* held, std::string* problem) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    *problem = systemProblem(path, errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *problem = quoted(path) + " is not a directory.";
    return false;
  }
  std::vector<std::pair<HeldMessage, timespec>> found;
  for (const char* sub : {"new", "cur"}) {
    std::vector<std::string> names;
    if (!directoryNames(path + "/" + sub, &names)) {
      if (errno == ENOENT) continue;  // a client may keep only some of the three
      *problem = systemProblem(path + "/" + sub, errno);
      return false;
    }
    for (const std::string& name : names) {
      HeldMessage message;
      message.file = std::string(sub) + "/" + name;
      FileText text;
      const char* kind = nullptr;
      // Directories, links and files that vanished are no messages; skip them.
      if (readListed(path + "/" + message.file, &text, &kind) != 0) continue;
      message.when = text.modified.tv_sec;
      readHeldHeader(text.bytes, &message);
      found.emplace_back(std::move(message), text.modified);
    }
  }
  std::sort(found.begin(), found.end(), newerFirst);
  held->clear();
  for (auto& entry : found) held->push_back(std::move(entry.first));
  return true;
}

bool readHeldHeader(std::string_view text, HeldMessage* held) {
  Lines lines(text);
  const Verdict verdict = skipVerdict(&lines);
  if (verdict.dated) held->when = verdict.when;
  held->account = verdict.account;
  held->reason = verdict.reason;
  readHeader(lines, held);
  return verdict.present;
}

std::string heldMessageLine(const HeldMessage& message) {
  std::string line = localStamp(message.when);
  line.append("  ").append(message.account.empty() ? "-" : escapeControls(message.account));
  line.append("  From: ").append(shownField(message.from));
  line.append("  Subject: ").append(shownField(message.subject));
  line.append("  [").append(message.reason.empty()
                                ? "no verdict field"
                                : escapeControls(cut(message.reason, kShownReason)));
  line.append("]  ").append(escapeControls(message.file));
  return line;
}

bool releaseMessage(const std::string& path, const std::string& file, std::ostream& out,
                    std::string* problem, std::string* read_from) {
  FileText text;
  const char* kind = nullptr;
  std::string where = file;
  int error = readFile(file, SIZE_MAX, true, &text, &kind);
  // A name that --quarantine showed is relative to the quarantine.
  if (error == ENOENT && !file.empty() && file.front() != '/' && !path.empty()) {
    where = path + "/" + file;
    error = readFile(where, SIZE_MAX, true, &text, &kind);
  }
  const std::string moved = error == ENOENT ? movedToCur(path, file) : "";
  if (!moved.empty()) {
    where = moved;
    error = readFile(moved, SIZE_MAX, true, &text, &kind);
  }
  if (read_from != nullptr) *read_from = where;
  if (error != 0) {
    *problem = error < 0 ? quoted(file) + " " + kind + "." : systemProblem(file, error);
    return false;
  }
  Lines lines(text.bytes);
  const Verdict verdict = skipVerdict(&lines);
  std::string mbox = mboxSeparator(whenHeld(verdict, text));
  std::string_view line;
  while (lines.next(&line)) {
    if (needsQuoting(line)) mbox += '>';
    mbox.append(line).append("\n");
  }
  out << mbox << "\n";
  out.flush();
  if (!out) {
    *problem = "Writing the mbox failed.";
    return false;
  }
  return true;
}

bool removeReleased(const std::string& path, const std::string& file, std::string* problem) {
  // Only a message of this quarantine goes: one in its new/ or cur/ that pollensift stored.
  const size_t slash = file.rfind('/');
  struct stat folder {};
  bool inside = false;
  if (!path.empty() && slash != std::string::npos &&
      ::stat(file.substr(0, slash + 1).c_str(), &folder) == 0) {
    for (const char* sub : {"/new", "/cur"}) {
      struct stat held {};
      inside = inside || (::stat((path + sub).c_str(), &held) == 0 &&
                          held.st_dev == folder.st_dev && held.st_ino == folder.st_ino);
    }
  }
  if (!inside || carriesVerdictField(file) != 1) {
    *problem = quoted(file) + " is no message of the quarantine; it stays where it is.";
    return false;
  }
  if (::unlink(file.c_str()) != 0) {
    *problem = systemProblem(file, errno);
    return false;
  }
  return true;
}

Expiry expireQuarantine(const std::string& path, int days, std::time_t now) {
  Expiry expiry;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) expiry.problem = systemProblem(path, errno);
    return expiry;
  }
  // Nothing is removed from a folder that is not the quarantine a run would use.
  expiry.problem = claimQuarantine(path);
  if (!expiry.problem.empty()) return expiry;
  if (days > 0) {
    const std::time_t cutoff = now - static_cast<std::time_t>(days) * 86400;
    for (const char* sub : {"new", "cur"}) {
      expiry.messages += removeOlder(path + "/" + sub, cutoff, false, &expiry.problem);
    }
  }
  // A file still in tmp/ was never renamed into new/, so its message got no DELE: it is on the
  // server still, and the half copy can go.
  expiry.unfinished = removeOlder(path + "/tmp", now - kStaleUnfinished, true, &expiry.problem);
  return expiry;
}
