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
%define parse.error detailed

%parse-param {rcFlexLexer& scanner} {Settings& settings}
%lex-param {rcFlexLexer& scanner}

%code requires {
#include <string>

class rcFlexLexer;
class Settings;
}

%code {
#include <new>

#include "config/fatal.h"
#include "config/rc_command.h"
#include "config/rc_lexer.h"
#include "config/settings.h"

namespace rc {
rcparser::symbol_type yylex(rcFlexLexer& scanner);
}

// Ends the run with the diagnostic and the place of the token where the error was noticed.
[[noreturn]] void grammarError(const std::string& diagnostic);

namespace {
// A negative time-out has no sound meaning; 0 is allowed and waits for nothing.
void checkTimeout(int seconds) {
  if (seconds < 0) {
    grammarError("TIMEOUT must be 0 or more seconds, not " + std::to_string(seconds));
  }
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
  SERVER USER PASS PROTOCOL PORT REG_CASE REG_TYPE SHOW_HEADERS TEST TIMEOUT VERBOSE
  AUTH TLS_FINGERPRINT TLS_CA_FILE
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
  : allow_keyword operator string         { settings.addAllow($1, $2, $3); }
  | deny_keyword operator string          { settings.addDeny($1, $2, $3); }
  | score_keyword number operator string  { settings.addScore($1, $2, $3, $4); }
  | DEL_DUPLICATES '=' yesno              { settings.setDelDuplicates($3); }
  | HIGHSCORE '=' number                  { settings.setHighscore($3); }
  | LOGFILE '=' string                    { settings.setLogfile($3); }
  | MAXLENGTH '=' number                  { settings.setMaxlength($3); }
  | MAXSIZE_ALLOW '=' number              { settings.setMaxsizeAllow($3); }
  | MAXSIZE_DENY '=' number               { settings.setMaxsizeDeny($3); }
  | MAXSIZE_SCORE number '=' number       { settings.setMaxsizeScore($2, $4); }
  | NORMAL '=' yesno                      { settings.setNormal($3); }
  | SERVER '=' string                     { settings.setServer($3); }
  | USER '=' string                       { settings.setUser($3); }
  | PASS '=' string                       { settings.setPass($3); notePasswordStatement(); }
  | PROTOCOL '=' string                   { settings.setProtocol($3); settings.attachConnection(); }
  | PORT '=' number                       { settings.setPort($3); }
  | AUTH '=' string                       { settings.setAuth($3); }
  | TLS_FINGERPRINT '=' string            { settings.setTlsFingerprint($3); }
  | TLS_CA_FILE '=' string                { settings.setTlsCaFile($3); }
  | REG_CASE '=' yesno                    { settings.setRegCase($3); }
  | REG_TYPE '=' string                   { settings.setRegType($3); }
  | SHOW_HEADERS '=' string               { settings.setShowHeaders($3); }
  | TEST '=' yesno                        { settings.setTest($3); }
  | TIMEOUT '=' number                    { checkTimeout($3); settings.setTimeout($3); }
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
  : COMMAND  { $$ = commandOutput($1.substr(1, $1.size() - 2)); }
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

rc::rcparser::symbol_type rc::yylex(rcFlexLexer& scanner) {
  const int code = scanner.yylex();
  if (code == 0) return rcparser::make_RCEOF();
  if (code == rcparser::token::NUMBER) return rcparser::symbol_type(code, token_value.number);
  return rcparser::symbol_type(code, std::move(token_value.text));
}

void grammarError(const std::string& diagnostic) {
  fatalError(diagnostic + rcErrorLocation() + ".");
}

void rc::rcparser::error(const std::string& message) { grammarError(message); }
