#pragma once

// Private to the header parser: the header scanner class and its token value cell.

#include <string>
#include <string_view>

// Two flex scanners live in one program, so each names its class through yyFlexLexer before
// including FlexLexer.h. The generated scanner does this itself (and defines FLEX_SCANNER).
#ifndef FLEX_SCANNER
#undef yyFlexLexer
#define yyFlexLexer rfcFlexLexer
#include <FlexLexer.h>
#undef yyFlexLexer
#endif

// Text of the last token that rfcFlexLexer::yylex returned; the parser moves it out.
extern std::string header_token_value;

// The header scanner reading straight from the text in memory, and restartable, so that one
// scanner serves every header of a run.
class HeaderScanner : public rfcFlexLexer {
 public:
  HeaderScanner() = default;
  // Forgets everything read before and starts at the beginning of text, which must outlive
  // the scan.
  void restart(std::string_view text);

 protected:
  int LexerInput(char* buffer, int max_size) override;

 private:
  std::string_view rest_;
};
