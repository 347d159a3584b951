#pragma once

#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// The quarantine of QUARANTINE: a Maildir (tmp/, new/, cur/) that keeps every condemned message
// before its DELE goes out, so that no deletion is beyond recovery. Each message is the server's
// text, dot-unstuffed, with LF line ends, below one added header field at the very top:
//
//   X-Pollensift-Verdict: REASON (USER@SERVER, YYYY-MM-DD HH:MM)
//
// REASON says what condemned it, as the verdict line's reason does (control characters escaped).
// A message is written into tmp/, flushed to disk with its directory, and only then renamed into
// new/ under a unique name: a reader never sees half a message, and a crash leaves at most a
// stray file in tmp/.

// The name of the added header field.
constexpr std::string_view kVerdictField = "X-Pollensift-Verdict";

// The added field's line, with its LF: reason, the account (user@server) and when.
std::string verdictFieldLine(std::string_view reason, std::string_view account, std::time_t when);

// The file pollensift writes into a quarantine it made, or adopted: the clean-up removes files
// only from a folder that holds it.
constexpr std::string_view kQuarantineMarker = ".pollensift-quarantine";

class Quarantine {
 public:
  // The Maildir at path, made with tmp/, new/ and cur/ (mode 0700) where they are missing, and
  // its missing parent folders too. Null with *problem saying why it cannot serve: a folder or
  // one of its three that is a symbolic link, belongs to another user or that others may write
  // to; the home directory; or an existing folder that pollensift did not make (without the
  // marker), unless it holds nothing but tmp/, new/ and cur/ with messages that carry the
  // verdict field, which is adopted (the marker written). Another process making it at the same
  // time is no problem.
  static std::unique_ptr<Quarantine> open(const std::string& path, std::string* problem);
  // What open would find at path, making and writing nothing: "" when it could serve.
  static std::string inspect(const std::string& path);

  // How the durability steps flush a file or directory to disk: fsync(2) unless a test has put
  // another in (a null one puts fsync back).
  using Sync = int (*)(int fd);
  static void setSyncForTesting(Sync sync);

  // One message on its way in.
  class Delivery {
   public:
    ~Delivery();  // a delivery neither finished nor abandoned is abandoned
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    // Appends bytes of the message; false after a failure (disk full, a quota), which problem()
    // then names. Every later call fails too.
    bool write(std::string_view bytes);
    // Flushes the file and tmp/ to disk and renames the file into new/; true once it is there.
    bool finish();
    // Removes the file from tmp/.
    void abandon();
    const std::string& problem() const { return problem_; }
    // The file's name in new/ once finished.
    const std::string& name() const { return name_; }

   private:
    friend class Quarantine;
    Delivery(const Quarantine& owner, int fd, std::string name);
    const Quarantine& owner_;
    int fd_;
    std::string name_;
    std::string problem_;
    bool done_ = false;
  };
  // Starts a message in tmp/ with first as its first line (the verdict field), its file name
  // carrying tag (messageTag) where one is given. Null with *problem when the file cannot be made.
  std::unique_ptr<Delivery> begin(std::string_view first, std::string* problem,
                                  const std::string& tag = "") const;

  // Whether a message with this tag was in new/ or cur/ when the quarantine was opened, and is
  // there still with the verdict field of account and this header digest: a run that stopped
  // before its DELE stored it. Each such file answers for one message only; *file then names it
  // (new/NAME or cur/NAME).
  bool holds(const std::string& tag, std::string_view account, const std::string& header_digest,
             std::string* file);

  const std::string& path() const { return path_; }

 private:
  explicit Quarantine(std::string path) : path_(std::move(path)) {}
  void noteTags();
  std::string path_;
  std::vector<std::string> tagged_;  // new/NAME and cur/NAME of files whose names carry a tag
};

// Whether name is one that pollensift gives a message it stores, in tmp/ or new/ (a mail client
// may add its flags after a colon in cur/).
bool isQuarantineName(std::string_view name);

// One message the quarantine holds, as --quarantine shows it.
struct HeldMessage {
  std::string file;      // relative to the quarantine: new/NAME or cur/NAME
  std::time_t when = 0;  // the verdict field's time, else the file's modification time
  std::string account;   // user@server of the verdict field; "" without a readable field
  std::string reason;    // the verdict field's reason; "" without a field
  std::string from;      // the message's From and Subject, unfolded; "" when missing
  std::string subject;
};

// The messages in new/ and cur/ of the quarantine at path, newest first. False with *problem
// when the quarantine cannot be read.
bool listQuarantine(const std::string& path, std::vector<HeldMessage>* held, std::string* problem);

// Reads into held what the message text (or its start) says of itself: the verdict field's
// reason, account and time (when stays as it is without a readable time), From and Subject.
// True when text begins with the verdict field.
bool readHeldHeader(std::string_view text, HeldMessage* held);

// The line --quarantine prints for one message: control characters escaped, long fields cut.
std::string heldMessageLine(const HeldMessage& message);

// Writes the message in file (a path, or a name relative to the quarantine at path) to out as
// one mbox message (mboxrd quoting), without the verdict field. False with *problem, which names
// the file, when it cannot be read; nothing is written then. *read_from, where given, is set
// to the file that was read.
bool releaseMessage(const std::string& path, const std::string& file, std::ostream& out,
                    std::string* problem, std::string* read_from = nullptr);

// Takes the released message at file (as releaseMessage's read_from names it) out of the
// quarantine at path: only a file of its new/ or cur/ that carries the verdict field. False
// with *problem, which names the file, when it stays.
bool removeReleased(const std::string& path, const std::string& file, std::string* problem);

// What one clean-up removed, or why it could not look.
struct Expiry {
  int messages = 0;    // from new/ and cur/
  int unfinished = 0;  // stale files of tmp/
  std::string problem;
};
// Removes from new/ and cur/ the messages last changed more than days before now (days 0 keeps
// them), and from tmp/ those older than 36 hours: only files that pollensift wrote (its file
// names, the verdict field on their first line), and only in a quarantine that open accepts (one
// to adopt is adopted). A quarantine that does not exist holds nothing.
Expiry expireQuarantine(const std::string& path, int days, std::time_t now);
