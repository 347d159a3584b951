#pragma once

// Private to the header parser: what feeds the header grammar its tokens.

#include <string>
#include <string_view>

class MessageHeader;

// Text of the last token that a token source returned; the parser moves it out.
extern std::string header_token_value;

// A scanner of header text for the grammar: one serves every header of a run.
class HeaderTokens {
 public:
  virtual ~HeaderTokens() = default;
  // Forgets everything read before and starts at the beginning of text, which must outlive the
  // scan.
  virtual void restart(std::string_view text) = 0;
  // The code of the next token (0 at the end of the text); its text is in header_token_value.
  virtual int next() = 0;
};

// At verbosity 6, traces one character that a scanner drops; traced counts those of the current
// header, as a hostile header may hold megabytes of them.
void traceDroppedCharacter(char c, int& traced);

// parseHeader with the given scanner.
int parseHeaderWith(HeaderTokens& tokens, std::string_view text, MessageHeader* header);
