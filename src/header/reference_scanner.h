#pragma once

// The table-driven header scanner (rfc_scanner.l) that the program used before LineScanner: kept
// for the tests and the fuzzer, which hold the two side by side.

#include <string_view>

#include "header/rfc_lexer.h"

// Two flex scanners live in one program, so each names its class through yyFlexLexer before
// including FlexLexer.h. The generated scanner does this itself (and defines FLEX_SCANNER).
#ifndef FLEX_SCANNER
#undef yyFlexLexer
#define yyFlexLexer rfcFlexLexer
#include <FlexLexer.h>
#undef yyFlexLexer
#endif

class ReferenceScanner : public rfcFlexLexer, public HeaderTokens {
 public:
  void restart(std::string_view text) override;
  int next() override { return yylex(); }

 protected:
  int LexerInput(char* buffer, int max_size) override;

 private:
  std::string_view rest_;
};
