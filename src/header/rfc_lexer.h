#pragma once

// Private to the header parser: the header scanner class and its token value cell.

#include <string>

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
