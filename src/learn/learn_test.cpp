#include "learn/learn.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "header/message_header.h"
#include "learn/header_tokens.h"

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

std::unique_ptr<MessageHeader> headerOf(const Fields& fields) {
  auto header = std::make_unique<MessageHeader>();
  for (const auto& [name, value] : fields) header->addField(name, value);
  return header;
}

bool has(const std::vector<std::string>& tokens, const std::string& token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

// Two kinds of mail that differ in sender, relay and subject, and share the rest.
Fields spamFields(int n) {
  return {{"Received", "from bulk" + std::to_string(n) + ".pills.example (bulk.pills.example "
                       "[203.0.113." + std::to_string(10 + n) + "]) by mx.home.example"},
          {"From", "\"Best Offer\" <deals" + std::to_string(n) + "@pills.example>"},
          {"To", "undisclosed-recipients:;"},
          {"Subject", "=?UTF-8?B?Q2hlYXAgcGlsbHMgbm93IQ==?= #" + std::to_string(n)},
          {"Content-Type", "text/html; charset=\"windows-1252\""}};
}

Fields hamFields(int n) {
  return {{"Received", "from mail.friends.example (mail.friends.example [198.51.100.7]) by "
                       "mx.home.example"},
          {"From", "Ann Example <ann@friends.example>"},
          {"To", "me@home.example"},
          {"Subject", "Re: lunch on day " + std::to_string(n)},
          {"Message-ID", "<" + std::to_string(n) + ".abc@friends.example>"},
          {"Date", "Mon, 3 Jun 2024 10:00:00 +0200"},
          {"User-Agent", "Mutt/2.2.12"},
          {"Content-Type", "text/plain; charset=us-ascii"}};
}

TEST(LearnTokens, HeaderTokensArePrefixedByTheirField) {
  const auto header = headerOf(
      {{"Received", "from relay.mail.example.org (relay.mail.example.org [192.0.2.44]) by mx"},
       {"From", "=?ISO-8859-1?Q?J=FCrgen?= <Juergen@Sub.Example.COM>"},
       {"Subject", "WIN a Prize!!"},
       {"Message-ID", "<x1@gen.example.net>"},
       {"Content-Type", "multipart/alternative; boundary=\"b\"; CHARSET=UTF-8"},
       {"X-Mailer", "Bulk Sender 3.1"},
       {"X-Pollensift-Verdict", "\"viagra\" matches (me@pop.example, 2024-06-01 10:00)"}});
  const std::vector<std::string> tokens = learn::headerTokens(*header);
  for (const char* expected :
       {"subj:win", "subj:prize", "subj:punct:!", "from:addr:juergen@sub.example.com",
        "from:dom:sub.example.com", "from:dom:example.com", "from:name:jürgen",
        "rcvd:host:relay.mail.example.org", "rcvd:host:example.org", "rcvd:ip:192.0.2.44",
        "rcvd:ip24:192.0.2", "rcvd:ip16:192.0", "rcvd:count:1", "mid:dom:gen.example.net",
        "ctype:multipart/alternative", "charset:utf-8", "mailer:bulk_sender_3.1",
        "mailer:word:bulk", "field:x-mailer", "no:date", "no:to", "no:user-agent",
        // Word pairs, names as written and their order, shapes, the Message-ID's domain against
        // the sender's, and the charset of an encoded name.
        "subj:win+a", "subj:a+prize", "name:Message-ID", "order:>received",
        "order:received>from", "order:content-type>x-mailer", "mid:shape:<a9",
        "mid:=other-domain", "from:local:Aa", "from:charset:iso-8859-1", "ctype:boundary:a"}) {
    EXPECT_TRUE(has(tokens, expected)) << expected;
  }
  // The program's own field says nothing of the sender; present fields are not "missing".
  for (const char* absent : {"field:x-pollensift-verdict", "subj:viagra", "no:subject", "no:from",
                             "name:X-Mailer"}) {
    EXPECT_FALSE(has(tokens, absent)) << absent;
  }
  EXPECT_TRUE(std::is_sorted(tokens.begin(), tokens.end()));
  for (const std::string& token : tokens) {
    EXPECT_EQ(token.find_first_of(" \t\r\n"), std::string::npos) << token;
  }
}

// Judging hashes each token as it is made, eight bytes at a time, where learning and the file
// hash the token's text: both must give the same hash, or a learned token is never found. Cases of
// every length around a word's eight bytes, cut words, blanks, control and 8-bit bytes, capitals
// with and without folding.
TEST(LearnTokens, JudgingHashesAsTheTextsAre) {
  Fields fields = {
      {"Received", "from A.b.C.example.org ([10.0.0.1]) by MX.Example.NET with ESMTP id x"},
      {"From", "\"Fr\xc3\xa9" "d \x01 Q\" <Abc.Defghijklmnop.qrstuvwxyz0123456789@Mail.EXAMPLE.com>"},
      {"Subject", "x xy xyz wxyz vwxyz uvwxyz tuvwxyz stuvwxyz rstuvwxyz  \x7f\x1f END @Zip 12"},
      {"Message-ID", "<ABCdef123.XYZ@host.Example.COM>"},
      {"X-Mailer", std::string(60, 'M') + " \t\x80\xff"},
      {"Content-Type", "text/plain; charset=ISO-8859-1; boundary=\"--=_Part_12_AbC\""},
      {"Date", "Tue, 4 Jun 2024 10:00:00 -0700 (PDT)"},
      {"X-Very-Long-Field-Name-Beyond-Forty-Bytes-Of-Name", "v"},
  };
  for (size_t n = 1; n <= 20; ++n) fields.push_back({"To", "u@" + std::string(n, 'D') + ".example"});
  const auto header = headerOf(fields);
  std::vector<uint64_t> from_texts;
  for (const std::string& token : learn::headerTokens(*header)) {
    from_texts.push_back(learn::tokenHash(token));
  }
  learn::TokenList judged(false);
  learn::tokenize(*header, judged);
  judged.dedupe();
  std::vector<uint64_t> made = judged.hashes();
  std::sort(from_texts.begin(), from_texts.end());
  std::sort(made.begin(), made.end());
  EXPECT_GT(made.size(), 100u);
  EXPECT_EQ(made, from_texts);
}

TEST(LearnTokens, EncodedWordsAreDecoded) {
  struct Case {
    const char* text;
    const char* decoded;
  };
  for (const Case& c : {
           Case{"=?UTF-8?B?SGFsbG8gV2VsdA==?=", "Hallo Welt"},
           Case{"=?iso-8859-1?q?Gr=FC=DFe_aus_K=F6ln?=", "Grüße aus Köln"},
           // Blanks between encoded words go; between a word and plain text they stay.
           Case{"=?UTF-8?Q?a?= =?UTF-8?Q?b?= c", "ab c"},
           Case{"Re: =?KOI8-R?B?8NLJ18XU?=", "Re: Привет"},
           Case{"=?UTF-8*en?Q?hi?=", "hi"},
           // Broken ones stay as written.
           Case{"=?UTF-8?Q?bad=G?=", "=?UTF-8?Q?bad=G?="},
           Case{"=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
           Case{"=?no-such-charset?Q?abc?=", "=?no-such-charset?Q?abc?="},
           Case{"=?UTF-8?Q?unterminated", "=?UTF-8?Q?unterminated"},
           Case{"=??Q?x?=", "=??Q?x?="},
           Case{"plain = text ?=", "plain = text ?="},
       }) {
    EXPECT_EQ(learn::decodeEncodedWords(c.text), c.decoded) << c.text;
  }
  // A byte the charset lacks is marked, not dropped with what follows.
  EXPECT_EQ(learn::decodeEncodedWords("=?ISO-8859-8?Q?a=FFb?="), "a?b");
  EXPECT_EQ(learn::decodeEncodedWords("=?ISO-2022-JP?B?GyRCJDMbKEI=?="), "こ");

  const auto header = headerOf({{"Subject", "=?UTF-8?Q?GR=C3=9CSSE_aus_Br=C3=BCssel?="}});
  const std::vector<std::string> tokens = learn::headerTokens(*header);
  EXPECT_TRUE(has(tokens, "subj:grÜsse")) << "ASCII letters are folded";
  EXPECT_TRUE(has(tokens, "subj:brüssel"));
  EXPECT_TRUE(has(tokens, "subj:=encoded"));
}

TEST(LearnTokens, JudgesByWhatWasLearned) {
  learn::LearnedTokens tokens;
  EXPECT_EQ(tokens.judge(*headerOf(spamFields(1))).p, 0.5) << "nothing learned";
  for (int n = 0; n < 10; ++n) {
    EXPECT_EQ(tokens.learn(*headerOf(spamFields(n)), learn::Corpus::kSpam), learn::Change::kDone);
  }
  EXPECT_EQ(tokens.judge(*headerOf(spamFields(1))).p, 0.5) << "one kind alone tells nothing";
  for (int n = 0; n < 10; ++n) tokens.learn(*headerOf(hamFields(n)), learn::Corpus::kHam);
  EXPECT_EQ(tokens.spamMessages(), 10u);
  EXPECT_EQ(tokens.hamMessages(), 10u);

  const learn::Judgement spam = tokens.judge(*headerOf(spamFields(42)), 3);
  EXPECT_GT(spam.p, 0.99);
  ASSERT_EQ(spam.for_spam.size(), 3u);
  EXPECT_TRUE(spam.for_ham.empty());
  EXPECT_GT(spam.for_spam[0].probability, 0.9);
  EXPECT_GE(spam.for_spam[0].probability, spam.for_spam[2].probability);

  const learn::Judgement ham = tokens.judge(*headerOf(hamFields(42)), 2);
  EXPECT_LT(ham.p, 0.01);
  EXPECT_EQ(ham.for_ham.size(), 2u);
  EXPECT_EQ(tokens.judge(*headerOf(hamFields(42))).for_ham.size(), 0u) << "none asked for";
}

TEST(LearnTokens, LearningTwiceCountsOnceAndUnlearningTakesBack) {
  learn::LearnedTokens tokens;
  const auto header = headerOf(hamFields(1));
  tokens.learn(*headerOf(spamFields(1)), learn::Corpus::kSpam);
  const std::string before = tokens.format();

  EXPECT_EQ(tokens.learn(*header, learn::Corpus::kHam), learn::Change::kDone);
  const std::string learned = tokens.format();
  EXPECT_EQ(tokens.learn(*header, learn::Corpus::kHam), learn::Change::kUnchanged);
  EXPECT_EQ(tokens.format(), learned);
  // The same message with the quarantine's verdict field added is the same message.
  Fields quarantined = hamFields(1);
  quarantined.insert(quarantined.begin(), {"X-Pollensift-Verdict", "Score: 120 (a@b, 2024)"});
  EXPECT_EQ(tokens.learn(*headerOf(quarantined), learn::Corpus::kHam), learn::Change::kUnchanged);

  // Moving it over counts it once, on the other side.
  EXPECT_EQ(tokens.learn(*header, learn::Corpus::kSpam), learn::Change::kMoved);
  EXPECT_EQ(tokens.spamMessages(), 2u);
  EXPECT_EQ(tokens.hamMessages(), 0u);

  EXPECT_EQ(tokens.unlearn(*header, learn::Corpus::kHam), learn::Change::kUnchanged);
  EXPECT_EQ(tokens.unlearn(*header, learn::Corpus::kSpam), learn::Change::kDone);
  EXPECT_EQ(tokens.format(), before) << "back to what it was, token for token";
  EXPECT_EQ(tokens.unlearn(*header, learn::Corpus::kSpam), learn::Change::kUnchanged);
}

TEST(LearnTokens, AQuarantineCopyNeedNotMoveAMessageOver) {
  learn::LearnedTokens tokens;
  const auto header = headerOf(hamFields(1));
  tokens.learn(*header, learn::Corpus::kHam);
  const std::string learned = tokens.format();
  EXPECT_EQ(tokens.learn(*header, learn::Corpus::kSpam, false), learn::Change::kKept);
  EXPECT_EQ(tokens.format(), learned);
  EXPECT_EQ(tokens.learn(*header, learn::Corpus::kSpam), learn::Change::kMoved);
}

// The probability of token when judging header, as the evidence lists give it; 0.5 when it did
// not weigh in.
double evidenceFor(const learn::LearnedTokens& tokens, const Fields& fields,
                   const std::string& token) {
  const learn::Judgement judgement = tokens.judge(*headerOf(fields), 1000);
  for (const auto* side : {&judgement.for_spam, &judgement.for_ham}) {
    for (const learn::Evidence& evidence : *side) {
      if (evidence.token == token) return evidence.probability;
    }
  }
  return 0.5;
}

TEST(LearnTokens, HamWeighsMoreThanSpam) {
  // A mirrored pair: "alpha" in 9 of 10 spam and 1 of 10 ham, "omega" the other way round (at
  // 8 and 2 the spam side is too weak to count at all). A wanted message lost costs more than a
  // spam kept, so the ham side must be the stronger.
  learn::LearnedTokens tokens;
  for (int n = 0; n < 10; ++n) {
    const std::string tag = std::to_string(n);
    tokens.learn(*headerOf({{"Subject", (n < 9 ? "alpha s" : "omega s") + tag}}),
                 learn::Corpus::kSpam);
    tokens.learn(*headerOf({{"Subject", (n < 1 ? "alpha h" : "omega h") + tag}}),
                 learn::Corpus::kHam);
  }
  const double spam_side = evidenceFor(tokens, {{"Subject", "alpha"}}, "subj:alpha");
  const double ham_side = evidenceFor(tokens, {{"Subject", "omega"}}, "subj:omega");
  EXPECT_GT(spam_side, 0.5);
  EXPECT_LT(ham_side, 0.5);
  EXPECT_GT(0.5 - ham_side, spam_side - 0.5 + 0.05) << spam_side << " " << ham_side;
}

TEST(LearnTokens, WhatWasNeverSeenPullsTowardsNeutral) {
  // Spam and personal ham of the same build are learned; then comes a newsletter, a kind never
  // learned, that shares only the provider's relay with two of the spam. Its many tokens
  // never seen must outweigh so thin a piece of evidence.
  const auto message = [](const std::string& relay, const std::string& from,
                           const std::string& subject, int n) {
    return headerOf({{"Received", "from " + relay + " by mx.home.example"},
                     {"From", from},
                     {"To", "me@home.example"},
                     {"Subject", subject},
                     {"Message-ID", "<" + std::to_string(n) + "@" + relay.substr(0, 8) + ">"},
                     {"Date", "Mon, 3 Jun 2024 10:00:00 +0200"}});
  };
  const std::string provider = "mx.provider.example (mx.provider.example [192.0.2.9])";
  learn::LearnedTokens tokens;
  for (int n = 0; n < 200; ++n) {
    const std::string tag = std::to_string(n);
    tokens.learn(*message(n % 100 == 0 ? provider : "bulk" + tag + ".pills.example", "<deals" +
                          tag + "@pills.example>", "cheap pills now " + tag, n),
                 learn::Corpus::kSpam);
    tokens.learn(*message("mail.friends.example", "Ann <ann.example@friends.example>",
                          "re: lunch on day " + tag, n),
                 learn::Corpus::kHam);
  }
  const learn::Judgement judgement = tokens.judge(
      *message(provider, "Weekly Digest <news-digest@news.example>",
               "your weekly digest: gardening tips and seasonal recipes", 7), 5);
  ASSERT_FALSE(judgement.for_spam.empty()) << "the relay counts as evidence for spam";
  EXPECT_LT(judgement.p, 0.9);
  // Many of the newsletter's tokens were never learned (its shapes and field order were); a
  // message learned was seen whole.
  EXPECT_GT(judgement.seen_share, 0.0);
  EXPECT_LT(judgement.seen_share, 0.8);
  const learn::Judgement learned = tokens.judge(
      *message("mail.friends.example", "Ann <ann.example@friends.example>", "re: lunch on day 3",
               3));
  EXPECT_DOUBLE_EQ(learned.seen_share, 1.0);
}

TEST(LearnTokens, PruningDropsTheRarestTokens) {
  learn::LearnedTokens tokens;
  for (int n = 0; n < 5; ++n) tokens.learn(*headerOf(spamFields(n)), learn::Corpus::kSpam);
  const size_t all = tokens.tokenCount();
  tokens.prune(all);
  EXPECT_EQ(tokens.tokenCount(), all);
  tokens.prune(all - 1);
  EXPECT_LT(tokens.tokenCount(), all);
  // The tokens every message had are kept.
  learn::LearnedTokens again;
  std::string reason;
  ASSERT_TRUE(again.parse(tokens.format(), reason)) << reason;
  EXPECT_NE(tokens.format().find(" subj:cheap\n"), std::string::npos);
  EXPECT_EQ(tokens.format().find(" rcvd:ip:203.0.113.10\n"), std::string::npos);
  // A message learned before pruning can still be taken back.
  EXPECT_EQ(tokens.unlearn(*headerOf(spamFields(0)), learn::Corpus::kSpam), learn::Change::kDone);
}

TEST(LearnTokens, FormatReadsBackAndBadFilesAreRefused) {
  learn::LearnedTokens tokens;
  tokens.learn(*headerOf(spamFields(1)), learn::Corpus::kSpam);
  tokens.learn(*headerOf(hamFields(1)), learn::Corpus::kHam);
  const std::string text = tokens.format();
  learn::LearnedTokens read;
  std::string reason;
  ASSERT_TRUE(read.parse(text, reason)) << reason;
  EXPECT_EQ(read.format(), text);
  EXPECT_EQ(read.judge(*headerOf(spamFields(3))).p, tokens.judge(*headerOf(spamFields(3))).p);

  const std::string head = "pollensift learned tokens 2\nmessages 1 1\n";
  const std::string digests = "m " + std::string(32, 'a') + " s\nm " + std::string(32, 'b') +
                              " h\n";
  ASSERT_TRUE(read.parse(head + digests + "t 1 0 x\nend\n", reason)) << reason;
  struct Case {
    std::string text;
    std::string reason;
  };
  for (const Case& c : {
           Case{"", "is not a learned-token file"},
           Case{"From someone\nSubject: hi\n", "is not a learned-token file"},
           Case{"pollensift learned tokens x\n", "is not a learned-token file"},
           Case{"pollensift learned tokens 0\nend\n", "is not a learned-token file"},
           Case{"pollensift learned tokens 3\nwhatever\n",
                "was written by a newer version (format 3)"},
           Case{"pollensift learned tokens 1\nmessages 1 1\nend\n",
                "was written by an older version (format 1)"},
           Case{head + digests + "t 1 0 x\n", "is damaged at line 6"},            // cut short
           Case{head + digests + "t 1 0 x\nend", "is damaged at line 6"},         // no line end
           Case{head + digests + "t 2 0 x\nend\n", "is damaged at line 5"},       // 2 of 1 spam
           Case{head + digests + "t 0 0 x\nend\n", "is damaged at line 5"},
           Case{head + digests + "t 1 0 x\nt 1 1 x\nend\n", "is damaged at line 6"},
           Case{head + digests + "t 1 0 a b\nend\n", "is damaged at line 5"},
           Case{head + digests + "t 1 -1 x\nend\n", "is damaged at line 5"},
           Case{head + digests + "t 99999999999 0 x\nend\n", "is damaged at line 5"},
           Case{head + "m " + std::string(32, 'a') + " s\nend\n", "is damaged at line 5"},
           Case{head + digests + "m " + std::string(32, 'a') + " h\nend\n",
                "is damaged at line 5"},
           Case{head + "m " + std::string(31, 'a') + "g s\nend\n", "is damaged at line 3"},
           Case{"pollensift learned tokens 2\nt 1 0 x\nend\n", "is damaged at line 2"},
           Case{head + digests + "end\nt 1 0 x\n", "is damaged at line 6"},
       }) {
    std::string why;
    EXPECT_FALSE(read.parse(c.text, why)) << c.text;
    EXPECT_EQ(why, c.reason) << c.text;
  }
  EXPECT_EQ(read.format(), head + digests + "t 1 0 x\nend\n") << "a refused text changes nothing";
}

class LearnFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/learn_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/tokens";
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string dir_;
  std::string path_;
};

TEST_F(LearnFileTest, WrittenWholeAndReadBackOnlyWhenSound) {
  learn::LearnedTokens tokens;
  std::string problem;
  EXPECT_EQ(learn::readLearnFile(path_, tokens, problem), learn::FileRead::kAbsent);
  tokens.learn(*headerOf(spamFields(1)), learn::Corpus::kSpam);
  tokens.learn(*headerOf(hamFields(1)), learn::Corpus::kHam);
  ASSERT_TRUE(learn::writeLearnFile(path_, tokens, problem)) << problem;
  struct stat info {};
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  learn::LearnedTokens read;
  ASSERT_EQ(learn::readLearnFile(path_, read, problem), learn::FileRead::kRead) << problem;
  EXPECT_EQ(read.format(), tokens.format());

  chmod(path_.c_str(), 0620);
  EXPECT_EQ(learn::readLearnFile(path_, read, problem), learn::FileRead::kRefused);
  EXPECT_EQ(problem, "can be changed by other users (mode 0620)");
  chmod(path_.c_str(), 0600);

  std::ofstream(path_, std::ios::app) << "t 1 1 extra\n";
  EXPECT_EQ(learn::readLearnFile(path_, read, problem), learn::FileRead::kRefused);
  EXPECT_EQ(problem.rfind("is damaged at line ", 0), 0u) << problem;

  EXPECT_EQ(learn::readLearnFile(dir_, read, problem), learn::FileRead::kRefused);
  EXPECT_EQ(problem, "is not a regular file");
  EXPECT_FALSE(learn::writeLearnFile(dir_ + "/missing/tokens", tokens, problem));
  EXPECT_EQ(problem, "cannot be written (No such file or directory)");
  EXPECT_EQ(read.format(), tokens.format()) << "refused files changed nothing";
}

}  // namespace
