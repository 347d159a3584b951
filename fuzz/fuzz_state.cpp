// The state file of incremental runs is read back from disk, where anything may have happened to
// it: reading must take any bytes. Whatever is accepted must be written back the same and read
// again the same, so a run never remembers something other than what it wrote.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/uidl_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string reason;
  const auto contents = UidlState::parse(text, reason);
  if (!contents) {
    if (reason.empty()) std::abort();
    return 0;
  }
  const std::string written = UidlState::format(*contents);
  const auto again = UidlState::parse(written, reason);
  if (!again || again->size() != contents->size()) std::abort();
  for (const auto& [account, state] : *contents) {
    const auto found = again->find(account);
    if (found == again->end() || found->second.fingerprint != state.fingerprint ||
        found->second.entries != state.entries) {
      std::abort();
    }
  }
  return 0;
}
