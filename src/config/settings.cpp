#include "config/settings.h"

#include <regex.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "config/protocol_codes.h"
#include "report/fatal.h"
#include "report/reporter.h"
#include "text/compare.h"
#include "text/escape.h"
#include "text/file_kind.h"
#include "text/fingerprint.h"
#include "text/shell_word.h"

namespace {

bool isYes(const std::string& text) {
  return equalsIgnoreCase(text, "yes");
}

// Case flag of a rule statement: fixed by the _CASE / _NOCASE keyword, else REG_CASE in force.
int ruleCaseFlags(const std::string& keyword, const char* case_key, const char* nocase_key,
                  int reg_case) {
  if (equalsIgnoreCase(keyword, case_key)) return 0;
  if (equalsIgnoreCase(keyword, nocase_key)) return REG_ICASE;
  return reg_case;
}

}  // namespace

Settings::Settings() : reg_case_(REG_ICASE) {}

Settings& Settings::instance() {
  // Never destroyed: accounts and rules stay valid until the process ends, also during exit().
  static Settings* settings = new Settings();
  return *settings;
}

void Settings::resetForTesting() {
  AccountObjectFactory factory = object_factory_;
  *this = Settings();
  object_factory_ = std::move(factory);
  Reporter::instance().setLevel(verbose_);
  Reporter::instance().setHeadersPath(show_headers_);
}

void Settings::setObjectFactory(AccountObjectFactory factory) {
  object_factory_ = std::move(factory);
}

std::shared_ptr<AccountObjects> Settings::makeObjects(int code) const {
  if (!object_factory_) fatalError("No mailbox protocol support is built in.");
  return object_factory_(code);
}

bool Settings::openRcFile(const std::string& path) {
  pollensiftrc_ = path;
  rc_open_problem_.clear();
  if (!pollensiftrc_.empty()) return openOneRcFile(pollensiftrc_);
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    rc_open_problem_ = "HOME is not set, so there is no default rcfile; name one with -M.";
    return false;
  }
  for (const char* name : kDefaultRcNames) {
    pollensiftrc_ = std::string(home) + "/" + name;
    if (openOneRcFile(pollensiftrc_)) return true;
  }
  return false;
}

// Opens one candidate; when it cannot be read, adds why to rc_open_problem_. A FIFO or another
// special file is not opened at all, since reading it could block the run for ever.
bool Settings::openOneRcFile(const std::string& path) {
  // Built by appending: the optimiser's restrict warning misfires on concatenated temporaries.
  std::string problem(1, '\'');
  problem += escapeControls(path);
  problem += '\'';
  if (const char* kind = pathKindProblem(path, false)) {
    problem += ' ';
    problem += kind;
  } else {
    rcfile_stream_.open(path, std::ios::in | std::ios::binary);
    if (rcfile_stream_.is_open()) return true;
    problem += ": ";
    problem += std::strerror(errno);
  }
  problem += '.';
  if (!rc_open_problem_.empty()) rc_open_problem_ += ' ';
  rc_open_problem_ += problem;
  return false;
}

void Settings::setLogfile(const std::string& text) {
  if (!logfile_.empty()) return;
  if (!firstShellWord(text, logfile_)) fatalError("Invalid logfile name: `" + text + "'.");
}

void Settings::setShowHeaders(const std::string& text) {
  if (!firstShellWord(text, show_headers_)) {
    fatalError("Invalid headers store-file name: `" + text + "'.");
  }
  Reporter::instance().setHeadersPath(show_headers_);
}

void Settings::setStatefile(const std::string& text) {
  if (!firstShellWord(text, statefile_)) fatalError("Invalid state file name: `" + text + "'.");
}

void Settings::setQuarantine(const std::string& text) {
  if (!firstShellWord(text, quarantine_)) fatalError("Invalid quarantine name: `" + text + "'.");
}

void Settings::setLearnFile(const std::string& text) {
  if (!firstShellWord(text, learn_file_)) {
    fatalError("Invalid learned-token file name: `" + text + "'.");
  }
}

void Settings::setVerbose(int level) {
  if (verbose_set_) return;
  verbose_ = level;
  verbose_set_ = true;
  Reporter::instance().setLevel(level);
}

void Settings::setJobs(int jobs) {
  if (jobs_set_) return;
  jobs_ = jobs;
  jobs_set_ = true;
}

void Settings::setTest(const std::string& text) {
  if (test_set_) return;
  test_ = isYes(text);
  test_set_ = true;
}

void Settings::setRegCase(const std::string& text) {
  reg_case_ = isYes(text) ? 0 : REG_ICASE;
}
void Settings::setNormal(const std::string& text) {
  normal_ = isYes(text);
}
void Settings::setDelDuplicates(const std::string& text) {
  del_duplicates_ = isYes(text);
}
void Settings::setPipelining(const std::string& text) {
  pipelining_ = isYes(text);
}

namespace {
// The line that names where an unknown value stands; "" without a place.
std::string standsIn(const char* keyword, const std::string& value, const std::string& place) {
  if (place.empty()) return "";
  return "pollensift: " + std::string(keyword) + " \"" + escapeControls(value) + "\" stands in " +
         place + ".\n";
}
}  // namespace

void Settings::setRegType(const std::string& text, const std::string& place) {
  if (equalsIgnoreCase(text, "extended")) {
    reg_type_ = REG_EXTENDED;
  } else if (equalsIgnoreCase(text, "basic")) {
    reg_type_ = 0;
  } else {
    failFatal("pollensift: Error: Regular expressions must either be of type 'extended', or "
              "'basic'.\n" + standsIn("REG_TYPE", text, place),
              -1);
  }
}

void Settings::addAllow(const std::string& keyword, const std::string& op,
                        const std::string& expression) {
  const bool negated = op != "=";
  if (negated) ++negative_allow_count_;
  allow_rules_.emplace_back(
      expression, ruleCaseFlags(keyword, "allow_case", "allow_nocase", reg_case_), negated);
}

void Settings::addDeny(const std::string& keyword, const std::string& op,
                       const std::string& expression) {
  const bool negated = op != "=";
  if (negated) ++negative_deny_count_;
  deny_rules_.emplace_back(expression,
                           ruleCaseFlags(keyword, "deny_case", "deny_nocase", reg_case_), negated);
}

void Settings::addScore(const std::string& keyword, int score, const std::string& op,
                        const std::string& expression) {
  score_rules_.emplace_back(expression,
                            ruleCaseFlags(keyword, "score_case", "score_nocase", reg_case_),
                            op != "=", score);
}

namespace {

// The error for an unknown PROTOCOL value lists them from here.
const auto& kProtocols = kProtocolNames;

}  // namespace

void Settings::setProtocol(const std::string& text, const std::string& place) {
  for (const auto& [name, code] : kProtocols) {
    if (equalsIgnoreCase(text, name)) {
      try {
        current_account_.setObjects(code, makeObjects(code));
      } catch (const std::exception& e) {
        fatalError(e.what());
      }
      return;
    }
  }
  std::string names;
  for (const auto& protocol : kProtocols) {
    names += std::string(names.empty() ? "" : ", ") + "\"" + protocol.first + "\"";
  }
  failFatal(
      "pollensift: Error: Only supported protocols are POP3 and APOP (SSL only if OpenSSL "
      "is available).\npollensift: PROTOCOL \"" +
          escapeControls(text) + "\" is none of the valid values: " + names + ".\n" +
          standsIn("PROTOCOL", text, place),
      -1);
}

void Settings::setAuth(const std::string& text) {
  for (const char* mechanism : kAuthMechanisms) {
    if (equalsIgnoreCase(text, mechanism)) {
      current_account_.setAuth(mechanism);
      return;
    }
  }
  // The login of the protocol itself, for an account after one that used AUTH.
  if (equalsIgnoreCase(text, "USER")) {
    current_account_.setAuth("");
    return;
  }
  // The value is not repeated: a misplaced token command would show the token.
  fatalError("AUTH must be \"PLAIN\", \"XOAUTH2\" or \"OAUTHBEARER\" (or \"USER\" for USER "
             "and PASS).");
}

void Settings::setTlsFingerprint(const std::string& text) {
  const std::string fingerprint = normalFingerprint(text);
  if (fingerprint.empty()) {
    fatalError("TLS_FINGERPRINT must be the SHA-256 fingerprint of the server certificate, 64 "
               "hexadecimal digits (colons allowed), not `" + text + "'.");
  }
  current_account_.setTlsFingerprint(fingerprint);
}

void Settings::setTlsCaFile(const std::string& text) {
  std::string path;
  if (!firstShellWord(text, path)) fatalError("Invalid TLS_CA_FILE name: `" + text + "'.");
  current_account_.setTlsCaFile(path);
}

namespace {

// "'ann@pop.example.org'", empty parts left empty so that what is missing shows.
std::string accountName(const MailAccount& account) {
  return "'" + account.user() + "@" + account.server() + "'";
}

std::string portPlace(const std::string& place) {
  return place.empty() ? "" : " in " + place;
}

}  // namespace

void Settings::setPort(int value, const std::string& place) {
  current_account_.setPort(value);
  current_account_.setPlace(place);
  if (value < 1 || value > 65535) {
    fatalError("PORT " + std::to_string(value) + portPlace(place) +
               " is out of range for the account " + accountName(current_account_) +
               ": a port is a number from 1 to 65535.");
  }
  std::string missing;
  const std::pair<const char*, bool> kParts[] = {
      {"SERVER", current_account_.server().empty()},
      {"USER", current_account_.user().empty()},
      {"PASS", current_account_.pass().empty()},
      {"PROTOCOL", current_account_.objects() == nullptr},
  };
  for (const auto& [keyword, absent] : kParts) {
    if (absent) missing += (missing.empty() ? "no " : " and no ") + std::string(keyword);
  }
  if (!missing.empty() && missing != "no PROTOCOL") {
    fatalError("The account " + accountName(current_account_) + " completed by PORT" +
               portPlace(place) + " has " + missing + ".");
  }
  if (current_account_.objects() == nullptr) {
    // The account check needs a protocol object; refuse the account now rather than at run time.
    fatalError("The account " + current_account_.user() + "@" + current_account_.server() +
               " is completed by PORT before any PROTOCOL statement.");
  }
  if (!current_account_.auth().empty() && protocolUsesApop(current_account_.protocolCode())) {
    fatalError("The account " + current_account_.user() + "@" + current_account_.server() +
               " has AUTH = \"" + current_account_.auth() +
               "\" and an APOP protocol, which is a login of its own; use \"POP3\", "
               "\"POP3/SSL\" or \"POP3/STLS\" with AUTH.");
  }
  // The same mailbox twice is checked twice: with DEL_DUPLICATES the second pass takes every
  // message for a copy of itself and deletes the whole mailbox.
  for (const MailAccount& earlier : accounts_) {
    if (earlier.port() == value && earlier.user() == current_account_.user() &&
        equalsIgnoreCase(earlier.server(), current_account_.server())) {
      fatalError("The mailbox " + accountName(current_account_) + " on port " +
                 std::to_string(value) + " is listed twice" + portPlace(earlier.place()) +
                 (place.empty() ? "" : " and " + place) + "; list each mailbox once.");
    }
  }
  accounts_.push_back(current_account_);
}

void Settings::refuseUncompletedAccount(const std::string& place) {
  fatalError("The account " + accountName(current_account_) +
             " is not completed: no PORT statement follows its statements from " + place + ".");
}

int compileRules(MatcherBuild build) {
  Settings& settings = Settings::instance();
  return compileRuleLists(settings.ruleLists(), settings.regType(), settings.highscore(), build);
}
