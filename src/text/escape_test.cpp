#include "text/escape.h"

#include <gtest/gtest.h>

namespace {

TEST(EscapeControls, ControlsAreEscapedAndTextIsKept) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"ascii and tab", "a\tb c~", "a\tb c~"},
      {"C0 and DEL", std::string("\x1b[2J\x07\x7f\0", 7), "\\x1b[2J\\x07\\x7f\\x00"},
      {"line ends", "a\r\nb", "a\\x0d\\x0ab"},
      {"raw C1 bytes",
       "\x85x\x9b"
       "1m\x80",
       "\\x85x\\x9b1m\\x80"},
      {"UTF-8 encoded C1",
       "a\xc2\x85"
       "b\xc2\x9b"
       "c\xc2\x80",
       "a\\xc2\\x85b\\xc2\\x9bc\\xc2\\x80"},
      // Continuation bytes 0x80..0x9f inside valid sequences are not controls.
      {"UTF-8 letters", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0"},
      {"Latin-1 letters pass", "\xe9t\xe9", "\xe9t\xe9"},
      {"overlong C1 is raw bytes", "\xe0\x82\x85", "\xe0\\x82\\x85"},
      {"truncated sequence", "\xe2\x82", "\xe2\\x82"},
      {"surrogate is not UTF-8", "\xed\xa0\x80", "\xed\xa0\\x80"},
      {"lone continuation after letter", "\xc3\xa9\x9b", "\xc3\xa9\\x9b"},
      // Bidirectional controls reorder the rest of the line; their neighbours are text.
      {"right-to-left override",
       "a\xe2\x80\xae"
       "b",
       "a\\xe2\\x80\\xaeb"},
      {"isolates and marks", "\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8f\xd8\x9c",
       "\\xe2\\x81\\xa6\\xe2\\x81\\xa9\\xe2\\x80\\x8f\\xd8\\x9c"},
      {"neighbours pass", "\xe2\x80\xaf\xe2\x81\xaa\xe2\x80\x94",
       "\xe2\x80\xaf\xe2\x81\xaa\xe2\x80\x94"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escapeControls(c.in), c.out) << c.name;
  }
}

TEST(EscapeControls, KeepLineEndsTurnsCrLfIntoOneLineEnd) {
  EXPECT_EQ(escapeControls("a\r\nb\nc\rd\xc2\x85", true), "a\nb\nc\\x0dd\\xc2\\x85");
}

// What a server sends to --probe: a line of any length, with controls that turn text around.
TEST(EscapeShownText, ReorderingControlsAreEscapedAndLongTextIsCut) {
  EXPECT_EQ(escapeShownText("SASL PLAIN \xe2\x80\xaetxt.exe\x1b[2J", 100),
            "SASL PLAIN \\u202etxt.exe\\x1b[2J");
  EXPECT_EQ(escapeShownText("a\xe2\x81\xa6" "b\xd8\x9c\xe2\x80\x8f \xc3\xa9", 100),
            "a\\u2066b\\u061c\\u200f \xc3\xa9");
  EXPECT_EQ(escapeShownText(std::string(8 << 20, 'x'), 10),
            "xxxxxxxxxx... (8388598 more bytes)");
  // Not inside a UTF-8 sequence, nor inside a control that the cut would leave half.
  EXPECT_EQ(escapeShownText("abc\xc3\xa9", 4), "abc... (2 more bytes)");
  EXPECT_EQ(escapeShownText("ab\xe2\x80\xae", 4), "ab... (3 more bytes)");
  EXPECT_EQ(escapeShownText("short", 5), "short");
}

}  // namespace
