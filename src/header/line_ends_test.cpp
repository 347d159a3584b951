#include "header/line_ends.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LineEnds, EveryCrBeforeTheLineFeedBelongsToTheLineEnd) {
  EXPECT_EQ(withoutLineEnd("Subject: x\r\r\n"), "Subject: x");
  EXPECT_EQ(withoutLineEnd("Subject: x\r\n"), "Subject: x");
  EXPECT_EQ(withoutLineEnd("Subject: x\n"), "Subject: x");
  EXPECT_EQ(withoutLineEnd("Subject: x\r"), "Subject: x");
  EXPECT_EQ(withoutLineEnd("Subject: a\rb"), "Subject: a\rb");
  EXPECT_EQ(withoutLineEnd("\r\r\n"), "");
}

TEST(LineEnds, TheHeaderEndsAtALineOfNothingButCr) {
  struct Case {
    std::string text;
    size_t end;
  } cases[] = {
      {"A: 1\r\nB: 2\r\n\r\nbody\r\n", 12},
      {"A: 1\r\r\nB: 2\r\r\n\r\r\nFrom: x\r\r\n", 14},
      {"A: 1\nB: 2\n\nbody\n", 10},
      {"\r\r\nbody\r\r\n", 0},
      {"\r\nbody", 0},
      // A CR inside a line, or a line that is not only CRs, ends nothing.
      {"A: 1\r\n\rB\r\n", std::string::npos},
      {"A: 1\r\r\nB: 2\r\r\n", std::string::npos},
  };
  for (const Case& c : cases) EXPECT_EQ(headerEnd(c.text), c.end) << c.text;
}

TEST(LineEnds, ExtraCarriageReturnsAreDroppedOnlyWhereThereAreAny) {
  std::string out = "untouched";
  EXPECT_FALSE(withSingleCarriageReturns("A: 1\r\nB: 2\n\r\n.\r\n", &out));
  EXPECT_EQ(out, "untouched");
  ASSERT_TRUE(withSingleCarriageReturns("A: 1\r\r\nB: 2\nC: 3\r\r\r\n\r\r\n.\r\n", &out));
  EXPECT_EQ(out, "A: 1\r\nB: 2\nC: 3\r\n\r\n.\r\n");
  ASSERT_TRUE(withSingleCarriageReturns("A: a\rb\r\r\nrest", &out));
  EXPECT_EQ(out, "A: a\rb\r\nrest");
}

}  // namespace
