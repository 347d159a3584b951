#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/mail_account.h"
#include "rules/rules.h"

// The process-wide configuration: scalar settings with their defaults, the three rule lists, the
// account list and the open rc-file stream. Created on first use and never destroyed.
class Settings {
 public:
  static Settings& instance();

  // How PROTOCOL statements make their protocol and connection objects. The driver hands in the
  // real factory (makeAccountObjects) at start-up; tests may install their own.
  void setObjectFactory(AccountObjectFactory factory);
  std::shared_ptr<AccountObjects> makeObjects(int code) const;

  // Rc file. Without -M the first of these in HOME that can be opened is read.
  static constexpr const char* kDefaultRcNames[] = {".pollensiftrc", "_pollensiftrc"};
  void setPollensiftrc(const std::string& path) { pollensiftrc_ = path; }
  const std::string& pollensiftrc() const { return pollensiftrc_; }
  bool openRcFile(const std::string& path);
  // After openRcFile failed: why, naming each path tried ("'/x/rc': No such file or directory.",
  // "'/x' is a directory.").
  const std::string& rcOpenProblem() const { return rc_open_problem_; }
  std::ifstream& rcFileStream() { return rcfile_stream_; }

  // Setters of the rc keywords and the options.
  void setLogfile(const std::string& text);
  void setShowHeaders(const std::string& text);
  void setStatefile(const std::string& text);
  void setQuarantine(const std::string& text);
  void setQuarantineDays(int days) { quarantine_days_ = days; }
  void setLearnFile(const std::string& text);
  void setLearnedScore(int points) {
    learned_score_ = points;
    learned_score_set_ = true;
  }
  void setLearnMinimum(int messages) { learn_minimum_ = messages; }
  // The fewest spam and the fewest ham messages LEARN_MINIMUM may ask for: fewer give
  // probabilities that one provider's name can push past any threshold.
  static constexpr int kMinLearnMinimum = 50;
  void setVerbose(int level);
  void setTest(const std::string& text);
  void setRegCase(const std::string& text);
  void setNormal(const std::string& text);
  void setDelDuplicates(const std::string& text);
  void setPipelining(const std::string& text);
  void setHighscore(int value) { highscore_ = value; }
  void setTimeout(int value) { timeout_ = value; }
  // The most accounts checked at once: each takes a process, a connection and a server's session.
  static constexpr int kMaxJobs = 100;
  // JOBS or -j: the first setting wins, so the command line overrides the rc file.
  void setJobs(int jobs);
  void setMaxsizeDeny(int value) { maxsize_deny_ = value; }
  void setMaxsizeAllow(int value) { maxsize_allow_ = value; }
  void setMaxlength(int value) { maxlength_ = value; }
  // MAX_DELETE: the most a live run deletes of a mailbox, in percent of its messages (0: no
  // limit); and whether the rc file gave it.
  void setMaxDelete(int percent) {
    max_delete_ = percent;
    max_delete_set_ = true;
  }
  void setMaxsizeScore(int score, int size) { maxsize_score_ = {score, size}; }
  void setReturnValue(bool value) { return_value_ = value; }
  void setIgnoreTimeStamps(bool value) { ignore_time_stamps_ = value; }
  void setSkipSslVerify(bool value) { skip_ssl_verify_ = value; }
  // place: where the rc file sets it, named under an unknown value's error.
  void setRegType(const std::string& text, const std::string& place = "");
  void addAllow(const std::string& keyword, const std::string& op, const std::string& expression);
  void addDeny(const std::string& keyword, const std::string& op, const std::string& expression);
  void addScore(const std::string& keyword, int score, const std::string& op,
                const std::string& expression);
  void setServer(const std::string& text) { current_account_.setServer(text); }
  void setUser(const std::string& text) { current_account_.setUser(text); }
  void setPass(const std::string& text) { current_account_.setPass(text); }
  void setProtocol(const std::string& text, const std::string& place = "");
  // AUTH, TLS_FINGERPRINT and TLS_CA_FILE of the account being built; bad values are fatal.
  void setAuth(const std::string& text);
  void setTlsFingerprint(const std::string& text);
  void setTlsCaFile(const std::string& text);
  // Completes the current account and appends it. An account that lacks SERVER, USER, PASS or
  // PROTOCOL, a port outside 1..65535 or a mailbox (server, port, user) already listed is a
  // fatal error naming place, where the PORT statement stands.
  void setPort(int value, const std::string& place = "");
  // Fatal: account statements from place on were not completed by a PORT statement.
  [[noreturn]] void refuseUncompletedAccount(const std::string& place);

  // Getters.
  const std::string& logfile() const { return logfile_; }
  const std::string& showHeaders() const { return show_headers_; }
  // The state file of incremental runs; empty without STATEFILE.
  const std::string& statefile() const { return statefile_; }
  // The Maildir that keeps every condemned message before its DELE; empty without QUARANTINE.
  const std::string& quarantine() const { return quarantine_; }
  // Files of the quarantine older than this many days go at the start of a live run; 0 keeps
  // them for ever.
  int quarantineDays() const { return quarantine_days_; }
  // The learned-token file; empty without LEARN_FILE.
  const std::string& learnFile() const { return learn_file_; }
  // The points of LEARNED_SCORE, and whether it was given: without it and LEARN_FILE no learned
  // score is added.
  int learnedScore() const { return learned_score_; }
  bool learnedScoreSet() const { return learned_score_set_; }
  // The spam and the ham messages that must each be learned before the learned score applies.
  int learnMinimum() const { return learn_minimum_; }
  std::vector<MailAccount>& accounts() { return accounts_; }
  std::vector<FilterRule>& allowRules() { return allow_rules_; }
  std::vector<FilterRule>& denyRules() { return deny_rules_; }
  std::vector<ScoreRule>& scoreRules() { return score_rules_; }
  RuleLists ruleLists() { return {&allow_rules_, &deny_rules_, &score_rules_}; }
  int regCase() const { return reg_case_; }
  int regType() const { return reg_type_; }
  bool normal() const { return normal_; }
  bool test() const { return test_; }
  bool delDuplicates() const { return del_duplicates_; }
  // Whether commands may be pipelined where the server offers it ("yes" unless PIPELINING = "no").
  bool pipelining() const { return pipelining_; }
  bool returnValue() const { return return_value_; }
  bool ignoreTimeStamps() const { return ignore_time_stamps_; }
  bool skipSslVerify() const { return skip_ssl_verify_; }
  int highscore() const { return highscore_; }
  int timeout() const { return timeout_; }
  // How many accounts are checked at the same time (1 by default: one after another).
  int jobs() const { return jobs_; }
  int maxsizeDeny() const { return maxsize_deny_; }
  std::pair<int, int> maxsizeScore() const { return maxsize_score_; }
  int maxsizeAllow() const { return maxsize_allow_; }
  int maxlength() const { return maxlength_; }
  int maxDelete() const { return max_delete_; }
  bool maxDeleteSet() const { return max_delete_set_; }
  int verbose() const { return verbose_; }
  int negativeAllowCount() const { return negative_allow_count_; }
  int negativeDenyCount() const { return negative_deny_count_; }

  // DNSBL, TRUSTED_RELAYS and DNS_SERVER: the DNS block lists asked about each message's relay.
  struct BlockLists {
    std::vector<std::pair<std::string, int>> lists;  // zone and points, in rc order
    std::vector<std::string> trusted_relays;         // extended expressions, case-insensitive
    std::string dns_server;                          // "address[:port]"; empty: the system's
  };
  BlockLists& blockLists() { return block_lists_; }
  const BlockLists& blockLists() const { return block_lists_; }

  // Puts every field back to its default; only tests and fuzzers call this.
  void resetForTesting();

 private:
  Settings();

  bool openOneRcFile(const std::string& path);

  std::ifstream rcfile_stream_;
  std::string rc_open_problem_;
  std::vector<FilterRule> allow_rules_;
  std::vector<FilterRule> deny_rules_;
  std::vector<ScoreRule> score_rules_;
  std::vector<MailAccount> accounts_;
  MailAccount current_account_;
  std::string pollensiftrc_;
  std::string logfile_;
  std::string show_headers_;
  std::string statefile_;
  std::string quarantine_;
  int quarantine_days_ = 30;
  std::string learn_file_;
  int learned_score_ = 0;
  bool learned_score_set_ = false;
  int learn_minimum_ = 200;
  int reg_case_;
  bool normal_ = false;
  bool test_ = false;
  bool del_duplicates_ = false;
  bool pipelining_ = true;
  bool return_value_ = false;
  bool ignore_time_stamps_ = false;
  bool skip_ssl_verify_ = false;
  int highscore_ = 100;
  int timeout_ = 30;
  int jobs_ = 1;
  bool jobs_set_ = false;
  int maxsize_deny_ = 0;
  std::pair<int, int> maxsize_score_{0, 0};
  int maxsize_allow_ = 0;
  int maxlength_ = 0;
  int max_delete_ = 0;
  bool max_delete_set_ = false;
  int reg_type_ = 0;
  int verbose_ = 3;
  int negative_allow_count_ = 0;
  int negative_deny_count_ = 0;
  bool verbose_set_ = false;
  bool test_set_ = false;
  AccountObjectFactory object_factory_;
  BlockLists block_lists_;
};

// Compiles the rules of the settings in the configured syntax (see compileRuleLists).
int compileRules(MatcherBuild build = MatcherBuild::kNow);
