#include <regex.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "config/protocol_codes.h"
#include "config/rc_file.h"
#include "config/settings.h"
#include "driver/modes.h"
#include "driver/path_checks.h"
#include "net/tls.h"
#include "rules/rules.h"
#include "text/escape.h"
#include "text/shell_word.h"

namespace {

void line(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
}

// A value as the rc file would write it; a value that a command gave is never shown, since
// commands are how secrets reach the rc file.
std::string shown(const std::string& value) {
  for (const std::string& output : commandValues()) {
    if (output.empty() || value.find(output) == std::string::npos) continue;
    return output == kCommandNotRun ? "(command, not run)" : "(command output, hidden)";
  }
  // Built by appending: the optimiser's restrict warning misfires on concatenated temporaries.
  std::string quoted(1, '"');
  quoted += escapeControls(value);
  quoted += '"';
  return quoted;
}

std::string yesNo(bool value) {
  return value ? "\"yes\"" : "\"no\"";
}

const char* protocolName(int code) {
  switch (code) {
    case kProtocolApop:
      return "APOP";
    case kProtocolPop3Ssl:
      return "POP3/SSL";
    case kProtocolApopSsl:
      return "APOP/SSL";
    case kProtocolPop3Stls:
      return "POP3/STLS";
    case kProtocolApopStls:
      return "APOP/STLS";
    default:
      return "POP3";
  }
}

std::string loginMethod(const MailAccount& account) {
  if (!account.auth().empty()) return "AUTH " + account.auth();
  return protocolUsesApop(account.protocolCode()) ? "APOP" : "USER/PASS";
}

// A value that a command gave: its path is not shown, so it is not looked at either.
bool fromCommand(const std::string& value) {
  return shown(value).front() != '"';
}

bool isLoopback(const std::string& server) {
  return server == "localhost" || server == "::1" || server.rfind("127.", 0) == 0;
}

struct Findings {
  std::vector<std::string> faults;    // a run would fail on these
  std::vector<std::string> warnings;  // a run would go ahead, perhaps not as meant
};

void showAccounts(Settings& settings, Findings& found) {
  const std::vector<MailAccount>& accounts = settings.accounts();
  line("Accounts: " + std::to_string(accounts.size()));
  if (accounts.empty()) found.warnings.push_back("No account is configured; a run checks nothing.");
  int number = 0;
  for (const MailAccount& account : accounts) {
    const std::string name = "Account " + std::to_string(++number);
    const int code = account.protocolCode();
    std::string password = "*****";
    if (account.pass().empty()) password = "(empty)";
    if (account.pass() == kCommandNotRun) password = "(command, not run)";
    line("  " + name + ": SERVER " + shown(account.server()) + ", PORT " +
         std::to_string(account.port()) + ", PROTOCOL " + protocolName(code) + ", USER " +
         shown(account.user()) + ", login " + loginMethod(account) + ", PASS " + password);
    if (!account.tlsFingerprint().empty()) {
      line("    TLS_FINGERPRINT " + account.tlsFingerprint());
    }
    if (!account.tlsCaFile().empty()) {
      line("    TLS_CA_FILE " + shown(account.tlsCaFile()));
      // Loaded as a connection loads it, where the protocol uses TLS at all.
      const bool tls = protocolUsesTls(code) || protocolUsesStls(code);
      const std::string why =
          tls && !fromCommand(account.tlsCaFile()) ? caFileProblem(account.tlsCaFile()) : "";
      if (!why.empty()) {
        found.faults.push_back(name + ": The TLS_CA_FILE '" + escapeControls(account.tlsCaFile()) +
                               "' could not be loaded: " + why + "; a run cannot connect to it.");
      }
    }
    if (code == kProtocolPop3 && !isLoopback(account.server())) {
      found.warnings.push_back(name +
                               " sends its password unencrypted (PROTOCOL POP3); prefer POP3/SSL.");
    }
  }
}

void showSettings(Settings& settings, Findings& found) {
  line("Settings:");
  line("  LOGFILE = " + (settings.logfile().empty() ? "(none)" : shown(settings.logfile())));
  if (settings.logfile().empty()) {
    found.faults.push_back(
        "No log file: a run stops with \"Could not locate log file.\" "
        "(set LOGFILE or use -L).");
  } else if (!fromCommand(settings.logfile())) {
    const std::string why = logFileProblem(settings.logfile());
    if (!why.empty()) {
      found.faults.push_back("The log file " + why +
                             "; a run stops with \"Could not open log file '" +
                             escapeControls(settings.logfile()) + "' for writing.\"");
    }
  }
  line("  SHOW_HEADERS = " +
       (settings.showHeaders().empty() ? "(none)" : shown(settings.showHeaders())));
  line("  STATEFILE = " + (settings.statefile().empty() ? "(none)" : shown(settings.statefile())));
  if (!settings.statefile().empty() && !fromCommand(settings.statefile())) {
    const std::string why = stateFileProblem(settings.statefile());
    if (!why.empty()) {
      found.faults.push_back("The state file " + why + "; a run cannot keep its state there.");
    }
  }
  line("  QUARANTINE = " +
       (settings.quarantine().empty() ? "(none)" : shown(settings.quarantine())));
  line("  QUARANTINE_DAYS = " + std::to_string(settings.quarantineDays()));
  if (!settings.quarantine().empty() && !fromCommand(settings.quarantine())) {
    const std::string why = quarantineProblem(settings.quarantine());
    if (!why.empty()) {
      found.faults.push_back("The quarantine cannot be used: " + why +
                             "; a run without -t deletes no message.");
    }
  }
  if (!settings.learnFile().empty() || settings.learnedScoreSet()) {
    line("  LEARN_FILE = " +
         (settings.learnFile().empty() ? "(none)" : shown(settings.learnFile())));
    line("  LEARNED_SCORE = " +
         (settings.learnedScoreSet() ? std::to_string(settings.learnedScore()) : "(none)"));
    line("  LEARN_MINIMUM = " + std::to_string(settings.learnMinimum()));
  }
  line("  TEST = " + yesNo(settings.test()));
  line("  VERBOSE = " + std::to_string(settings.verbose()));
  line("  TIMEOUT = " + std::to_string(settings.timeout()));
  line("  JOBS = " + std::to_string(settings.jobs()));
  line("  HIGHSCORE = " + std::to_string(settings.highscore()));
  line("  MAXLENGTH = " + std::to_string(settings.maxlength()));
  line("  MAXSIZE_ALLOW = " + std::to_string(settings.maxsizeAllow()));
  line("  MAXSIZE_DENY = " + std::to_string(settings.maxsizeDeny()));
  const auto [points, size] = settings.maxsizeScore();
  line("  MAXSIZE_SCORE " + std::to_string(points) + " = " + std::to_string(size));
  // Shown where the rc file gives it, so that the listing of one without it stays as it was.
  if (settings.maxDeleteSet()) {
    line("  MAX_DELETE = " + std::to_string(settings.maxDelete()) +
         (settings.maxDelete() == 0 ? " (no limit)" : " (percent of a mailbox's messages)"));
  }
  line("  DEL_DUPLICATES = " + yesNo(settings.delDuplicates()));
  line("  PIPELINING = " + yesNo(settings.pipelining()));
  line("  NORMAL = " + yesNo(settings.normal()));
  line("  REG_CASE = " + yesNo(settings.regCase() == 0) + " (for rules after the last REG_CASE)");
  line(std::string("  REG_TYPE = ") +
       ((settings.regType() & REG_EXTENDED) != 0 ? "\"extended\"" : "\"basic\""));
  line("  --ignore-time-stamps: " + std::string(settings.ignoreTimeStamps() ? "on" : "off"));
  line("  --skip-ssl-verify: " + std::string(settings.skipSslVerify() ? "on" : "off"));
  line("  --return-value: " + std::string(settings.returnValue() ? "on" : "off"));
  if (settings.skipSslVerify()) {
    found.warnings.push_back("--skip-ssl-verify accepts any server certificate.");
  }
  for (const std::string& include : unreadIncludes()) {
    found.warnings.push_back("INCLUDE=" + escapeControls(include) +
                             " is not checked: its name needs a command, which a check does not "
                             "run (--check-commands reads it).");
  }
}

template <typename Rule>
std::string ruleCount(const std::vector<Rule>& rules, const char* kind) {
  int negative = 0;
  for (const Rule& rule : rules) negative += rule.negated() ? 1 : 0;
  return std::to_string(rules.size()) + " " + kind + " (" + std::to_string(negative) + " negative)";
}

// Rules the linear-time engine cannot take see only the start of a long line.
void showFallbackRules() {
  const std::vector<FallbackRule> rules = fallbackRules();
  if (rules.empty()) return;
  line("Rules matched by the C library, on the first " + std::to_string(kFallbackLineBytes) +
       " bytes of each line: " + std::to_string(rules.size()));
  for (const FallbackRule& rule : rules) {
    line("  " + rule.list + " rule " + std::to_string(rule.position) + " \"" +
         escapeControls(rule.expression) + "\": " + rule.reason + ".");
  }
}

void showCommands(bool commands_run) {
  const std::vector<std::string>& values = commandValues();
  if (values.empty()) return;
  if (commands_run) {
    line("Backquoted commands run: " + std::to_string(values.size()) +
         "; the values they gave are hidden.");
  } else {
    line("Commands not run: " + std::to_string(values.size()) + "; --check-commands runs them.");
  }
}

}  // namespace

std::vector<std::string> idleSettings() {
  Settings& settings = Settings::instance();
  std::vector<std::string> found;
  if (settings.learnedScoreSet() && settings.learnFile().empty()) {
    found.push_back("LEARNED_SCORE is set but LEARN_FILE is not, so no learned score is added.");
  }
  for (const MailAccount& account : settings.accounts()) {
    const int code = account.protocolCode();
    if (protocolUsesTls(code) || protocolUsesStls(code)) continue;
    const std::pair<const char*, bool> trust[] = {
        {"TLS_FINGERPRINT", !account.tlsFingerprint().empty()},
        {"TLS_CA_FILE", !account.tlsCaFile().empty()}};
    for (const auto& [keyword, given] : trust) {
      if (!given) continue;
      found.push_back("The account '" + escapeControls(account.user()) + "@" +
                      escapeControls(account.server()) + "' has " + keyword +
                      ", but its PROTOCOL " + protocolName(code) +
                      " uses no TLS, so it is not used.");
    }
  }
  return found;
}

int checkConfiguration(bool commands_run) {
  Settings& settings = Settings::instance();
  Findings found;
  line("Configuration of " + escapeControls(settings.pollensiftrc()) + " (no server contacted):");
  showAccounts(settings, found);
  showSettings(settings, found);
  line("Rules: " + ruleCount(settings.allowRules(), "allow") + ", " +
       ruleCount(settings.denyRules(), "deny") + ", " + ruleCount(settings.scoreRules(), "score") +
       ", all compiled.");
  showFallbackRules();
  const LearnedStatus learned = learnedStatus();
  if (!learned.line.empty()) line(learned.line);
  if (!learned.warning.empty()) found.warnings.push_back(learned.warning);
  for (const std::string& text : blockListLines()) line(text);
  showCommands(commands_run);
  for (const std::string& idle : idleSettings()) found.warnings.push_back(idle);
  for (const std::string& fault : found.faults) line("Error: " + fault);
  for (const std::string& warning : found.warnings) line("Warning: " + warning);
  line(found.faults.empty() ? "The configuration is usable." : "The configuration has errors.");
  std::fflush(stdout);
  return found.faults.empty() ? 0 : -1;
}
