// Mail headers are written by any sender: the header parser and the filter behind it must take
// any bytes. Input: one byte of switches, three bytes of message size, then the header text as
// a TOP reply carries it after its status line. At full verbosity every verdict and trace line is
// built and escaped; scripts/fuzz.sh closes the output streams. Each input is judged with the rule
// engine and with every rule's C library pattern, which must agree on every line and verdict. The
// program's header scanner and the table-driven one it replaced must yield the same tokens.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "header/line_scanner.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "header/reference_scanner.h"
#include "header/rfc_lexer.h"
#include "rules/rules.h"

namespace {

// Every kind of rule, positive and negative, in every case mode. The negative rules act only on
// rare headers (all lines starting with X, or with Z), so most inputs still reach deny and score.
void addRules(Settings& s) {
  s.setRegType("extended");
  s.addAllow("ALLOW", "=", "^From:.*friend@example\\.org");
  s.addAllow("ALLOW_CASE", "=", "^List-Id: .*pollensift");
  s.addAllow("ALLOW_NOCASE", "<>", "^[^X]");
  s.addDeny("DENY", "=", "^Subject:.*(viagra|casino)");
  s.addDeny("DENY_CASE", "=", "^Received: .*\\[10\\.");
  s.addDeny("DENY_NOCASE", "=", "^X-Mailer: (BulkMailer|Mass)");
  s.addDeny("DENY", "<>", "^[^Z]");
  s.addScore("SCORE", 40, "=", "^Subject:.*(free|win)");
  s.addScore("SCORE_CASE", 2147483647, "=", "^X-Spam-Level: \\*{5}");
  s.addScore("SCORE_NOCASE", -2147483647 - 1, "=", "^X-Ham:");
  s.addScore("SCORE", -10, "<>", "^Precedence: bulk");
  s.addScore("SCORE", 7, "=", "^Received:");
  s.setHighscore(50);
  s.setMaxsizeScore(30, 100000);
  if (compileRules() != 0) std::abort();
}

// What one input switches on. Tracing every dropped character costs much time, so only inputs
// with the top bit set run at full verbosity.
void applySwitches(Settings& s, uint8_t bits) {
  s.resetForTesting();
  s.setVerbose(bits & 128 ? 6 : 0);
  addRules(s);
  s.setNormal(bits & 1 ? "yes" : "no");
  s.setDelDuplicates(bits & 2 ? "yes" : "no");
  s.setIgnoreTimeStamps(bits & 4);
  static const int kMaxlength[] = {0, 998, 60, -1};
  s.setMaxlength(kMaxlength[(bits >> 3) & 3]);
  s.setMaxsizeDeny(bits & 32 ? 500000 : 0);
  s.setMaxsizeAllow(bits & 64 ? 20000 : 0);
}

// The rule engine and every rule's own C library pattern agree on line (these rules are all
// the engine's, so no bound applies).
void compareMatchers(const std::string& line) {
  static std::vector<uint32_t> found;
  compiledRuleMatcher().match(line, found);
  Settings& s = Settings::instance();
  std::vector<const FilterRule*> rules;
  for (const FilterRule& rule : s.allowRules()) rules.push_back(&rule);
  for (const FilterRule& rule : s.denyRules()) rules.push_back(&rule);
  for (const ScoreRule& rule : s.scoreRules()) rules.push_back(&rule);
  for (uint32_t r = 0; r < rules.size(); ++r) {
    if (!rules[r]->fallbackReason().empty()) std::abort();
    if (rules[r]->matches(line) != std::binary_search(found.begin(), found.end(), r)) std::abort();
  }
}

// Both scanners read text to its end and yield the same tokens with the same texts.
void compareScanners(const std::string& text) {
  static ReferenceScanner reference;
  static LineScanner line;
  reference.restart(text);
  line.restart(text);
  for (;;) {
    const int expected = reference.next();
    const std::string expected_text = header_token_value;
    if (line.next() != expected || header_token_value != expected_text) std::abort();
    if (expected == 0) return;
  }
}

// Parses and filters text as one fetched message; false when it does not parse.
bool judge(const std::string& text, int size, int& verdict, bool& has_id) {
  MessageHeader header;
  header.setSize(size);
  const int parsed = parseHeader(&text, &header);
  if (parsed < -3 || parsed > 1 || parsed == -1) std::abort();
  if (parsed < 0) return false;
  for (const auto& [name, value] : header.fields()) {
    compareMatchers(std::string(name) + ": " + std::string(value));
  }
  verdict = FilterEngine::instance().filter(&header);
  if (verdict != 0 && verdict != 1) std::abort();
  has_id = !header.messageId().empty();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Settings& s = Settings::instance();
  applySwitches(s, data[0]);
  const int message_size = data[1] << 16 | data[2] << 8 | data[3];
  const std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);
  compareMatchers(text);  // any bytes at all, line ends and NULs included
  compareScanners(text);

  FilterEngine::instance().resetForTesting();
  int first = 0, second = 0;
  bool has_id = false;
  if (!judge(text, message_size, first, has_id)) return 0;
  if (!judge(text, message_size, second, has_id)) std::abort();
  // The same message again is a duplicate exactly when duplicates are deleted and it has an ID;
  // otherwise the filter, which keeps no other state, must come to the same verdict.
  if (second != (s.delDuplicates() && has_id ? 1 : first)) std::abort();

  // The rule engine only saves work: without it every pattern runs on every line, and the
  // verdict must be the same.
  FilterEngine& engine = FilterEngine::instance();
  engine.resetForTesting();
  engine.setRuleEngine(false);
  int plain = 0;
  const bool parsed = judge(text, message_size, plain, has_id);
  engine.setRuleEngine(true);
  if (!parsed || plain != first) std::abort();
  return 0;
}
