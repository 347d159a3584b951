// Whether a folder may serve as the quarantine, and making it: the folder is the user's own and
// private, and pollensift made it (its marker) or it holds nothing but what pollensift stores.
// The clean-up removes files, so a folder of real mail, the home directory, or a folder that
// someone else controls must never be taken for it.

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quarantine/quarantine.h"
#include "quarantine/quarantine_folder.h"
#include "text/escape.h"
#include "text/file_kind.h"

namespace {

constexpr const char* kSubdirectories[] = {"tmp", "new", "cur"};
constexpr std::string_view kMarkerText =
    "This folder is pollensift's quarantine. Its clean-up (QUARANTINE_DAYS) removes only the\n"
    "messages that pollensift stored here.\n";

std::string quoted(const std::string& path) { return "'" + escapeControls(path) + "'"; }

std::string systemReason(const std::string& what, int error) {
  return what + ": " + std::strerror(error) + ".";
}

// "" when the directory at path (not followed if a link) is this user's own and only theirs to
// write; as the mailbox lock's directory is checked.
std::string privateDirectory(const std::string& path, const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return quoted(path) + " is a symbolic link.";
  if (!S_ISDIR(info.st_mode)) return quoted(path) + " is not a directory.";
  if (info.st_uid != ::geteuid()) return quoted(path) + " belongs to another user.";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return quoted(path) + " may be written by other users.";
  }
  return "";
}

// The directory at path, made (mode 0700) when missing and make is set; "" or why it cannot
// serve. *made tells whether this call made it. Another process making it meanwhile is fine.
std::string ensurePrivate(const std::string& path, bool make, bool* made) {
  *made = false;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return systemReason(quoted(path) + " cannot be examined", errno);
    if (!make) return "";
    if (::mkdir(path.c_str(), 0700) == 0) {
      *made = true;
      return "";
    }
    if (errno != EEXIST) return systemReason(quoted(path) + " cannot be made", errno);
    if (::lstat(path.c_str(), &info) != 0) {
      return systemReason(quoted(path) + " cannot be examined", errno);
    }
  }
  std::string problem = privateDirectory(path, info);
  if (problem.empty() && !make && ::access(path.c_str(), W_OK | X_OK) != 0) {
    problem = systemReason(quoted(path) + " cannot be written", errno);
  }
  return problem;
}

// The missing folders above path, made with mode 0700; or, without make, "" when they could be.
std::string ensureParents(const std::string& path, bool make) {
  const std::string parent = parentDirectory(path);
  struct stat info {};
  if (::stat(parent.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) return quoted(parent) + " is not a directory.";
    if (!make && ::access(parent.c_str(), W_OK | X_OK) != 0) {
      return systemReason(quoted(path) + " cannot be made: " + quoted(parent) + " cannot be written",
                          errno);
    }
    return "";
  }
  if (errno != ENOENT || parent == path) {
    return systemReason(quoted(parent) + " cannot be examined", errno);
  }
  if (std::string problem = ensureParents(parent, make); !problem.empty()) return problem;
  if (!make) return "";
  if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
    return systemReason(quoted(parent) + " cannot be made", errno);
  }
  return "";
}

bool sameFile(const struct stat& a, const char* other) {
  struct stat info {};
  return other != nullptr && *other != '\0' && ::stat(other, &info) == 0 &&
         info.st_dev == a.st_dev && info.st_ino == a.st_ino;
}

bool isHomeDirectory(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  const passwd* user = ::getpwuid(::geteuid());
  return sameFile(info, std::getenv("HOME")) || (user != nullptr && sameFile(info, user->pw_dir));
}

bool hasMarker(const std::string& path) {
  struct stat info {};
  const std::string marker = path + "/" + std::string(kQuarantineMarker);
  return ::lstat(marker.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         info.st_uid == ::geteuid();
}

std::string writeMarker(const std::string& path) {
  const std::string marker = path + "/" + std::string(kQuarantineMarker);
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Another run made it at the same time.
    if (errno == EEXIST && hasMarker(path)) return "";
    return systemReason(quoted(marker) + " cannot be made", errno);
  }
  const bool written =
      ::write(fd, kMarkerText.data(), kMarkerText.size()) == static_cast<ssize_t>(kMarkerText.size());
  const int error = errno;
  ::close(fd);
  return written ? "" : systemReason(quoted(marker) + " cannot be written", error);
}

bool entryNames(const std::string& directory, std::vector<std::string>* names) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names->emplace_back(name);
  }
  ::closedir(dir);
  return true;
}

// Why the existing folder at path, which lacks the marker, is no quarantine of earlier runs;
// "" when it holds nothing but tmp/, new/ and cur/, and there only messages that carry the
// verdict field (in tmp/ also empty files, from a run that stopped at once).
std::string notAdoptable(const std::string& path) {
  std::vector<std::string> names;
  if (!entryNames(path, &names)) return systemReason(quoted(path) + " cannot be read", errno);
  for (const std::string& name : names) {
    // The marker shows up here when another run is making the quarantine at this moment.
    if (name != "tmp" && name != "new" && name != "cur" && name != kQuarantineMarker) {
      return quoted(path) + " is a folder that pollensift did not make: it holds " +
             quoted(name) + ".";
    }
  }
  for (const char* sub : kSubdirectories) {
    const std::string directory = path + "/" + sub;
    std::vector<std::string> files;
    if (!entryNames(directory, &files)) {
      if (errno == ENOENT) continue;
      return systemReason(quoted(directory) + " cannot be read", errno);
    }
    for (const std::string& file : files) {
      const int carries = carriesVerdictField(directory + "/" + file);
      if (carries == 1 || (carries == 0 && std::string_view(sub) == "tmp" &&
                           isEmptyFile(directory + "/" + file))) {
        continue;
      }
      return quoted(path) + " is a folder that pollensift did not make: " +
             quoted(directory + "/" + file) + " is no message that it stored.";
    }
  }
  return "";
}

std::string claim(const std::string& path, bool make) {
  struct stat info {};
  const bool exists = ::lstat(path.c_str(), &info) == 0;
  if (!exists) {
    // A file where a parent should be shows below.
    if (errno != ENOENT && errno != ENOTDIR) {
      return systemReason(quoted(path) + " cannot be examined", errno);
    }
    if (std::string problem = ensureParents(path, make); !problem.empty()) return problem;
  }
  bool made = false;
  if (std::string problem = ensurePrivate(path, make, &made); !problem.empty()) return problem;
  if (!make && !exists) return "";
  if (isHomeDirectory(path)) return quoted(path) + " is the home directory.";
  // The three folders that are there first, so that a wrong one is named as such.
  for (const char* sub : kSubdirectories) {
    bool sub_made = false;
    if (std::string problem = ensurePrivate(path + "/" + sub, false, &sub_made);
        !problem.empty()) {
      return problem;
    }
  }
  if (!made && !hasMarker(path)) {
    if (std::string problem = notAdoptable(path); !problem.empty()) return problem;
  }
  if (!make) return "";
  if (!hasMarker(path)) {
    if (std::string problem = writeMarker(path); !problem.empty()) return problem;
  }
  for (const char* sub : kSubdirectories) {
    bool sub_made = false;
    if (std::string problem = ensurePrivate(path + "/" + sub, true, &sub_made); !problem.empty()) {
      return problem;
    }
  }
  return "";
}

}  // namespace

int carriesVerdictField(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  int result = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const std::string field = std::string(kVerdictField) + ": ";
    std::string start(field.size(), '\0');
    ssize_t got = 0;
    do {
      got = ::read(fd, start.data(), start.size());
    } while (got < 0 && errno == EINTR);
    result = got == static_cast<ssize_t>(field.size()) && start == field ? 1 : 0;
  }
  ::close(fd);
  return result;
}

bool isEmptyFile(const std::string& file) {
  struct stat info {};
  return ::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0;
}

std::string claimQuarantine(const std::string& path) { return claim(path, true); }

std::string Quarantine::inspect(const std::string& path) { return claim(path, false); }
