#include "protocol/account_check.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>

#include "config/mail_account.h"
#include "config/settings.h"
#include "net/connection.h"
#include "protocol/incremental_scan.h"
#include "protocol/mailbox_lock.h"
#include "protocol/protocol.h"
#include "report/reporter.h"

namespace {
// How long a withdrawn session waits for the server to read RSET and close.
constexpr int kWithdrawWaitSeconds = 5;

std::function<bool()>& quitGuard() {
  static std::function<bool()> guard;
  return guard;
}
}  // namespace

void guardQuit(std::function<bool()> may_quit) { quitGuard() = std::move(may_quit); }

int checkAccount(const MailAccount& account) {
  // Whatever an earlier account decided is not this one's to report, nor is this one's once its
  // connection is gone.
  struct Session {
    Session() { deletions_awaiting_quit = 0; }
    ~Session() { deletions_awaiting_quit = 0; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
  } session;
  Reporter& reporter = Reporter::instance();
  const Settings& settings = Settings::instance();
  Protocol* mailbox = account.protocol();
  Connection* link = account.connection();
  // Two runs that scan one mailbox at once trip over each other's deletions ("-ERR Message 5
  // expunged"): the second leaves it to the first, at once and before any connection.
  const MailboxLock lock(account.server(), account.port(), account.user());
  if (lock.heldElsewhere()) {
    reporter.error("Another pollensift is checking this mailbox now (it holds the lock '" +
                       lock.path() + "'); this run skips it.",
                   1);
    return -1;
  }
  if (!lock.problem().empty()) {
    reporter.print("Warning: The mailbox lock " + lock.problem() +
                       "; the mailbox is checked without it, so another run may check it at the "
                       "same time.",
                   1);
  }
  // Before the connection, so that waiting for another run's lock holds no server session.
  const std::unique_ptr<IncrementalScan> incremental =
      mailbox == nullptr ? nullptr
                         : IncrementalScan::begin(account.server(), account.port(), account.user());
  struct Attached {
    Protocol* mailbox;
    IncrementalScan* scan;
    Attached(Protocol* p, IncrementalScan* s) : mailbox(p), scan(s) {
      if (mailbox != nullptr) mailbox->setIncremental(scan);
    }
    ~Attached() {
      if (mailbox != nullptr) mailbox->setIncremental(nullptr);
    }
  } attached(mailbox, incremental.get());
  if (mailbox != nullptr && link != nullptr) {
    link->setTlsTrust({account.tlsFingerprint(), account.tlsCaFile()});
    mailbox->setLoginOptions({account.auth(), account.server(), account.port(), account.user()});
  }
  if (mailbox == nullptr || link == nullptr ||
      link->connect(account.server().c_str(), account.port(), settings.timeout(),
                    mailbox->protocolType()) != 0) {
    reporter.error("Could not establish network connection.", 1);
    return -1;
  }
  if (!mailbox->login(account.user().c_str(), account.pass().c_str())) {
    const std::string& not_tried = mailbox->loginNotTried();
    reporter.error(not_tried.empty() ? "Server login failure." : not_tried, 1);
    link->close();
    return -1;
  }
  // Past the login the server expects QUIT before the connection goes; but once a DELE has been
  // sent, a session that fails must not carry out its deletions: it ends without QUIT.
  auto giveUp = [&](const char* message) {
    reporter.error(message, 1);
    const int marked = mailbox->tally().marked;
    if (marked > 0) {
      mailbox->withdraw();
      reporter.error("No message of this session is deleted: it ends with RSET and without QUIT, "
                     "so the server keeps the " +
                         std::to_string(marked) + " message(s) marked for deletion.",
                     1);
      // Replies are still on their way; closing over them would reset the connection, and the
      // reset may throw RSET away before the server reads it, which matters with a server that
      // carries out deletions when a connection drops. So the server is given a moment to read
      // it and close first.
      link->closeInOrder(std::min(settings.timeout(), kWithdrawWaitSeconds));
      return -1;
    }
    mailbox->quit();
    link->close();
    return -1;
  };

  int count = mailbox->status();
  if (count < 0) return giveUp("Could not determine mailbox status.");
  reporter.print("Examining " + std::to_string(count) + " message(s).", 3);
  const int scanned = mailbox->scan();
  const Protocol::Tally& tally = mailbox->tally();
  // A failed scan deletes nothing (see giveUp).
  const int deleted = scanned < 0 && tally.marked > 0 ? 0 : tally.deleted;
  // With a quarantine, how many of the deleted it holds.
  const std::string quarantined =
      settings.quarantine().empty() || settings.test()
          ? ""
          : ", " + std::to_string(scanned < 0 ? 0 : tally.quarantined) + " quarantined";
  const std::string counts = std::to_string(deleted) +
                             (settings.test() ? " would be deleted, " : " deleted, ") +
                             std::to_string(tally.examined - deleted) + " kept" + quarantined + ".";
  reporter.print("Examined " + std::to_string(tally.examined) + " message(s): " + counts, 3);
  // The line above stays as scripts know it; this one names the account, for a log of many.
  reporter.print("Summary for " + account.user() + "@" + account.server() + ": " +
                     std::to_string(tally.examined) + " message(s) examined, " + counts,
                 3);
  run_totals.examined += tally.examined;
  run_totals.deleted += deleted;
  run_totals.kept += tally.examined - deleted;
  if (scanned >= 0 && !quarantined.empty()) run_totals.quarantined += tally.quarantined;
  if (scanned < 0) return giveUp("Scanning of mail account failed.");
  if (settings.returnValue()) {
    // Messages marked for deletion no longer count.
    count = mailbox->status();
    if (count < 0) return giveUp("Could not determine mailbox status.");
  }
  // Counts come from the servers: saturate rather than overflow.
  if (__builtin_add_overflow(remaining_total, count, &remaining_total)) remaining_total = INT_MAX;

  if (quitGuard() && !quitGuard()()) {
    link->close();
    return -1;
  }
  // Without QUIT's "+OK" the deletions may not have been carried out: the account has failed.
  const bool confirmed = mailbox->quit();
  // Only a session that ended cleanly is remembered.
  if (confirmed && incremental != nullptr) incremental->commit();
  const int closed = link->close();
  if (tally.unstored > 0) {
    // The run must not look clean while condemned mail waits on the server.
    reporter.error(std::to_string(tally.unstored) +
                       " condemned message(s) could not be quarantined and stay on the server; "
                       "the next run tries again.",
                   1);
    return -1;
  }
  return confirmed && closed == 0 ? 0 : -1;
}
