#include "header/message_header.h"

#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"

namespace {

class MessageHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::instance().resetForTesting(); }
};

TEST_F(MessageHeaderTest, HeaderLineIsNameColonBlankValue) {
  EXPECT_EQ(headerLine({"Subject", "Hello world"}), "Subject: Hello world");
  EXPECT_EQ(headerLine({"X", ""}), "X: ");
}

TEST_F(MessageHeaderTest, MessageIdForms) {
  struct Case {
    std::string value;
    bool well_formed;
    // What is kept when accepted: the value, but for a Message-ID folded onto the line after its
    // name (the only way a value can start with a blank) the blanks of the fold are not kept.
    std::string kept = value;
  };
  const Case cases[] = {
      {"<a1@b2>", true},   {"<@b2>", true},  {"a1@b2", false},      {"<>", false},
      {"<a1b2>", false},   {"<@>", false},   {"<a1@b2> ", true, "<a1@b2>"},   {"", false},
      // Comments and blanks around the ID are allowed (RFC 5322 CFWS), and not part of it.
      {"<3D43@mta.example.mx> (added by postmaster@mta.example.mx)", true, "<3D43@mta.example.mx>"},
      {"(c) <a1@b2>\t(d (nested \\) e))", true, "<a1@b2>"},
      {"<a1@b2> (not closed", false, "<a1@b2> (not closed"},
      {"<a1@b2> junk", false, "<a1@b2> junk"},
      {"<a1@b2", false},   {" <a1@b2>", true, "<a1@b2>"},          {" <a1@b2> ", true, "<a1@b2>"},
      {" ", false, ""},    {" a1@b2 ", false, "a1@b2"},
  };
  for (const bool ignore : {false, true}) {
    for (const Case& c : cases) {
      Settings::instance().resetForTesting();
      Settings::instance().setIgnoreTimeStamps(ignore);
      MessageHeader header;
      testing::internal::CaptureStderr();
      header.addField("Message-ID", c.value);
      const std::string err = testing::internal::GetCapturedStderr();
      const bool accepted = ignore || c.well_formed;
      EXPECT_EQ(header.wrongMessageId(), !accepted) << c.value;
      EXPECT_EQ(header.messageId(), accepted ? c.kept : "") << c.value;
      // Whoever judges the message says so, once; the parse, which may run twice, does not.
      EXPECT_EQ(err, "") << c.value;
      ASSERT_EQ(header.fields().size(), 1u) << "the pair stays even when the form is wrong";
    }
  }
}

// A header that carries a Message-ID of the wrong form has no identity for the duplicate check,
// whichever order its Message-ID fields come in.
TEST_F(MessageHeaderTest, AWrongMessageIdLeavesTheHeaderWithoutOne) {
  for (const bool wrong_first : {false, true}) {
    MessageHeader header;
    testing::internal::CaptureStderr();
    header.addField("Message-ID", wrong_first ? "wrong" : "<1@x>");
    header.addField("Message-ID", wrong_first ? "<1@x>" : "wrong");
    header.addField("Subject", "after");
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(header.wrongMessageId()) << wrong_first;
    EXPECT_EQ(header.messageId(), "") << wrong_first;
    EXPECT_EQ(header.subject(), "after");
    EXPECT_EQ(header.fields().size(), 3u);
  }
}

TEST_F(MessageHeaderTest, KeptFieldsIgnoreCaseAndLastOneWins) {
  Settings::instance().setNormal("yes");
  MessageHeader header;
  header.addField("SUBJECT", "first: one");
  header.addField("message-id", "<1@x>");
  header.addField("MESSAGE-ID", "<2@x>");
  header.addField("Message-ID-Extra", "<3@x>");
  header.addField("from", "a");
  header.addField("Date", "d");
  header.addField("Subject", "second: two!");
  header.addField("Froms", "not from");
  EXPECT_EQ(header.subject(), "second: two!");
  EXPECT_EQ(header.normalisedSubject(), "Subject: second two");
  EXPECT_EQ(header.messageId(), "<2@x>");
  EXPECT_EQ(header.from(), "a");
  EXPECT_EQ(header.date(), "d");
  ASSERT_EQ(header.fields().size(), 8u);
  EXPECT_EQ(header.fields()[0], (MessageHeader::Field{"SUBJECT", "first: one"}));
  EXPECT_EQ(header.fields()[6], (MessageHeader::Field{"Subject", "second: two!"}));
}

TEST_F(MessageHeaderTest, NoNormalisedSubjectWithNormalOff) {
  MessageHeader header;
  header.addField("Subject", "Hello");
  EXPECT_EQ(header.subject(), "Hello");
  EXPECT_EQ(header.normalisedSubject(), "");
}

TEST_F(MessageHeaderTest, NormaliseSubject) {
  struct Case {
    std::string text;
    std::string normalised;
  };
  const Case cases[] = {
      {"Re: [SPAM] Cheap   v1agra!!!", "Re SPAM Cheap v1agra"},
      {"Hello,  world", "Hello world"},
      {"  lead", " lead"},
      {"a ! b", "a b"},
      {"!!!", ""},
      {"", ""},
      {"x\t \ty", "x\ty"},
      {"x \t y", "x y"},
      {"caf\xc3\xa9 ok", "caf ok"},
      {"V.i.a.g.r.a", "Viagra"},
      {"mail@example.org", "mail@exampleorg"},
      {"! a", " a"},
      {"end  ", "end "},
      {"a\r\nb", "a\nb"},
      {" Hello  world ", " Hello world "},
  };
  for (const Case& c : cases) {
    MessageHeader header;
    header.normaliseSubject(c.text);
    EXPECT_EQ(header.normalisedSubject(), "Subject: " + c.normalised) << c.text;
  }
}

}  // namespace
