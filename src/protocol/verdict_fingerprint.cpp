#include "protocol/uidl_state.h"

#include <regex.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "rules/rules.h"
#include "text/sha256.h"

namespace {

// Every value on a line of its own, texts with their length first, so that no two
// configurations can spell the same text.
void addText(std::string& out, const char* name, const std::string& text) {
  out += name;
  out += ' ';
  out += std::to_string(text.size());
  out += ':';
  out += text;
  out += '\n';
}

void addNumber(std::string& out, const char* name, long long value) {
  out += name;
  out += ' ';
  out += std::to_string(value);
  out += '\n';
}

void addRule(std::string& out, const char* kind, const FilterRule& rule) {
  out += kind;
  out += rule.negated() ? " <>" : " =";
  out += rule.cflags() & REG_ICASE ? " nocase" : " case";
  out += '\n';
  addText(out, "expression", rule.expression());
}

}  // namespace

std::string verdictFingerprint() {
  Settings& settings = Settings::instance();
  std::string text;
  addText(text, "version", POLLENSIFT_VERSION);
  // The syntax applies to every rule: the last REG_TYPE of the rc file is in force when they are
  // compiled. REG_CASE applies through each rule's case, taken where the rule was read.
  addText(text, "syntax", settings.regType() & REG_EXTENDED ? "extended" : "basic");
  for (const FilterRule& rule : settings.allowRules()) addRule(text, "allow", rule);
  for (const FilterRule& rule : settings.denyRules()) addRule(text, "deny", rule);
  for (const ScoreRule& rule : settings.scoreRules()) {
    addRule(text, "score", rule);
    addNumber(text, "points", rule.score());
  }
  addNumber(text, "highscore", settings.highscore());
  addNumber(text, "maxlength", settings.maxlength());
  addNumber(text, "maxsize_allow", settings.maxsizeAllow());
  addNumber(text, "maxsize_deny", settings.maxsizeDeny());
  addNumber(text, "maxsize_score_points", settings.maxsizeScore().first);
  addNumber(text, "maxsize_score_size", settings.maxsizeScore().second);
  addNumber(text, "normal", settings.normal());
  addNumber(text, "del_duplicates", settings.delDuplicates());
  // Without -i a malformed Message-ID stops the scan, with it the message is judged.
  addNumber(text, "ignore_time_stamps", settings.ignoreTimeStamps());

  return sha256Hex(text);
}
