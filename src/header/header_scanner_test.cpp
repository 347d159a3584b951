// The program's header scanner against the table-driven one it replaced: on every input both must
// yield the same tokens with the same texts, and trace the same dropped characters.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "header/line_scanner.h"
#include "header/reference_scanner.h"
#include "header/rfc_lexer.h"

namespace {

struct Scanned {
  std::vector<std::pair<int, std::string>> tokens;
  std::string trace;  // the lines written, time stamps left out
};

// Far more tokens than any input here yields; a scanner that loops stops the test here.
constexpr size_t kTokenBound = 1 << 20;

std::string withoutTimeStamps(const std::string& out) {
  std::istringstream lines(out);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(" pollensift: ");
    kept += (at == std::string::npos ? line : line.substr(at)) + "\n";
  }
  return kept;
}

Scanned scan(HeaderTokens& scanner, const std::string& text, bool traced) {
  Settings::instance().resetForTesting();  // the verbosity can be set once only
  Settings::instance().setVerbose(traced ? 6 : 0);
  Scanned scanned;
  if (traced) testing::internal::CaptureStdout();
  scanner.restart(text);
  for (int code = scanner.next(); code != 0 && scanned.tokens.size() < kTokenBound;
       code = scanner.next()) {
    scanned.tokens.emplace_back(code, header_token_value);
  }
  if (traced) scanned.trace = withoutTimeStamps(testing::internal::GetCapturedStdout());
  return scanned;
}

std::string printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f && c != '\\') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    }
  }
  return out;
}

// The header of a message as a TOP reply carries it: CR LF line ends, lines that begin with a
// full stop stuffed, the end marker.
std::string topReply(const std::string& raw) {
  std::string reply;
  std::istringstream lines(raw);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    reply += (line[0] == '.' ? "." : "") + line + "\r\n";
  }
  return reply + "\r\n.\r\n";
}

// The whole text with CR LF line ends: bodies bring bytes and lines no header has.
std::string withCrLf(const std::string& raw) {
  std::string text;
  text.reserve(raw.size() + raw.size() / 16);
  for (const char c : raw) {
    if (c == '\n' && (text.empty() || text.back() != '\r')) text += '\r';
    text += c;
  }
  return text;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class HeaderScannerTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::instance().resetForTesting(); }
  void TearDown() override { Settings::instance().resetForTesting(); }

  // Scans text with both scanners; true when they agree. On a difference, the first one is
  // reported with what.
  bool agree(const std::string& text, const std::string& what, bool traced = false) {
    const Scanned expected = scan(reference_, text, traced);
    const Scanned got = scan(line_, text, traced);
    EXPECT_LT(expected.tokens.size(), kTokenBound) << what;
    if (expected.tokens == got.tokens && expected.trace == got.trace) return true;
    size_t i = 0;
    while (i < expected.tokens.size() && i < got.tokens.size() &&
           expected.tokens[i] == got.tokens[i]) {
      ++i;
    }
    auto token = [](const Scanned& s, size_t k) {
      return k < s.tokens.size() ? std::to_string(s.tokens[k].first) + " \"" +
                                       printable(s.tokens[k].second) + "\""
                                 : std::string("end");
    };
    ADD_FAILURE() << what << ": input \"" << printable(text) << "\", token " << i
                  << ": reference " << token(expected, i) << ", line scanner " << token(got, i)
                  << (expected.tokens == got.tokens ? "; traces differ:\n" + expected.trace +
                                                          "---\n" + got.trace
                                                    : "");
    return false;
  }

  ReferenceScanner reference_;
  LineScanner line_;
};

// The cases each rule of the scanner exists for, one or two inputs each, traced.
TEST_F(HeaderScannerTest, AgreesOnEveryRule) {
  const char* const kInputs[] = {
      "",
      "Subject: Hi\r\nDate: d\r\n\r\n.\r\n",
      "From a@b Mon Jan 1\r\nSubject: x\r\n",
      "From : a@b\r\nfrom\t:\t c\r\nFROM:d\r\n",
      "From\n\r\nFrom\r\r\nFrom x\nFrom",
      "..X: y\r\n.Y: z\r\n.\r\n..\r\n.",
      "Received: a\r\n b\r\n\tc\r\n \r\n\n\n\n",
      "A: 1\r\n\r\n.\r\nB: 2\r\n\r\n.\r",
      "Subject: Hi\n\r\nDate: d\nX: y",
      "Subject:\nDate:   \r\nName-1.x  :  v\r\n",
      "1Foo: x\r\nX_Y: z\r\n: no name\r\n\x1b[2J: y\r\n",
      "x\r\n.\r\n\r\n\r\n.\r\n\v\f: y\r\n\x00\xff: z\r\n",
      ".\r\n.\n. \r\n..\n...A : b\r\n",
      "Subject: \x00\r\x7f\r\n\tx\r\r\n",
      "A: b\r\n \r\n.\r\nC: d",
  };
  for (const char* input : kInputs) {
    agree(std::string(input), "listed case", true);
  }
  static const char kWithNul[] = "A\0: b\r\nB: \0c\r\n\0\r\n.\r\n";
  const std::string with_nul(kWithNul, sizeof kWithNul - 1);
  agree(with_nul, "NUL bytes", true);
}

// More dropped characters than are traced, in a body and outside one.
TEST_F(HeaderScannerTest, AgreesOnTheTraceBound) {
  // The traces are captured: a body without CR LF, then a line no rule claims.
  const Scanned traced = scan(line_, "Subject: %\n%\r\n", true);
  const std::string dropped = " pollensift: Debugging: Header scanner dropped the character ";
  EXPECT_EQ(traced.trace,
            dropped + "\"%\".\n" + dropped + "\"%\".\n" + dropped + "\"\\x0d\".\n");
  agree("Subject: " + std::string(150, '%') + "\n" + std::string(150, '%') + "\r\n",
        "long drops", true);
}

// Random texts made of the pieces the rules look at: line ends of every kind, the end marker,
// dot-stuffing, field names of every form, envelope lines, blanks and bytes no rule claims.
TEST_F(HeaderScannerTest, AgreesOnRandomTexts) {
  const std::vector<std::string> pieces = {
      "From", "from ", "FROM:", "From :", "From\t", "Subject", "Message-ID: <a@b>", "X-A.b-1",
      ":", ": ", " ", "\t", "\r", "\n", "\r\n", "\r\n.\r\n", ".", "..", "x", "A", "1", "-",
      "\v", "\f", std::string(1, '\0'), "\xff", "\n\r\n", "_", "\x1b",
  };
  std::mt19937 random(25);
  std::uniform_int_distribution<size_t> piece(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 40);
  int failures = 0;
  for (int round = 0; round < 20000 && failures < 5; ++round) {
    std::string text;
    for (int n = length(random); n > 0; --n) text += pieces[piece(random)];
    if (!agree(text, "random text " + std::to_string(round), round % 50 == 0)) ++failures;
  }
}

// Every message of the fixtures: its header as a TOP reply, the whole message with CR LF line
// ends, and its raw bytes.
TEST_F(HeaderScannerTest, AgreesOnTheMailFixtures) {
  int files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(POLLENSIFT_SOURCE_DIR "/tests/fixtures/mail")) {
    const std::string raw = readFile(entry.path());
    const std::string name = entry.path().filename().string();
    agree(topReply(raw), name, true);
    agree(withCrLf(raw), name + " with CR LF");
    agree(raw, name + " raw");
    ++files;
  }
  EXPECT_GE(files, 6);
}

// The same for every file below POLLENSIFT_HEADER_CORPUS (bench/corpus.py's messages, a public
// corpus): run by hand over corpora too large to keep in the tree.
TEST_F(HeaderScannerTest, AgreesOnACorpusGivenByHand) {
  const char* dir = std::getenv("POLLENSIFT_HEADER_CORPUS");
  if (dir == nullptr) GTEST_SKIP() << "POLLENSIFT_HEADER_CORPUS is not set";
  int files = 0;
  int failures = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string raw = readFile(entry.path());
    const std::string name = entry.path().string();
    const bool same = agree(topReply(raw), name) && agree(withCrLf(raw), name + " with CR LF") &&
                      agree(raw, name + " raw");
    if (!same && ++failures >= 5) break;
    ++files;
  }
  std::printf("%d files scanned alike\n", files);
  EXPECT_GT(files, 0);
}

}  // namespace
