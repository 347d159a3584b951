#pragma once

#include <string>

// One run per mailbox at a time. A run holds an flock(2) on a file per mailbox (named by a digest
// of server, port and user) in a directory of its user's own, /tmp/pollensift-UID, while it
// checks that mailbox; another run of the same user that finds the lock taken skips the mailbox
// rather than scan it at the same time. The kernel drops the lock when the process ends, however
// it ends, so a crashed run leaves nothing stale behind.
class MailboxLock {
 public:
  // Tries once, without waiting.
  MailboxLock(const std::string& server, int port, const std::string& user);
  ~MailboxLock();
  MailboxLock(const MailboxLock&) = delete;
  MailboxLock& operator=(const MailboxLock&) = delete;

  // Another process holds the lock: the mailbox is being checked by another run.
  bool heldElsewhere() const { return held_elsewhere_; }
  // Why no lock could be taken at all ("" when it was taken, or is held elsewhere).
  const std::string& problem() const { return problem_; }
  // The lock file.
  const std::string& path() const { return path_; }

  // Sets up, once per process, the digest that names the lock files. Checks run in forked
  // processes call it before the fork, so that no check sets it up again in its own.
  static void prepareNaming();

  // The directory of the lock files; tests point it elsewhere ("" restores the default).
  static std::string directory();
  static void setDirectoryForTesting(const std::string& directory);

 private:
  int fd_ = -1;
  bool held_elsewhere_ = false;
  std::string problem_;
  std::string path_;
};
