#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/state_file.h"

// The state file of incremental runs (STATEFILE): per account (server, port and user), the UIDLs
// of the messages an earlier run judged "keep", each with its Message-ID in the duplicate list's
// form, under a fingerprint of everything that could change a verdict. A later run under the same
// fingerprint need not fetch those messages again.
//
// The file is never edited in place: a new one is written beside it, flushed and renamed over it.
// A run holds the lock file beside it (path + ".lock") from its first account to its end, so two
// runs never interleave their reads and writes. Whatever the file holds, reading it never fails
// the run: a damaged, foreign or newer file draws a warning and every message is judged.
class UidlState {
 public:
  // Entries of one account, in mailbox order: (UIDL, Message-ID key, "" without one).
  using Entries = std::vector<std::pair<std::string, std::string>>;
  struct Account {
    std::string fingerprint;
    Entries entries;
  };
  // Account key -> its entries.
  using Contents = std::map<std::string, Account>;

  // lock_wait_ms: how long a run waits for another run's lock before it goes on without state.
  explicit UidlState(std::string path, int lock_wait_ms = 10000);
  ~UidlState();
  UidlState(const UidlState&) = delete;
  UidlState& operator=(const UidlState&) = delete;

  // Starts an account; on first use takes the lock and reads the file. The account's entries
  // count only under the same fingerprint. False when the state cannot serve this run (the lock
  // is held by another run, the file cannot be read): judge every message, commit nothing.
  bool load(const std::string& account, const std::string& fingerprint);
  bool isKept(std::string_view uidl) const { return find(uidl) != kNone; }
  // The Message-ID key of a remembered message; "" without one or when not remembered.
  std::string messageId(std::string_view uidl) const;
  // The Message-ID key of a remembered message ("" without one); nothing when not remembered.
  // The view lasts until the next remember or load.
  std::optional<std::string_view> keptKey(std::string_view uidl) const;
  // Notes a message of this session that is kept, judged now or in an earlier run.
  void remember(std::string_view uidl, std::string_view message_id_key);
  // Makes what was remembered since load the account's entries and writes the file. False after
  // a warning; the old file is then unchanged.
  bool commit();

  // Accounts checked at once, each in a process forked from the one that runs them. That one
  // opens the state before it forks: open takes the lock and reads the file as the first load
  // would, and gives what load would. In a job, handCommitsTo makes commit hand the account's
  // entries, packed, to hand instead of writing the file; the running process gives them to
  // applyCommit in the order of the accounts, which makes them the account's entries and writes
  // the file as that commit would have in one process (false as commit is). The order counts:
  // whether a commit writes, and so what the file holds of the accounts before it, depends on
  // the commits before it.
  bool open();
  void handCommitsTo(std::function<void(std::string)> hand) { hand_ = std::move(hand); }
  bool applyCommit(std::string_view packed);

  // The account key of a mailbox.
  static std::string accountKey(const std::string& server, int port, const std::string& user);
  // Whether text can serve as a UIDL (1 to 70 printable ASCII characters, as RFC 1939 has it).
  static bool usableUidl(std::string_view text);

  // The file format, apart from the file, for tests and the fuzzer. parse gives nothing for a
  // text that is not a whole state file of this version and says why in reason.
  static std::string format(const Contents& contents);
  static std::optional<Contents> parse(std::string_view text, std::string& reason);

 private:
  // A kept message costs its UIDL and key, one after the other in arena_, and a few bytes here:
  // the state of a large mailbox is held in memory for the whole run.
  struct Entry {
    uint32_t at;
    uint8_t uidl_size;
    uint8_t key_size;
  };
  struct Stored {
    std::string fingerprint;
    std::vector<Entry> entries;
  };
  static constexpr uint32_t kNone = UINT32_MAX;

  // Reads the file into the store; false when the state cannot serve this run.
  bool read();
  std::string_view uidlOf(const Entry& entry) const;
  std::string_view keyOf(const Entry& entry) const;
  Entry store(std::string_view uidl, std::string_view key);
  // The place in loaded_ of uidl, or kNone.
  uint32_t find(std::string_view uidl) const;
  // Returns the entries of an account loaded but not committed to the stored accounts.
  void putBack();
  // The file's text; with only, that of one account alone.
  std::string formatStored(const std::string* only = nullptr) const;

  std::string path_;
  int lock_wait_ms_;
  StateFileLock lock_;
  bool opened_ = false;
  bool usable_ = false;
  std::string arena_;
  std::map<std::string, Stored> accounts_;
  std::string account_;
  std::string fingerprint_;
  std::vector<Entry> loaded_;     // the account's entries from the file
  // Places in loaded_ in UIDL order, sorted at the first find the cursor below does not answer.
  mutable std::vector<uint32_t> by_uidl_;
  // Where find looks first: a server lists an unchanged mailbox in the order the file holds it.
  mutable uint32_t next_ = 0;
  std::vector<Entry> fresh_;      // what this session keeps
  size_t unchanged_ = 0;          // entries of fresh_ that loaded_ holds already
  bool taken_ = false;            // loaded_ holds the account's entries, not accounts_
  bool rewrite_ = false;          // the file on disk is not what accounts_ says
  std::function<void(std::string)> hand_;  // in a job: where commits go
};

// SHA-256, in hexadecimal, over everything that can change a verdict: each rule with its kind,
// sign, case, expression and points, the syntax the rules are compiled in, HIGHSCORE, MAXLENGTH,
// the size limits and MAXSIZE_SCORE, NORMAL, DEL_DUPLICATES, -i and the program's version.
std::string verdictFingerprint();
