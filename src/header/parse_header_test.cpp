#include "header/parse_header.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "header/message_header.h"

namespace {

using Fields = std::vector<MessageHeader::Field>;

class ParseHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::instance().resetForTesting(); }
};

struct Case {
  const char* what;
  std::string text;
  int result;
  Fields fields;
};

// Header texts and the fields they give; -3 marks a header that is not well formed. Any byte no
// rule claims is dropped, so standard output stays empty in every case.
const Case kCases[] = {
    {"empty text", "", 0, {}},
    {"full stop line only", ".\r\n", 0, {}},
    {"end marker only", "\r\n.\r\n", 0, {}},
    {"two end markers", "\r\n.\r\n\r\n.\r\n", 0, {}},
    {"one field without end marker", "Subject: Hi\r\n", 0, {{"Subject", "Hi"}}},
    {"complete header",
     "Received: from a\r\n\tby b\r\nFrom: Ann <ann@example.org>\r\nSubject: Hello\r\n"
     "Message-ID: <1@x>\r\n\r\n.\r\n",
     0,
     {{"Received", "from a by b "},
      {"From", "Ann <ann@example.org>"},
      {"Subject", "Hello"},
      {"Message-ID", "<1@x>"}}},
    {"continuation pieces keep a blank on both sides",
     "Received: a\r\n b\r\n\tc\r\n",
     0,
     {{"Received", "a b  c "}}},
    {"blank-only continuation", "A: 1\r\n \r\n", 0, {{"A", "1  "}}},
    {"blanks after the colon dropped, trailing blanks kept",
     "Subject:   Hi  \r\n",
     0,
     {{"Subject", "Hi  "}}},
    {"From: field", "From: a@b\r\nFROM: c\r\n", 0, {{"From", "a@b"}, {"FROM", "c"}}},
    {"LF CR LF ends a body as a single LF",
     "Subject: Hi\n\r\nDate: d\r\n",
     0,
     {{"Subject", "\n"}, {"Date", "d"}}},
    {"end marker in the middle", "A: 1\r\n\r\n.\r\nB: 2\r\n", 0, {{"A", "1"}, {"B", "2"}}},
    {"underscore name is no field", "X_Flag: on\r\nSubject: s\r\n", 0, {{"Subject", "s"}}},
    {"digit-first name is no field", "1Foo: x\r\n", 0, {}},
    {"bytes above 127 in a body and where no rule claims them",
     "Subject: caf\xc3\xa9 \xff\r\n\xe9X: 1\r\n",
     0,
     {{"Subject", "caf\xc3\xa9 \xff"}}},
    {"hyphens and digits inside a name", "X-Spam-Level2: *\r\n", 0, {{"X-Spam-Level2", "*"}}},
    {"envelope line first", "From someone@example.org Mon\r\nSubject: a\r\n", -3, {}},
    {"envelope line in any case after a field", "Subject: a\r\nfROM x\r\n", -3, {{"Subject", "a"}}},
    {"name without its line end at the very end", "Subject: a\r\nX-Empty:", -3, {{"Subject", "a"}}},
    {"bare LF body leaves the name alone", "Subject: Hi\nDate: d\r\n", -3, {}},
    {"empty line that is not the end marker continues the body",
     "A: 1\r\n\r\nB: 2\r\n",
     0,
     {{"A", "1 "}, {"B", "2"}}},
    {"body piece where a field must start", "\r\nA: 1\r\n", -3, {}},
    {"body piece after an end marker", "A: 1\r\n\r\n.\r\n\r\nB: 2\r\n", -3, {{"A", "1"}}},
    // Blanks before the colon are no part of the name, and "From :" is no envelope line.
    {"blanks before the colon",
     "Subject \t: x\r\nFrom : a@b\r\nfrom\t:\r\n",
     0,
     {{"Subject", "x"}, {"From", "a@b"}, {"from", ""}}},
    // The reply is dot-stuffed: one leading full stop goes, once; full stops may be in names.
    {"dot-stuffed lines",
     "..X: 1\r\n.Y: 2\r\n...Z.W: 3\r\n. folded\r\nA.B: 4\r\n\r\n.\r\n",
     0,
     {{".X", "1"}, {"Y", "2"}, {"..Z.W", "3 folded "}, {"A.B", "4"}}},
};


// An empty field is a field with an empty value; the line after it is read as what it is. Only
// blanks and tabs after the colon are skipped.
const Case kEmptyFieldCases[] = {
    {"empty field before the end marker",
     "X-Empty:\r\n\r\n.\r\n",
     0,
     {{"X-Empty", ""}}},
    {"empty field at the very end", "Subject: a\r\nX-Empty:\r\n", 0, {{"Subject", "a"}, {"X-Empty", ""}}},
    {"blanks and tabs only", "Cc: \t \r\nDate: d\r\n", 0, {{"Cc", ""}, {"Date", "d"}}},
    {"the next field keeps its name",
     "Cc:\r\nFrom: Bob <bob@friend.example>\r\n",
     0,
     {{"Cc", ""}, {"From", "Bob <bob@friend.example>"}}},
    {"empty fields in a row",
     "X-Status:\r\nX-Keywords:\r\nSubject:\r\nDate: d\r\n\r\n.\r\n",
     0,
     {{"X-Status", ""}, {"X-Keywords", ""}, {"Subject", ""}, {"Date", "d"}}},
    {"a continuation is appended as to any field",
     "Subject:\r\n\tHi\r\nDate: d\r\n",
     0,
     {{"Subject", " Hi "}, {"Date", "d"}}},
    {"an empty line that is not the end marker",
     "X-Empty:\r\n\r\nB: 2\r\n",
     0,
     {{"X-Empty", " "}, {"B", "2"}}},
    {"other white space after the colon is body text",
     "X-Odd:\v\fx\r\n",
     0,
     {{"X-Odd", "\v\fx"}}},
    {"a bare LF after the colon leaves the name alone", "X-Empty:\nDate: d\r\n", -3, {}},
};

void expectFields(const Case& c) {
  MessageHeader header;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int result = parseHeader(&c.text, &header);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, c.result) << c.what;
  EXPECT_EQ(header.fields(), c.fields) << c.what;
  EXPECT_EQ(out, "") << c.what;
  EXPECT_EQ(err.find("Parser reported ") != std::string::npos, c.result == -3) << c.what;
}

TEST_F(ParseHeaderTest, FieldsOfHeaderTexts) {
  for (const Case& c : kCases) expectFields(c);
}

TEST_F(ParseHeaderTest, EmptyFields) {
  for (const Case& c : kEmptyFieldCases) expectFields(c);
}

// The kept fields see the same: an empty Subject hides no Date, an empty Cc no sender.
TEST_F(ParseHeaderTest, EmptyFieldsHideNoKeptField) {
  const std::string text = "Subject:\r\nDate: Mon\r\nCc:\r\nFrom: bob@friend.example\r\n";
  MessageHeader header;
  ASSERT_EQ(parseHeader(&text, &header), 0);
  EXPECT_EQ(header.subject(), "");
  EXPECT_EQ(header.date(), "Mon");
  EXPECT_EQ(header.from(), "bob@friend.example");
}

// A Message-ID folded onto the line after its name is judged and kept without the blanks that
// folding put around it; an empty one is still of the wrong form.
TEST_F(ParseHeaderTest, MessageIdOnTheFoldedNextLine) {
  const std::string folded = "Message-ID:\r\n <a1@b2>\r\nDate: d\r\n";
  MessageHeader header;
  ASSERT_EQ(parseHeader(&folded, &header), 0);
  EXPECT_EQ(header.messageId(), "<a1@b2>");
  EXPECT_EQ(header.fields(), (Fields{{"Message-ID", " <a1@b2> "}, {"Date", "d"}}));

  for (const std::string text : {"Message-ID:\r\nDate: d\r\n", "Message-ID: <a1@b2> x\r\n"}) {
    MessageHeader wrong;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseHeader(&text, &wrong), 0) << text;
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(wrong.wrongMessageId()) << text;
    EXPECT_EQ(wrong.messageId(), "") << text;
  }
}

// One scanner serves every header: whatever state a parse ends in (inside a body, after a
// syntax error, after an exception, after a text too long to keep the buffer), the next one
// starts afresh at the beginning of a line.
TEST_F(ParseHeaderTest, EveryParseStartsAfresh) {
  std::vector<std::string> before;
  for (const Case& c : kCases) before.push_back(c.text);
  for (const Case& c : kEmptyFieldCases) before.push_back(c.text);
  before.push_back("Subject: a\r\nMessage-ID: <nothing>\r\nDate: d\r\n");
  before.push_back("Subject: " + std::string(size_t{3} << 20, 'x') + "\r\nX-Empty:");
  const std::string next = "Subject: a\r\n\tb\r\nDate: d\r\n";
  for (const std::string& text : before) {
    MessageHeader first;
    MessageHeader second;
    testing::internal::CaptureStderr();
    parseHeader(&text, &first);
    EXPECT_EQ(parseHeader(&next, &second), 0) << text.substr(0, 40);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(second.fields(), (Fields{{"Subject", "a b "}, {"Date", "d"}})) << text.substr(0, 40);
  }
}

TEST_F(ParseHeaderTest, SyntaxErrorIsReportedAndReturned) {
  const std::string text = "Subject: a\r\nX-Empty:";
  MessageHeader header;
  testing::internal::CaptureStderr();
  EXPECT_EQ(parseHeader(&text, &header), -3);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_GT(err.size(), 15u);
  EXPECT_EQ(err.substr(15),
            " pollensift: Error: Parser reported syntax error: the header ends in the field "
            "\"X-Empty:\" before its line end.\n");
}

// Each way a header can fail the grammar, in words rather than the grammar's token names.
TEST_F(ParseHeaderTest, SyntaxErrorsAreInWords) {
  const struct {
    const char* text;
    const char* what;
  } cases[] = {
      {"Subject: a\r\nFrom someone@example.org Mon Mar  6\r\n",
       "a line that begins with \"From \" and has no colon is an envelope line, not a header "
       "field"},
      {"Subject: a\r\nX-Empty:", "the header ends in the field \"X-Empty:\" before its line end"},
      {"X-Bare:\nSubject: a\r\n", "the line of the field \"X-Bare:\" does not end in CR LF"},
      {"  folded\r\nSubject: a\r\n",
       "a continued line (one that begins with a blank) has no field before it"},
      {"Subject: a\r\n\r\n.\r\n more\r\n", "text follows the end of the header"},
  };
  for (const auto& c : cases) {
    const std::string text = c.text;
    MessageHeader header;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseHeader(&text, &header), -3) << c.text;
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_GT(err.size(), 15u);
    EXPECT_EQ(err.substr(15), std::string(" pollensift: Error: Parser reported syntax error: ") +
                                  c.what + ".\n");
  }
}

// A Message-ID of the wrong form is marked (its judge reports it), and the parse goes on to the end
// of the header.
TEST_F(ParseHeaderTest, WrongMessageIdIsReportedAndTheParseGoesOn) {
  const std::string text = "Subject: a\r\nMessage-ID: <nothing>\r\nFrom: b\x1b\r\nDate: d\r\n\r\n.\r\n";
  MessageHeader header;
  testing::internal::CaptureStderr();
  EXPECT_EQ(parseHeader(&text, &header), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  EXPECT_EQ(header.fields(), (Fields{{"Subject", "a"}, {"Message-ID", "<nothing>"},
                                     {"From", "b\x1b"}, {"Date", "d"}}));
  EXPECT_TRUE(header.wrongMessageId());
  EXPECT_EQ(header.messageId(), "");
  EXPECT_EQ(wrongMessageIdNotice("4", header),
            "Message 4 (From: b\x1b, Subject: a) has a Message-ID of the wrong form; -i "
            "(--ignore-time-stamps) accepts such IDs.");

  Settings::instance().setIgnoreTimeStamps(true);
  MessageHeader tolerant;
  EXPECT_EQ(parseHeader(&text, &tolerant), 0);
  EXPECT_FALSE(tolerant.wrongMessageId());
  EXPECT_EQ(tolerant.messageId(), "<nothing>");
  EXPECT_EQ(tolerant.fields(), (Fields{{"Subject", "a"}, {"Message-ID", "<nothing>"},
                                       {"From", "b\x1b"}, {"Date", "d"}}));
}

TEST_F(ParseHeaderTest, MissingTextOrRecord) {
  const std::string text = "Subject: a\r\n";
  MessageHeader header;
  EXPECT_EQ(parseHeader(nullptr, &header), -1);
  EXPECT_EQ(parseHeader(&text, nullptr), -1);
  EXPECT_TRUE(header.fields().empty());
}

// Bytes that no rule claims may be traced, but only escaped; nothing raw reaches the terminal.
TEST_F(ParseHeaderTest, UnclaimedBytesNeverReachTheTerminalRaw) {
  Settings::instance().setVerbose(6);
  const std::string text = "X_\x1b[2J\x07: y\r\nSubject: \x1b]0;t\x07ok\r\n";
  MessageHeader header;
  testing::internal::CaptureStdout();
  EXPECT_EQ(parseHeader(&text, &header), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Debugging: Header scanner dropped the character \"\\x1b\"."),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.find('\x07'), std::string::npos);
  EXPECT_EQ(header.fields(), (Fields{{"Subject", "\x1b]0;t\x07ok"}}));
}

// Found by fuzzing: a body line that lacks its CR LF was scanned again from each of its
// characters, so a long one never finished. It is dropped in one pass, as before character by
// character.
TEST_F(ParseHeaderTest, BodyLineWithoutCrLfIsDroppedInOnePass) {
  Settings::instance().setVerbose(0);
  const std::string text = "Subject: " + std::string(4 << 20, 'x') + "\n\r\nDate: d\r\n\r\n.\r\n";
  MessageHeader header;
  EXPECT_EQ(parseHeader(&text, &header), 0);
  EXPECT_EQ(header.fields(), (Fields{{"Subject", "\n"}, {"Date", "d"}}));
}

TEST_F(ParseHeaderTest, DroppedBodyCharactersAreTracedOneByOne) {
  Settings::instance().setVerbose(6);
  const std::string text = "Subject: a\x01 \tb\nDate: d\r\n";
  MessageHeader header;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(parseHeader(&text, &header), -3) << "the Subject field has no text";
  testing::internal::GetCapturedStderr();
  std::vector<std::string> traced;
  std::istringstream out(testing::internal::GetCapturedStdout());
  for (std::string line; std::getline(out, line);) traced.push_back(line.substr(15));
  EXPECT_EQ(traced, (std::vector<std::string>{
                        " pollensift: Debugging: Header scanner dropped the character \"a\".",
                        " pollensift: Debugging: Header scanner dropped the character \"\\x01\".",
                        " pollensift: Debugging: Header scanner dropped the character \"b\"."}));
}

// At verbosity 6 a dropped character costs a log line; a header of megabytes of them must not
// cost gigabytes of log. Each header starts its own count.
TEST_F(ParseHeaderTest, DroppedCharacterTracesAreBoundedPerHeader) {
  Settings::instance().setVerbose(6);
  const std::string text = "Subject: " + std::string(5000, 'x') + "\nDate: d\r\n";
  for (int round = 0; round < 2; ++round) {
    MessageHeader header;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseHeader(&text, &header), -3);
    testing::internal::GetCapturedStderr();
    std::vector<std::string> traced;
    std::istringstream out(testing::internal::GetCapturedStdout());
    for (std::string line; std::getline(out, line);) traced.push_back(line.substr(15));
    ASSERT_EQ(traced.size(), 101u) << "round " << round;
    EXPECT_EQ(traced[99], " pollensift: Debugging: Header scanner dropped the character \"x\".");
    EXPECT_EQ(traced[100],
              " pollensift: Debugging: Header scanner drops further characters of this header "
              "without tracing them.");
  }
}

}  // namespace
