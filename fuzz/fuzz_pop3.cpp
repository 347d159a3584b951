// A whole POP3 session against a server whose every byte is hostile: login (USER/PASS or APOP),
// STAT, the scan with LIST, TOP, the header parse, the filter and DELE, then QUIT, through a
// scripted transport (no sockets). Whatever the server says, the commands pollensift writes stay
// well formed and no message is deleted unless its header arrived whole.
//
// The login may also go through CAPA, STLS and AUTH with a SASL mechanism: nothing but CAPA and
// STLS goes out before TLS is up (which a scripted transport never brings up), and the secret
// travels only in its own PASS command or the mechanism's base64 response.
//
// Input: byte 0 bit 0: APOP; bit 1: the stream ends (else it falls silent); bit 2: test mode;
// bit 3: DEL_DUPLICATES; bits 4-5: AUTH none, PLAIN, XOAUTH2, OAUTHBEARER (not with APOP);
// bit 6: the STLS protocol; bit 7: full verbosity. Byte 1: number of cuts (low four bits), bit 4:
// a QUARANTINE; then one byte per cut (distance to the previous cut, minus one); the rest is what
// the server sends.
//
// With the quarantine, a DELE only ever follows the RETR of its message, and every message stored
// is one the scan counted as quarantined.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "fuzz_input.h"
#include "net/socket.h"
#include "net/test_support.h"
#include "protocol/pop3.h"
#include "rules/rules.h"

namespace {

// One quarantine for the fuzzer's process, emptied before each input.
const std::filesystem::path& quarantineDirectory() {
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("pollensift-fuzz-q-" + std::to_string(::getpid()));
  return path;
}

size_t held() {
  std::error_code ignored;
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(quarantineDirectory() / "new", ignored)) {
    (void)entry;
    ++count;
  }
  return count;
}

void configure(uint8_t bits, bool quarantine) {
  Settings& s = Settings::instance();
  s.resetForTesting();
  if (quarantine) {
    std::error_code ignored;
    std::filesystem::remove_all(quarantineDirectory(), ignored);
    s.setQuarantine(quarantineDirectory().string());
  }
  s.setVerbose(bits & 128 ? 6 : 0);
  s.setTest(bits & 4 ? "yes" : "no");
  s.setDelDuplicates(bits & 8 ? "yes" : "no");
  s.addDeny("DENY", "=", "^Subject: .*spam");
  s.addScore("SCORE", 60, "=", "^From: .*@spam\\.example");
  s.setHighscore(50);
  if (compileRules() != 0) std::abort();
  FilterEngine::instance().resetForTesting();
}

// Every command is one line: its text, then CR LF, and no other line end.
bool wellFormed(const std::string& command) {
  return command.size() >= 2 && command.ends_with("\r\n") &&
         command.find_first_of("\r\n") == command.size() - 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t bits = data[0];
  const bool quarantine = (data[1] & 16) != 0;
  configure(bits, quarantine);
  const CutStream stream = readCutStream(data, size, 1);

  auto server = std::make_shared<FakeServer>();
  server->send(stream.chunks);
  if (bits & 2) server->endStream();
  Socket socket(std::make_unique<FakeTransport>(server), 30);
  std::unique_ptr<POP3> protocol = bits & 1 ? std::make_unique<APOP>() : std::make_unique<POP3>();
  protocol->setConnection(&socket);
  static const char* const kMechanisms[] = {"", "PLAIN", "XOAUTH2", "OAUTHBEARER"};
  const char* mechanism = bits & 1 ? "" : kMechanisms[(bits >> 4) & 3];
  const bool stls = (bits & 64) != 0;
  protocol->setProtocolType(stls ? (bits & 1 ? kProtocolApopStls : kProtocolPop3Stls)
                                 : (bits & 1 ? kProtocolApop : kProtocolPop3));
  protocol->setLoginOptions({mechanism, "pop.example", 110, "jo"});
  bool withdrawn = false;
  if (protocol->login("jo", "secret")) {
    protocol->status();
    // As the account check does: a failed scan that sent a DELE ends without QUIT.
    withdrawn = protocol->scan() < 0 && protocol->tally().marked > 0;
    if (withdrawn) {
      protocol->withdraw();
    } else {
      protocol->quit();
    }
  }

  // A TOP only ever follows the LIST of its message (or one LIST of every message), and a DELE the TOP of the same message (with
  // commands for later messages in flight between them when the server pipelines); each message
  // is deleted at most once and in order; a withdrawn session ends with RSET and no QUIT; and the
  // password goes out only in its own PASS command.
  std::set<std::string> listed;
  bool all_listed = false;
  std::set<std::string> topped;
  std::set<std::string> retrieved;
  long last_deleted = 0;
  for (const std::string& command : server->written()) {
    if (!wellFormed(command)) std::abort();
    if (command.starts_with("LIST ")) listed.insert(command.substr(5, command.size() - 7));
    if (command == "LIST\r\n") all_listed = true;
    if (command.starts_with("TOP ")) {
      const std::string number = command.substr(4, command.size() - 8);
      if (!all_listed && listed.count(number) == 0) std::abort();
      topped.insert(number);
    }
    if (withdrawn && command == "QUIT\r\n") std::abort();
    if (command.starts_with("RETR ")) {
      const std::string number = command.substr(5, command.size() - 7);
      if (!quarantine || topped.count(number) == 0) std::abort();
      retrieved.insert(number);
    }
    if (command.starts_with("DELE ")) {
      const std::string number = command.substr(5, command.size() - 7);
      if (topped.count(number) == 0) std::abort();
      if (quarantine && retrieved.count(number) == 0) std::abort();
      const long value = std::stol(number);
      if (value <= last_deleted) std::abort();
      last_deleted = value;
    }
    if (command.find("secret") != std::string::npos && command != "PASS secret\r\n") std::abort();
    if (stls && command != "CAPA\r\n" && command != "STLS\r\n") std::abort();
    if (command == "PASS secret\r\n" && *mechanism != '\0') std::abort();
    if (command.starts_with("AUTH ") && command != std::string("AUTH ") + mechanism + "\r\n") {
      std::abort();
    }
  }
  if (withdrawn && server->written().back() != "RSET\r\n") std::abort();
  if (quarantine && held() != static_cast<size_t>(protocol->tally().quarantined)) std::abort();
  return 0;
}
