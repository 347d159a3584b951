#pragma once

// The rc-file scanner as the rc grammar and parseRcFile see it; nothing outside src/config
// includes this.

#include <istream>
#include <memory>
#include <string>
#include <vector>

class Settings;

// FlexLexer.h declares one scanner class per inclusion, named by the yyFlexLexer macro, so that
// the rc and header scanners can share the FlexLexer base in one program. The generated scanner
// declares rcFlexLexer itself (and defines FLEX_SCANNER).
#ifndef FLEX_SCANNER
#undef yyFlexLexer
#define yyFlexLexer rcFlexLexer
#include <FlexLexer.h>
#undef yyFlexLexer
#endif

// rcFlexLexer::yylex gives the next token code (0 at the end of the main rc file) and leaves its
// value here: the text as written, or the value of a NUMBER.
struct RcTokenValue {
  std::string text;
  int number = 0;
};
extern RcTokenValue token_value;

// The scanner state is process-wide, since only one rc file is ever read at a time. A scan owns
// it while it runs: it resets the state and the rc scanner over the input, and however the parse
// ends, it frees an included file that is still open.
class RcScan {
 public:
  // name is the main rc file's path, for messages ("" when the text has none).
  explicit RcScan(std::istream& input, const std::string& name = "");
  ~RcScan();
  RcScan(const RcScan&) = delete;
  RcScan& operator=(const RcScan&) = delete;

  rcFlexLexer& scanner() { return *scanner_; }

 private:
  std::unique_ptr<rcFlexLexer> scanner_;
};

// " in main rcfile in line N" or " in file NAME in line N", for the line being scanned.
std::string rcErrorLocation();

// "line N of your main rcfile 'PATH'" or "line N of your rcfile 'NAME'", for the line being
// scanned: where a statement stands, in the messages that refer to it later.
std::string rcPlace();

// The files included by the last scan, in order.
const std::vector<std::string>& includedFiles();

// Notes that the statement just read is a PASS, in the file being scanned. passwordFiles gives the
// files of the last scan that hold one: "" for the main rc file, else the included file's name.
void notePasswordStatement();
const std::vector<std::string>& passwordFiles();

// The grammar's state across one parse: startGrammar before it, finishAccounts after it (which
// refuses account statements that no PORT completed).
void startGrammar();
void finishAccounts(Settings& settings);
