/* The rc grammar: turns each statement of the rc file into calls on Settings. Values are
   std::string or int, so nothing is lost when an error unwinds the parser. */

%require "3.8"
%language "c++"
%skeleton "lalr1.cc"
%define api.prefix {rc}
%define api.parser.class {rcparser}
%define api.value.type variant
%define api.token.constructor
%define parse.assert
%define parse.error custom

%parse-param {rcFlexLexer& scanner} {Settings& settings}
%lex-param {rcFlexLexer& scanner}

%code requires {
#include <string>
#include <vector>

class rcFlexLexer;
class Settings;
}

%code {
#include <arpa/inet.h>
#include <regex.h>

#include <algorithm>
#include <cctype>
#include <new>

#include "config/rc_command.h"
#include "config/rc_diagnostics.h"
#include "config/rc_lexer.h"
#include "config/settings.h"
#include "report/fatal.h"
#include "report/warning.h"
#include "text/shell_word.h"

namespace rc {
rcparser::symbol_type yylex(rcFlexLexer& scanner);
}

// Ends the run with the diagnostic and the place of the token where the error was noticed.
[[noreturn]] void grammarError(const std::string& diagnostic);

namespace {
// A DNSBL zone is a domain name: letters, digits, '-' and '_' in dot-separated labels.
void checkDnsblZone(const std::string& zone) {
  bool fits = !zone.empty() && zone.size() <= 200 && zone.front() != '.' &&
              zone.find("..") == std::string::npos;
  for (const char c : zone) {
    fits = fits && (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' ||
                    c == '_');
  }
  if (!fits) grammarError("DNSBL must name a DNS zone such as \"zen.spamhaus.org\"");
}

void checkTrustedRelays(const std::string& expression) {
  regex_t compiled;
  if (regcomp(&compiled, expression.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) {
    grammarError("TRUSTED_RELAYS must be an extended regular expression");
  }
  regfree(&compiled);
}

// "192.0.2.1", "192.0.2.1:5353", "2001:db8::1", "[2001:db8::1]:5353".
void checkDnsServer(const std::string& server) {
  std::string address = server;
  std::string port;
  if (server.starts_with("[")) {
    const size_t end = server.find(']');
    address = server.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    if (end != std::string::npos && end + 1 < server.size()) {
      port = server[end + 1] == ':' ? server.substr(end + 2) : "x";
    }
  } else if (std::count(server.begin(), server.end(), ':') == 1) {
    address = server.substr(0, server.find(':'));
    port = server.substr(server.find(':') + 1);
  }
  unsigned char bytes[16];
  const bool v4 = !server.starts_with("[") && inet_pton(AF_INET, address.c_str(), bytes) == 1;
  const bool v6 = inet_pton(AF_INET6, address.c_str(), bytes) == 1;
  const bool port_fits = port.empty() || (port.size() <= 5 &&
                                          port.find_first_not_of("0123456789") == std::string::npos &&
                                          std::stoi(port) >= 1 && std::stoi(port) <= 65535);
  if (!(v4 || v6) || !port_fits) {
    grammarError("DNS_SERVER must be an IP address with an optional port, such as "
                 "\"127.0.0.1:5353\" or \"[::1]:5353\"");
  }
}

// A negative time-out has no sound meaning; 0 is allowed and waits for nothing.
void checkTimeout(int seconds) {
  if (seconds < 0) {
    grammarError("TIMEOUT must be 0 or more seconds, not " + std::to_string(seconds));
  }
}

// The number of accounts checked at once; each has a connection and a process of its own.
void checkJobs(int jobs) {
  if (jobs < 1 || jobs > Settings::kMaxJobs) {
    grammarError("JOBS must be from 1 to " + std::to_string(Settings::kMaxJobs) + ", not " +
                 std::to_string(jobs));
  }
}

// A share of a mailbox's messages in percent; 0 sets no limit.
void checkMaxDelete(int percent) {
  if (percent < 0 || percent > 100) {
    grammarError("MAX_DELETE must be from 0 to 100 percent, not " + std::to_string(percent));
  }
}

void checkQuarantineDays(int days) {
  if (days < 0) {
    grammarError("QUARANTINE_DAYS must be 0 or more days, not " + std::to_string(days));
  }
}

// Below zero the learned score would give learned ham points towards deletion.
void checkLearnedScore(int points) {
  if (points < 0) {
    grammarError("LEARNED_SCORE must be 0 or more points, not " + std::to_string(points));
  }
}

void checkLearnMinimum(int messages) {
  if (messages < Settings::kMinLearnMinimum) {
    grammarError("LEARN_MINIMUM must be " + std::to_string(Settings::kMinLearnMinimum) +
                 " or more messages, not " + std::to_string(messages));
  }
}

// Where the account statements after the last PORT began ("" when there are none): a PORT must
// follow to complete that account.
std::string pending_account_place;

void noteAccountStatement() {
  if (pending_account_place.empty()) pending_account_place = rcPlace();
}

// What the quoted value being read is for: a command in a secret need not always run, and a
// rule that a command writes deserves a word.
enum class ValueUse { kPlain, kSecret, kRule };
ValueUse value_use = ValueUse::kPlain;
std::string value_command;  // the first command run for the value being read

void startValue(ValueUse use) {
  value_use = use;
  value_command.clear();
}

std::string commandValue(const std::string& command) {
  std::string value = commandOutput(command, value_use == ValueUse::kSecret);
  const bool ran = commandsRun() && !shellDisabled();
  if (ran && value_command.empty()) value_command = command;
  return value;
}

// A rule is read before any mail: a command in it runs now and decides what mail the rule
// deletes or spares, so it is named once.
template <typename Rules>
void noteRule(Rules& rules, const char* kind) {
  rules.back().setPlace(rcPlace());
  if (value_use == ValueUse::kRule && !value_command.empty()) {
    warn(std::string("The ") + kind + " rule in " + rcPlace() + " runs the command `" +
         value_command + "' and takes the first line it prints into the rule.");
  }
  startValue(ValueUse::kPlain);
}

void append(std::string& text, const std::string& piece) {
  try {
    text += piece;
  } catch (const std::bad_alloc&) {
    failFatal("Out of memory error in rcparser.\n", -1);
  }
}
}  // namespace
}

%token <std::string>
  ALLOW ALLOW_CASE ALLOW_NOCASE DENY DENY_CASE DENY_NOCASE SCORE SCORE_CASE SCORE_NOCASE
  DEL_DUPLICATES HIGHSCORE LOGFILE MAXLENGTH MAXSIZE_ALLOW MAXSIZE_DENY MAXSIZE_SCORE NORMAL
  MAX_DELETE
  JOBS PIPELINING SERVER USER PASS PROTOCOL PORT QUARANTINE QUARANTINE_DAYS LEARN_FILE LEARNED_SCORE LEARN_MINIMUM REG_CASE REG_TYPE SHOW_HEADERS STATEFILE TEST TIMEOUT
  VERBOSE
  AUTH TLS_FINGERPRINT TLS_CA_FILE
%token <std::string> DNSBL TRUSTED_RELAYS DNS_SERVER
%token <std::string> '=' NEQ "<>"
%token <std::string> QUOTE 34 YESNO COMMAND ENVVAR WORD CHAR
%token <int> NUMBER

%type <std::string> allow_keyword deny_keyword score_keyword operator string pieces piece yesno
%type <int> number

%%

rcfile
  : %empty
  | rcfile statement
  ;

statement
  : allow_keyword operator { startValue(ValueUse::kRule); } string
      { settings.addAllow($1, $2, $4); noteRule(settings.allowRules(), "allow"); }
  | deny_keyword operator { startValue(ValueUse::kRule); } string
      { settings.addDeny($1, $2, $4); noteRule(settings.denyRules(), "deny"); }
  | score_keyword number operator { startValue(ValueUse::kRule); } string
      { settings.addScore($1, $2, $3, $5); noteRule(settings.scoreRules(), "score"); }
  | DNSBL number '=' string
      { checkDnsblZone($4); settings.blockLists().lists.emplace_back($4, $2); }
  | TRUSTED_RELAYS '=' string
      { checkTrustedRelays($3); settings.blockLists().trusted_relays.push_back($3); }
  | DNS_SERVER '=' string                 { checkDnsServer($3); settings.blockLists().dns_server = $3; }
  | DEL_DUPLICATES '=' yesno              { settings.setDelDuplicates($3); }
  | HIGHSCORE '=' number                  { settings.setHighscore($3); }
  | LOGFILE '=' string                    { settings.setLogfile($3); }
  | MAXLENGTH '=' number                  { settings.setMaxlength($3); }
  | MAXSIZE_ALLOW '=' number              { settings.setMaxsizeAllow($3); }
  | MAXSIZE_DENY '=' number               { settings.setMaxsizeDeny($3); }
  | MAXSIZE_SCORE number '=' number       { settings.setMaxsizeScore($2, $4); }
  | MAX_DELETE '=' number                 { checkMaxDelete($3); settings.setMaxDelete($3); }
  | NORMAL '=' yesno                      { settings.setNormal($3); }
  | SERVER '=' string                     { settings.setServer($3); noteAccountStatement(); }
  | USER '=' string                       { settings.setUser($3); noteAccountStatement(); }
  | PASS '=' { startValue(ValueUse::kSecret); } string
      { settings.setPass($4); startValue(ValueUse::kPlain); notePasswordStatement(); noteAccountStatement(); }
  | PROTOCOL '=' string                   { settings.setProtocol($3, rcPlace()); noteAccountStatement(); }
  | PORT '=' number                       { settings.setPort($3, rcPlace()); pending_account_place.clear(); }
  | AUTH '=' string                       { settings.setAuth($3); noteAccountStatement(); }
  | TLS_FINGERPRINT '=' string            { settings.setTlsFingerprint($3); noteAccountStatement(); }
  | TLS_CA_FILE '=' string                { settings.setTlsCaFile($3); noteAccountStatement(); }
  | REG_CASE '=' yesno                    { settings.setRegCase($3); }
  | REG_TYPE '=' string                   { settings.setRegType($3, rcPlace()); }
  | SHOW_HEADERS '=' string               { settings.setShowHeaders($3); }
  | STATEFILE '=' string                  { settings.setStatefile($3); }
  | QUARANTINE '=' string                 { settings.setQuarantine($3); }
  | QUARANTINE_DAYS '=' number            { checkQuarantineDays($3); settings.setQuarantineDays($3); }
  | LEARN_FILE '=' string                 { settings.setLearnFile($3); }
  | LEARNED_SCORE '=' number              { checkLearnedScore($3); settings.setLearnedScore($3); }
  | LEARN_MINIMUM '=' number              { checkLearnMinimum($3); settings.setLearnMinimum($3); }
  | TEST '=' yesno                        { settings.setTest($3); }
  | PIPELINING '=' yesno                  { settings.setPipelining($3); }
  | TIMEOUT '=' number                    { checkTimeout($3); settings.setTimeout($3); }
  | JOBS '=' number                       { checkJobs($3); settings.setJobs($3); }
  | VERBOSE '=' number                    { settings.setVerbose($3); }
  ;

allow_keyword
  : ALLOW         { $$ = std::move($1); }
  | ALLOW_CASE    { $$ = std::move($1); }
  | ALLOW_NOCASE  { $$ = std::move($1); }
  ;

deny_keyword
  : DENY          { $$ = std::move($1); }
  | DENY_CASE     { $$ = std::move($1); }
  | DENY_NOCASE   { $$ = std::move($1); }
  ;

score_keyword
  : SCORE         { $$ = std::move($1); }
  | SCORE_CASE    { $$ = std::move($1); }
  | SCORE_NOCASE  { $$ = std::move($1); }
  ;

operator
  : '='  { $$ = std::move($1); }
  | NEQ  { $$ = std::move($1); }
  ;

string
  : QUOTE pieces QUOTE  { $$ = std::move($2); }
  ;

pieces
  : piece         { $$ = std::move($1); }
  | pieces piece  { $$ = std::move($1); append($$, $2); }
  ;

piece
  : COMMAND  { $$ = commandValue($1.substr(1, $1.size() - 2)); }
  | ENVVAR   { $$ = std::move($1); }
  | WORD     { $$ = std::move($1); }
  | CHAR     { $$ = std::move($1); }
  ;

yesno
  : QUOTE YESNO QUOTE  { $$ = std::move($2); }
  ;

number
  : NUMBER  { $$ = $1; }
  ;

%%

namespace {
// The kind of the token before the look-ahead: it tells an opening quote from a closing one.
rc::rcparser::symbol_kind_type previous_kind = rc::rcparser::symbol_kind::S_YYEOF;
rc::rcparser::symbol_kind_type current_kind = rc::rcparser::symbol_kind::S_YYEOF;
// Where the token before the look-ahead and the look-ahead stand (file and line).
std::string previous_location;
std::string current_location;
}  // namespace

rc::rcparser::symbol_type rc::yylex(rcFlexLexer& scanner) {
  const int code = scanner.yylex();
  rcparser::symbol_type symbol =
      code == 0 ? rcparser::make_RCEOF()
      : code == rcparser::token::NUMBER ? rcparser::symbol_type(code, token_value.number)
                                        : rcparser::symbol_type(code, std::move(token_value.text));
  previous_kind = current_kind;
  current_kind = symbol.kind();
  previous_location = std::move(current_location);
  current_location = rcErrorLocation();
  return symbol;
}

void grammarError(const std::string& diagnostic) {
  fatalError(diagnostic + rcErrorLocation() + ".");
}

void rc::rcparser::error(const std::string& message) { grammarError(message); }

namespace {

using Kind = rc::rcparser::symbol_kind;

bool isKeyword(const std::string& name) {
  static const char* const kOtherTokens[] = {"QUOTE", "YESNO", "COMMAND", "ENVVAR",
                                             "WORD",  "CHAR",  "NUMBER",  "NEQ"};
  if (name.size() < 2 || name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789") !=
                             std::string::npos) {
    return false;
  }
  for (const char* other : kOtherTokens) {
    if (name == other) return false;
  }
  return true;
}

// A token in words, for grammar errors: the parser's own names mean nothing to the user.
std::string inWords(rc::rcparser::symbol_kind_type kind, bool expected) {
  switch (kind) {
    case Kind::S_YYEOF:
      return "end of file";
    case Kind::S_QUOTE:
      if (!expected) {
        return previous_kind == Kind::S_QUOTE ? "closing double quote (a value may not be empty)"
                                              : "double quote";
      }
      return previous_kind == Kind::S_NEQ ||
                     std::string(rc::rcparser::symbol_name(previous_kind)) == "'='"
                 ? "a value in double quotes"
                 : "the closing double quote";
    case Kind::S_YESNO:
      return expected ? "yes or no" : "yes or no without double quotes";
    case Kind::S_NUMBER:
      return expected ? "a number" : "number";
    case Kind::S_COMMAND:
    case Kind::S_ENVVAR:
    case Kind::S_WORD:
    case Kind::S_CHAR:
      return expected ? "more of the quoted value" : "text";
    case Kind::S_NEQ:
      return "'<>'";
    default:
      break;
  }
  const std::string name = rc::rcparser::symbol_name(kind);
  if (isKeyword(name)) return (expected ? "the keyword " : "keyword ") + name;
  return name;  // '=' and the parser's own symbols
}

}  // namespace

void rc::rcparser::report_syntax_error(const context& ctx) const {
  symbol_kind_type expected[YYNTOKENS];
  const int count = ctx.expected_tokens(expected, YYNTOKENS);
  // At the start of a statement every keyword would do: say so rather than list them all.
  int keywords = 0;
  for (int i = 0; i < count; ++i) keywords += isKeyword(symbol_name(expected[i])) ? 1 : 0;
  // A statement cut short by its line end ("PORT =") is noticed only at the next line's first
  // token; the fault is in the statement's own line.
  const bool cut_short = keywords == 0 && !previous_location.empty() &&
                         previous_location != current_location;
  std::string message = "syntax error, unexpected " +
                        (cut_short ? std::string("end of line") : inWords(ctx.token(), false));
  std::vector<std::string> phrases;
  for (int i = 0; i < count; ++i) {
    const std::string phrase = keywords > 3 && isKeyword(symbol_name(expected[i]))
                                   ? "a keyword"
                                   : inWords(expected[i], true);
    bool known = false;
    for (const std::string& p : phrases) known = known || p == phrase;
    if (!known) phrases.push_back(phrase);
  }
  for (size_t i = 0; i < phrases.size(); ++i) {
    message += (i == 0 ? ", expecting " : i + 1 == phrases.size() ? " or " : ", ") + phrases[i];
  }
  if (cut_short) fatalError(message + previous_location + ".");
  grammarError(message);
}

const std::vector<std::string>& rcKeywords() {
  static const std::vector<std::string> keywords = [] {
    std::vector<std::string> names;
    for (int k = 0; k < rc::rcparser::YYNTOKENS; ++k) {
      const std::string name = rc::rcparser::symbol_name(static_cast<Kind::symbol_kind_type>(k));
      if (isKeyword(name)) names.push_back(name);
    }
    return names;
  }();
  return keywords;
}

void startGrammar() {
  pending_account_place.clear();
  startValue(ValueUse::kPlain);
  previous_kind = current_kind = Kind::S_YYEOF;
  previous_location.clear();
  current_location.clear();
}

void finishAccounts(Settings& settings) {
  if (pending_account_place.empty()) return;
  const std::string place = std::move(pending_account_place);
  pending_account_place.clear();
  settings.refuseUncompletedAccount(place);
}
