#pragma once

// Private to the header parser: the header scanner that the program uses.

#include <cstddef>
#include <string_view>

#include "header/rfc_lexer.h"

// Cuts header text into the tokens of the header grammar a line at a time: the end of a line is
// found with memchr and a field's body is taken whole, where a table-driven scanner steps through
// every byte. It yields exactly the tokens, values and traces of the reference scanner
// (rfc_scanner.l), rule for rule; header_scanner_test.cpp and the header fuzzer hold the two
// side by side.
class LineScanner : public HeaderTokens {
 public:
  void restart(std::string_view text) override;
  int next() override;

 private:
  enum class State { kInitial, kBody, kFolded, kUnstuffed };

  int body();
  // A token that may begin at the start of a line; 0 when none does here.
  int lineStart();
  // The one-byte rules: a blank is skipped, a line end starts the next line, anything else is
  // dropped; "\r\n.\r\n" ends the header wherever it stands, outside a field's body.
  int oneByte();
  void drop(const char* from, const char* to);

  const char* at_ = nullptr;
  const char* end_ = nullptr;
  State state_ = State::kInitial;
  bool line_start_ = true;
  int traced_drops_ = 0;
};
