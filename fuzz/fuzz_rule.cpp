// Rule expressions are written by the user, but often pasted from anywhere: translating any
// expression must neither crash nor hang, and a rule the engine takes must give the C library's
// yes/no on any text. Input: one byte of switches (bit 0 extended syntax, bit 1 case ignored),
// then the expression, a NUL, then the text it is tested on (also cut into lines at each CR).

#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/settings.h"
#include "rules/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = rest.find('\0');
  if (split == std::string::npos) return 0;
  const std::string expression = rest.substr(0, split);
  const std::string text = rest.substr(split + 1);

  Settings& settings = Settings::instance();
  settings.setRegType(data[0] & 1 ? "extended" : "basic");
  FilterRule rule(expression, data[0] & 2 ? REG_ICASE : 0, false);
  static FILE* quiet = std::freopen("/dev/null", "w", stderr);  // the compile errors
  (void)quiet;
  if (rule.compile(Settings::instance().regType()) != 0) return 0;
  // The C library's matcher is left out where the engine is not used: it may take exponential
  // time on back-references, which is why those rules see only the start of a line.
  if (!rule.fallbackReason().empty()) return 0;
  RuleMatcher matcher({&rule});
  std::vector<uint32_t> found;
  matcher.match(text, found);
  const bool expected = rule.matches(text);
  if (found.empty() == expected) std::abort();
  // Many rules with repetitions may be matched apart from the sets: enough copies of this one
  // take that path when it qualifies, and every copy must still give the same answer.
  RuleMatcher copies(std::vector<const FilterRule*>(16, &rule));
  copies.match(text, found);
  if (found.size() != (expected ? 16u : 0u)) std::abort();
  // The parts of the text between CR bytes, as the lines of one header searched together: each
  // still gets the C library's answer, whatever newlines and NULs it holds.
  std::vector<std::string> lines;
  for (size_t from = 0;;) {
    const size_t cr = text.find('\r', from);
    lines.push_back(text.substr(from, cr == std::string::npos ? std::string::npos : cr - from));
    if (cr == std::string::npos) break;
    from = cr + 1;
  }
  RuleMatcher::EachMatch each;
  matcher.matchEach(lines, each);
  if (each.ends.size() != lines.size()) std::abort();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (each.of(i).empty() == rule.matches(lines[i])) std::abort();
  }
  return 0;
}
