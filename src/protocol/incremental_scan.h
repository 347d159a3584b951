#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/uidl_listing.h"

class Connection;
class UidlState;

// One account's scan with the state file of STATEFILE: which messages were judged "keep" in an
// earlier run and need not be fetched, and what this session keeps for the next run.
class IncrementalScan {
 public:
  // Null without STATEFILE, or when the state cannot serve this run (a warning said why).
  static std::unique_ptr<IncrementalScan> begin(const std::string& server, int port,
                                                const std::string& user);
  // Accounts checked at once, each in a process forked from the one that runs them. That one
  // takes the state file's lock and reads it before it forks (openForJobs), so that a second run
  // waits for the lock as it would otherwise, and each job finds what the file holds. In a job
  // (inJob), used runs where the account begins to use the state, where one process would show
  // the lines of opening it; and what the account keeps goes, packed, to committed, for the
  // running process to write with applyCommit. None of them does anything without STATEFILE.
  static void openForJobs();
  static void inJob(std::function<void()> used, std::function<void(std::string)> committed);
  static void applyCommit(std::string_view packed);

  // The scan over a state whose account is loaded already; for tests.
  static std::unique_ptr<IncrementalScan> over(UidlState& state) {
    return std::unique_ptr<IncrementalScan>(new IncrementalScan(state));
  }

  // After STAT: asks for the UIDL listing of count messages, or only reads it when it was asked
  // together with STAT. A server without UIDL gives a level-3 line and every message is judged.
  // False only when the connection failed.
  bool list(Connection& link, int count, bool asked = false);
  // Whether message number was kept in an earlier run (it may still turn out a duplicate).
  bool remembered(int number) const;
  // Before message number is fetched: true when it was kept in an earlier run and takes its
  // place in the duplicate check without being fetched; false when it must be judged now
  // (new, or a duplicate of a message seen earlier in this run).
  bool skip(int number);
  // Passes over the messages from 1 on that skip() passes over, up to the first that must be
  // judged; returns how many.
  int skipLeading(int count);
  // After message number was judged now.
  void judged(int number, int verdict, const std::string& message_id);
  // The UIDL of message number; "" when it was not listed or cannot be trusted.
  std::string_view uidlOf(int number) const;
  const UidlListing& listing() const { return listing_; }
  // After the scan: the level-3 line of how many messages were not fetched.
  void report() const;
  // After the session ended cleanly: the state file keeps this session's kept messages.
  void commit();

 private:
  explicit IncrementalScan(UidlState& state) : state_(state) {}

  UidlState& state_;
  UidlListing listing_;
  int skipped_ = 0;
  bool asked_ = false;  // the server listed its UIDLs
};
