#include "driver/jobs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "driver/driver.h"
#include "filter/filter_engine.h"
#include "filter/seen_ids.h"
#include "protocol/account_check.h"
#include "protocol/incremental_scan.h"
#include "protocol/mailbox_lock.h"
#include "protocol/protocol.h"
#include "report/job_records.h"
#include "report/progress.h"
#include "report/reporter.h"
#include "rules/rules.h"

// A job is one account checked in a forked process. Forking keeps every process-wide object of
// the check (settings, the log, the filter, the connection and TLS state) a job's own, so no
// check can disturb another's; the compiled rules are shared by the fork as they are.
//
// The records of a job: its lines and headers as the Reporter diverts them; 'w' when it is about
// to look at the Message-IDs seen (with DEL_DUPLICATES), answered by 'k' (the IDs of the accounts
// before it, packed) and 'g'; 'k' with its IDs once its last message is judged (at its end when
// it never got that far), or with its own as soon as every message is read and waits for its
// turn, which lets the next accounts judge while this one still judges, deletes and quits; at
// its end 'r' with its result and count. With STATEFILE, 'u' where the account
// begins to use the state, and 's' with what it keeps there once its session has ended cleanly.
//
// The running process takes the state file's lock and reads the file before it forks, and alone
// writes it: each job's 's' in the order of accounts, as soon as every account before it has
// ended or sent its own, so that the file is written as one account after another would write
// it (whether a commit writes, and what, depends on those before it), and a run cut short keeps
// what the accounts ended so far keep. The lines a job sends after its 's' wait for it, behind
// a warning of the write.

namespace {

// The longest a session waiting for its turn is left idle; below TIMEOUT where that is shorter.
constexpr int kKeepAliveSeconds = 60;

// What the running process logs while this lives goes to fd as records, as a job's lines do.
class Diverted {
 public:
  explicit Diverted(int fd) { Reporter::instance().divertTo(fd); }
  ~Diverted() { Reporter::instance().divertTo(-1); }
  Diverted(const Diverted&) = delete;
  Diverted& operator=(const Diverted&) = delete;
};

struct Job {
  pid_t pid = -1;
  int from = -1;  // records from the job
  int to = -1;    // its turn to judge, with DEL_DUPLICATES
  job_records::Reader reader;
  int spool = -1;  // its records, kept until the account's lines are shown
  bool spool_lost = false;  // a record could not be written there
  bool started = false;
  bool ended = false;  // its records are all in and the process is gone
  bool settled = false;  // its Message-IDs are in (seen), or it ended without them
  bool waiting = false;
  bool reported = false;
  bool committing = false;  // its 's' waits for the accounts before it
  std::string commit;
  std::vector<std::pair<char, std::string>> after_commit;  // its lines sent after the 's'
  int result = -1;
  int remaining = 0;
  RunTotals totals;  // what its account added to the run's total
  int status = 0;  // of the process, as waitpid gives it
  std::string seen;
};

class Runner {
 public:
  Runner(std::vector<MailAccount>& accounts, int jobs, const AccountTurn& turn)
      : accounts_(accounts), jobs_(jobs), turn_(turn), state_(accounts.size()), before_(1, 0) {}
  ~Runner();
  int run();

 private:
  bool start(size_t index);
  [[noreturn]] void runJob(size_t index, int records, int turns);
  void take(size_t index);
  void handle(size_t index, char kind, const std::string& text);
  void end(size_t index);
  void settle();
  void grantTurns();
  void show(size_t index, char kind, const std::string& text);
  void replay(char kind, const std::string& text);
  void commitState(size_t index, const std::string& packed);
  void commitInTurn();
  void openState();
  int openSpool();
  void showFrom(size_t index);
  void finishShown(size_t index);
  [[noreturn]] void interrupted(int signal_number);

  std::vector<MailAccount>& accounts_;
  const int jobs_;
  const AccountTurn& turn_;
  std::vector<Job> state_;
  size_t next_ = 0;      // the next account to start
  size_t shown_ = 0;     // accounts before this one have all their lines shown
  size_t settled_ = 0;   // accounts before this one have their Message-IDs in seen_
  size_t committed_ = 0;  // accounts before this one have their 's' applied, or ended without
  int running_ = 0;
  int run_result_ = 0;
  SeenIds seen_;         // the Message-IDs of the accounts before settled_
  // Per account, up to settled_: how much of seen_.packed() the accounts before it gave. Keys
  // are only ever appended there, so this prefix is what that account may be told.
  std::vector<size_t> before_;
  pid_t runner_ = ::getpid();  // the process that runs the jobs
  int watch_[2] = {-1, -1};
  std::string spool_place_;  // where the spools are, for a failure's line
  // One progress line for the accounts being checked, on a terminal.
  JobsProgress progress_{Settings::instance().verbose(), Settings::instance().test()};
  std::atomic<int>* undone_ = nullptr;  // per account, shared with the jobs
  size_t undone_bytes_ = 0;
  bool interrupting_ = false;
  // The lines of opening the state file, shown at the first 'u' in the order of accounts.
  std::vector<std::pair<char, std::string>> opening_;
  struct sigaction old_pipe_ {};
};

Runner::~Runner() {
  installJobsWatch(-1);
  sigaction(SIGPIPE, &old_pipe_, nullptr);
  for (const int fd : watch_) {
    if (fd >= 0) ::close(fd);
  }
  if (undone_ != nullptr) ::munmap(undone_, undone_bytes_);
}

bool Runner::start(size_t index) {
  Job& job = state_[index];
  int records[2];
  int turns[2] = {-1, -1};
  if (::pipe2(records, O_CLOEXEC) != 0) return false;
  if (Settings::instance().delDuplicates() && ::pipe2(turns, O_CLOEXEC) != 0) {
    ::close(records[0]);
    ::close(records[1]);
    return false;
  }
  job.spool = openSpool();
  if (job.spool < 0) {
    for (const int fd : {records[0], records[1], turns[0], turns[1]}) {
      if (fd >= 0) ::close(fd);
    }
    return false;
  }
  // Nothing buffered may be written twice, and no signal may reach the job before its handlers.
  std::fflush(stdout);
  std::fflush(stderr);
  sigset_t block;
  sigset_t old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &old);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(records[0]);
    if (turns[1] >= 0) ::close(turns[1]);
    runJob(index, records[1], turns[0]);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  ::close(records[1]);
  if (turns[0] >= 0) ::close(turns[0]);
  if (pid < 0) {
    ::close(records[0]);
    if (turns[1] >= 0) ::close(turns[1]);
    ::close(job.spool);
    job.spool = -1;
    return false;
  }
  job.pid = pid;
  job.from = records[0];
  job.to = turns[1];
  job.started = true;
  ++running_;
  return true;
}

void Runner::runJob(size_t index, int records, int turns) {
  // What belongs to the running process and the other jobs is none of this one's.
  for (size_t other = 0; other < state_.size(); ++other) {
    const Job& job = state_[other];
    if (job.from >= 0) ::close(job.from);
    if (job.to >= 0) ::close(job.to);
    if (job.spool >= 0) ::close(job.spool);
  }
  ::close(watch_[0]);
  ::close(watch_[1]);
  // A job whose running process is gone ends at once, without QUIT: no log would show what QUIT
  // carries out. It dies with that process, and a process gone before it was asked to is seen
  // at once; below verbosity 2 a job may send no line before QUIT, so QUIT asks again. Else it
  // ends at its next line.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  const pid_t runner = runner_;
  if (::getppid() != runner) _exit(-1);
  guardQuit([runner] { return ::getppid() == runner; });
  sigaction(SIGPIPE, &old_pipe_, nullptr);
  undone_[index] = 0;
  // The running process adds what this job reports to what it summed before the fork.
  remaining_total = 0;
  run_totals = RunTotals{};
  installJobInterruptHandlers(&undone_[index]);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, SIGINT);
  sigaddset(&unblock, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);

  Reporter::instance().divertTo(records);
  IncrementalScan::inJob([records] { job_records::send(records, 'u', ""); },
                         [records](const std::string& packed) {
                           job_records::send(records, 's', packed);
                         });
  FilterEngine& engine = FilterEngine::instance();
  if (turns >= 0) {
    Protocol* const session = accounts_[index].protocol();
    engine.beforeSeenUse(
        [&engine, records, turns, session] {
          job_records::send(records, 'w', "");
          // A server logs out a session left idle too long (RFC 1939 allows ten minutes, some
          // take less): while the accounts before it are checked, the session is kept alive.
          const int timeout = Settings::instance().timeout();
          const int interval_ms = 1000 * (timeout > 0 && timeout < kKeepAliveSeconds
                                              ? timeout
                                              : kKeepAliveSeconds);
          for (;;) {
            pollfd turn{turns, POLLIN, 0};
            if (::poll(&turn, 1, interval_ms) != 0) break;
            if (session != nullptr) session->keepAlive();
          }
          // Without its turn (the running process is gone) the job must not judge: it ends
          // without QUIT.
          const bool granted =
              job_records::readUntil(turns, 'g', [&](char kind, const std::string& ids) {
                if (kind == 'k') engine.addSeen(ids);
              });
          if (!granted) _exit(-1);
        },
        // The turn is there when its records are (the running process sends them together).
        [turns] {
          pollfd turn{turns, POLLIN, 0};
          return ::poll(&turn, 1, 0) > 0;
        });
    engine.onSeenSettled(
        [records](const std::string& packed) { job_records::send(records, 'k', packed); });
  }
  int result = -1;
  try {
    result = turn_(accounts_[index]);
  } catch (...) {
    result = -1;
  }
  engine.seenSettled();
  const RunTotals& totals = run_totals;
  job_records::send(records, 'r',
                    std::to_string(result) + " " + std::to_string(remaining_total) + " " +
                        std::to_string(totals.examined) + " " + std::to_string(totals.deleted) +
                        " " + std::to_string(totals.kept) + " " +
                        std::to_string(totals.quarantined) + " " + std::to_string(totals.failed));
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}

void Runner::take(size_t index) {
  Job& job = state_[index];
  const long got = job_records::readSome(job.from, job.reader);
  char kind;
  std::string text;
  while (job.reader.next(&kind, &text)) handle(index, kind, text);
  if (got <= 0) end(index);
}

void Runner::handle(size_t index, char kind, const std::string& text) {
  Job& job = state_[index];
  switch (kind) {
    case 'p':
      progress_.set(index, text);
      return;
    case 'w':
      job.waiting = true;
      grantTurns();
      return;
    case 'k':
      job.seen = text;
      job.settled = true;
      settle();
      return;
    case 'r': {
      job.reported = true;
      long long remaining = 0;
      RunTotals& totals = job.totals;
      if (std::sscanf(text.c_str(), "%d %lld %lld %lld %lld %lld %d", &job.result, &remaining,
                      &totals.examined, &totals.deleted, &totals.kept, &totals.quarantined,
                      &totals.failed) != 7) {
        job.result = -1;
      }
      job.remaining = remaining > INT_MAX ? INT_MAX : remaining < 0 ? 0 : static_cast<int>(remaining);
      return;
    }
    case 's':
      job.commit = text;
      job.committing = true;
      commitInTurn();
      return;
    default:
      if (job.committing) {
        job.after_commit.emplace_back(kind, text);
      } else {
        show(index, kind, text);
      }
  }
}

// The 's' of the accounts whose turn has come, in the order of accounts, each followed by the
// lines its job sent after it.
void Runner::commitInTurn() {
  for (; committed_ < state_.size(); ++committed_) {
    Job& job = state_[committed_];
    if (!job.committing) {
      if (job.ended) continue;
      return;
    }
    commitState(committed_, job.commit);
    job.committing = false;
    std::string().swap(job.commit);
    for (const auto& [kind, text] : job.after_commit) show(committed_, kind, text);
    decltype(job.after_commit)().swap(job.after_commit);
  }
}

// A record for the terminal and the log: shown now when the account's turn to be shown has come,
// else kept in its spool until then.
void Runner::show(size_t index, char kind, const std::string& text) {
  if (index == shown_) {
    replay(kind, text);
  } else {
    // A line that cannot be kept is lost to the log: a failed write, as the log's own. What
    // follows it is dropped too, as a record cut short would garble the rest.
    Job& job = state_[index];
    if (!job.spool_lost && !job_records::send(job.spool, kind, text)) {
      job.spool_lost = true;
      Reporter::instance().noteWriteFailure("spool of an account's lines", spool_place_, errno);
    }
  }
}

void Runner::replay(char kind, const std::string& text) {
  Reporter& reporter = Reporter::instance();
  if (kind != 'u') {
    reporter.replay(kind, text);
    return;
  }
  // One process shows them where its first account to use the state begins to.
  for (const auto& [line_kind, line] : opening_) reporter.replay(line_kind, line);
  opening_.clear();
}

// A warning of the write belongs among the account's lines, where its commit was.
void Runner::commitState(size_t index, const std::string& packed) {
  if (index == shown_ || state_[index].spool < 0) {
    IncrementalScan::applyCommit(packed);
    return;
  }
  const Diverted kept(state_[index].spool);
  IncrementalScan::applyCommit(packed);
}

// A file without a name for the records kept back, in the log file's directory, which exists and
// takes the log anyway, so the lines do not depend on room in /tmp; /tmp where that directory
// cannot hold such a file. -1 when neither can.
int Runner::openSpool() {
  const std::string& log = Settings::instance().logfile();
  const size_t slash = log.rfind('/');
  spool_place_ = slash == std::string::npos ? "." : slash == 0 ? "/" : log.substr(0, slash);
  int fd = ::open(spool_place_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  spool_place_ = P_tmpdir;
  fd = ::open(spool_place_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return -1;
  fd = ::dup(::fileno(file));
  std::fclose(file);
  return fd;
}

// Before any job forks, and while an interrupt still ends the run at once; its lines wait for
// the first account that uses the state.
void Runner::openState() {
  if (Settings::instance().statefile().empty()) return;
  const int lines = openSpool();
  if (lines < 0) {
    IncrementalScan::openForJobs();
    return;
  }
  {
    const Diverted opening(lines);
    IncrementalScan::openForJobs();
  }
  ::lseek(lines, 0, SEEK_SET);
  job_records::readUntil(lines, '\0', [this](char kind, const std::string& text) {
    opening_.emplace_back(kind, text);
  });
  ::close(lines);
}

void Runner::end(size_t index) {
  Job& job = state_[index];
  ::close(job.from);
  job.from = -1;
  if (job.to >= 0) ::close(job.to);
  job.to = -1;
  while (::waitpid(job.pid, &job.status, 0) < 0 && errno == EINTR) {
  }
  job.pid = -1;
  job.ended = true;
  progress_.ended(index);
  --running_;
  if (job.reported) {
    if (job.result != 0) run_result_ = -1;
    if (__builtin_add_overflow(remaining_total, job.remaining, &remaining_total)) {
      remaining_total = INT_MAX;
    }
    run_totals.examined += job.totals.examined;
    run_totals.deleted += job.totals.deleted;
    run_totals.kept += job.totals.kept;
    run_totals.quarantined += job.totals.quarantined;
    run_totals.failed += job.totals.failed;
  } else {
    run_result_ = -1;
    ++run_totals.failed;
  }
  commitInTurn();
  job.settled = true;
  settle();
  // The account shown now may have ended, and the ones after it with it.
  while (shown_ < state_.size() && state_[shown_].ended) {
    finishShown(shown_);
    ++shown_;
    if (shown_ < state_.size() && state_[shown_].started) showFrom(shown_);
  }
}

// The Message-IDs of the accounts settled in a row from the first go to seen_, and the next
// account may judge.
void Runner::settle() {
  while (settled_ < state_.size() && state_[settled_].settled) {
    seen_.insertPacked(state_[settled_].seen);
    std::string().swap(state_[settled_].seen);
    ++settled_;
    before_.push_back(seen_.packed().size());
  }
  grantTurns();
}

// A job judges once every account before it has given its Message-IDs: judged, or all read and
// known ahead. It is told those of the accounts before it, never its own: they would make each of
// its messages a duplicate.
void Runner::grantTurns() {
  for (size_t index = 0; index <= settled_ && index < state_.size(); ++index) {
    Job& job = state_[index];
    if (!job.waiting) continue;
    job.waiting = false;
    // The job reads until 'g', so these writes cannot wait on it for long.
    job_records::send(job.to, 'k', std::string_view(seen_.packed()).substr(0, before_[index]));
    job_records::send(job.to, 'g', "");
  }
}

// The account's turn to be shown: what it said so far, then the rest as it comes.
void Runner::showFrom(size_t index) {
  Job& job = state_[index];
  if (job.spool < 0) return;
  const int fd = job.spool;
  ::lseek(fd, 0, SEEK_SET);
  job_records::readUntil(fd, '\0', [this](char kind, const std::string& text) {
    replay(kind, text);
  });
  ::close(job.spool);
  job.spool = -1;
}

void Runner::finishShown(size_t index) {
  Job& job = state_[index];
  showFrom(index);
  if (job.reported || interrupting_) return;
  // A job that died gives no lines of its own about it.
  Reporter& reporter = Reporter::instance();
  const MailAccount& account = accounts_[index];
  const std::string name = account.user() + "@" + account.server();
  reporter.error("The check of account " + name + " ended abnormally" +
                     (WIFSIGNALED(job.status)
                          ? " (signal " + std::to_string(WTERMSIG(job.status)) + ")."
                          : "."),
                 1);
  reporter.error("Skipping account " + name + " due to earlier errors.", 1);
}

// Every job ends at once without QUIT; what they logged is shown in the order of accounts, then
// the abort line with the deletions of every one of them left undone.
void Runner::interrupted(int signal_number) {
  interrupting_ = true;
  for (Job& job : state_) {
    if (job.pid > 0) ::kill(job.pid, SIGTERM);
  }
  for (size_t index = 0; index < state_.size(); ++index) {
    while (state_[index].from >= 0) take(index);
  }
  for (; shown_ < state_.size() && state_[shown_].started; ++shown_) showFrom(shown_);
  int undone = 0;
  for (size_t index = 0; index < state_.size(); ++index) undone += undone_[index].load();
  deletions_awaiting_quit = undone;
  onInterrupt(signal_number);
  _exit(-1);  // onInterrupt does not return
}

int Runner::run() {
  openState();
  undone_bytes_ = sizeof(std::atomic<int>) * state_.size();
  void* shared = ::mmap(nullptr, undone_bytes_, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) throw std::runtime_error("no shared memory for the jobs");
  undone_ = new (shared) std::atomic<int>[state_.size()]();
  if (::pipe2(watch_, O_CLOEXEC | O_NONBLOCK) != 0 || !installJobsWatch(watch_[1])) {
    throw std::runtime_error("the jobs cannot be watched for signals");
  }
  // A job that has died must not end the running process when it is written to.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &old_pipe_);
  // A job forked while another thread still builds the rule matcher would wait for it for ever.
  // Built here, once, it is shared by every job, which would otherwise each build their own.
  prepareRuleMatcher();
  awaitRuleMatcherBuild();
  // Set up here once, not again in every job, where each page it writes is a fault of its own.
  MailboxLock::prepareNaming();

  std::vector<pollfd> watched;
  std::vector<size_t> owners;
  while (shown_ < state_.size()) {
    while (running_ < jobs_ && next_ < state_.size()) {
      if (!start(next_)) {
        if (running_ > 0) break;
        throw std::runtime_error("no process could be started for an account");
      }
      if (next_ == shown_) showFrom(next_);
      ++next_;
    }
    watched.assign(1, pollfd{watch_[0], POLLIN, 0});
    owners.assign(1, state_.size());
    for (size_t index = 0; index < state_.size(); ++index) {
      if (state_[index].from < 0) continue;
      watched.push_back(pollfd{state_[index].from, POLLIN, 0});
      owners.push_back(index);
    }
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("the jobs cannot be watched");
    }
    if (watched[0].revents != 0) {
      unsigned char signal_number = 0;
      if (::read(watch_[0], &signal_number, 1) == 1) interrupted(signal_number);
    }
    for (size_t at = 1; at < watched.size(); ++at) {
      if (watched[at].revents != 0) take(owners[at]);
    }
  }
  return run_result_;
}

}  // namespace

int checkAccountsAtOnce(std::vector<MailAccount>& accounts, int jobs, const AccountTurn& turn) {
  Runner runner(accounts, jobs, turn);
  return runner.run();
}
