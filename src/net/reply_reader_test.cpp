#include "net/reply_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Status = ReplyReader::Status;

struct Framing {
  const char* name;
  bool multiline;
  std::string reply;
};

// Replies whose end a reader that stops "when nothing more is waiting" gets wrong when they are
// cut at an unlucky place.
const std::vector<Framing> kReplies = {
    {"single line", false, "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n"},
    {"single line negative", false, "-ERR unknown command.\r\n"},
    {"empty multi-line", true, "+OK\r\n.\r\n"},
    {"status ends with full stop", true, "+OK top of message follows.\r\nSubject: hi\r\n\r\n.\r\n"},
    {"header line ends with full stop", true,
     "+OK\r\nSubject: the end.\r\nFrom: a@b.example\r\n\r\n.\r\n"},
    {"dot-stuffed lines", true, "+OK\r\nX-A: b\r\n..\r\n...x\r\n.\r\n"},
    {"negative multi-line", true, "-ERR no such message\r\n"},
    {"bare line feeds inside", true, "+OK\r\nA: b\n.\nC: d\r\n\r\n.\r\n"},
};

TEST(ReplyReaderTest, CompleteExactlyWhenTheLastByteArrivesAtEverySplit) {
  for (const Framing& c : kReplies) {
    for (size_t split = 1; split < c.reply.size(); ++split) {
      SCOPED_TRACE(std::string(c.name) + ", split at " + std::to_string(split));
      ReplyReader reader;
      reader.append(c.reply.substr(0, split));
      EXPECT_EQ(reader.check(c.multiline), Status::kIncomplete);
      reader.append(c.reply.substr(split));
      ASSERT_EQ(reader.check(c.multiline), Status::kComplete);
      EXPECT_EQ(reader.take(), c.reply);
      EXPECT_EQ(reader.buffered(), 0u);
    }
  }
}

TEST(ReplyReaderTest, ByteByByteNeverEndsEarly) {
  for (const Framing& c : kReplies) {
    SCOPED_TRACE(c.name);
    ReplyReader reader;
    for (size_t i = 0; i + 1 < c.reply.size(); ++i) {
      reader.append(c.reply.substr(i, 1));
      ASSERT_EQ(reader.check(c.multiline), Status::kIncomplete) << "after byte " << i;
    }
    reader.append(c.reply.substr(c.reply.size() - 1));
    ASSERT_EQ(reader.check(c.multiline), Status::kComplete);
    EXPECT_EQ(reader.take(), c.reply);
  }
}

TEST(ReplyReaderTest, MultiLineReplyIsNotCutAtItsFirstLine) {
  ReplyReader reader;
  reader.append("+OK\r\nSubject: x\r\n");
  EXPECT_EQ(reader.check(true), Status::kIncomplete);
  // The same bytes are a complete single-line reply.
  EXPECT_EQ(reader.check(false), Status::kComplete);
  EXPECT_EQ(reader.take(), "+OK\r\n");
}

TEST(ReplyReaderTest, BytesAfterAReplyStayForTheNext) {
  ReplyReader reader;
  reader.append("+OK 2 320\r\n+OK 1 15");
  ASSERT_EQ(reader.check(false), Status::kComplete);
  EXPECT_EQ(reader.take(), "+OK 2 320\r\n");
  EXPECT_EQ(reader.check(false), Status::kIncomplete);
  reader.append("32\r\n+OK\r\nA: b\r\n.\r\n-ERR x\r\n");
  ASSERT_EQ(reader.check(false), Status::kComplete);
  EXPECT_EQ(reader.take(), "+OK 1 1532\r\n");
  ASSERT_EQ(reader.check(true), Status::kComplete);
  EXPECT_EQ(reader.take(), "+OK\r\nA: b\r\n.\r\n");
  ASSERT_EQ(reader.check(true), Status::kComplete);
  EXPECT_EQ(reader.take(), "-ERR x\r\n");
  EXPECT_EQ(reader.buffered(), 0u);
}

TEST(ReplyReaderTest, RepliesLongerThanTheLimitAreRefused) {
  const std::string fits = "+OK\r\n" + std::string(22, 'a') + "\r\n.\r\n";
  ASSERT_EQ(fits.size(), 32u);
  ReplyReader reader(32);
  reader.append(fits);
  EXPECT_EQ(reader.check(true), Status::kComplete);
  reader.take();

  reader.append("+OK\r\n" + std::string(23, 'a') + "\r\n.\r\n");
  EXPECT_EQ(reader.check(true), Status::kTooLarge);

  // An endless reply is refused as soon as it outgrows the limit, before its end is seen.
  reader.clear();
  reader.append("+OK\r\n" + std::string(27, 'a'));
  EXPECT_EQ(reader.check(true), Status::kIncomplete);
  reader.append("a");
  EXPECT_EQ(reader.check(true), Status::kTooLarge);
  reader.clear();
  reader.append(std::string(33, 'x'));
  EXPECT_EQ(reader.check(false), Status::kTooLarge);
}

TEST(ReplyReaderTest, LargeReplyInSmallPiecesIsFoundOnce) {
  std::string reply = "+OK\r\n";
  for (int i = 0; i < 2000; ++i) reply += "Received: from relay" + std::to_string(i) + ".\r\n";
  reply += "\r\n.\r\n";
  ReplyReader reader;
  size_t at = 0;
  while (at < reply.size()) {
    ASSERT_EQ(reader.check(true), Status::kIncomplete);
    reader.append(reply.substr(at, 7));
    at += 7;
  }
  ASSERT_EQ(reader.check(true), Status::kComplete);
  EXPECT_EQ(reader.take(), reply);
}

}  // namespace
