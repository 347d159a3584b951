// Learned scoring reads two kinds of untrusted text: mail headers, whose subjects carry encoded
// words in any charset, and the learned-token file, which anything may have happened to on disk.
// Neither may crash; every token must be printable with no blank (it is one word of a line of the
// file), and a file that is accepted must be written back the same.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "header/message_header.h"
#include "learn/header_tokens.h"
#include "learn/learn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    Settings::instance().setVerbose(0);
    return true;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  learn::decodeEncodedWords(text);

  // The input as one header: each line a field "name: value".
  MessageHeader header;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) header.addField(line.substr(0, colon), line.substr(colon + 1));
    at = end + 1;
  }
  std::vector<uint64_t> from_texts;
  for (const std::string& token : learn::headerTokens(header)) {
    for (const char c : token) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte <= ' ' || byte == 0x7f) std::abort();
    }
    from_texts.push_back(learn::tokenHash(token));
  }
  // Judging hashes the tokens as it makes them: the same hashes as their texts give.
  learn::TokenList judged(false);
  learn::tokenize(header, judged);
  std::vector<uint64_t> made = judged.hashes();
  std::sort(made.begin(), made.end());
  std::sort(from_texts.begin(), from_texts.end());
  if (made != from_texts) std::abort();
  learn::LearnedTokens tokens;
  tokens.learn(header, learn::Corpus::kSpam);
  std::string reason;
  learn::LearnedTokens again;
  if (!again.parse(tokens.format(), reason) || again.format() != tokens.format()) std::abort();

  learn::LearnedTokens read;
  if (read.parse(text, reason)) {
    const std::string written = read.format();
    learn::LearnedTokens reread;
    if (!reread.parse(written, reason) || reread.format() != written) std::abort();
    const double p = read.judge(header, 3).p;
    if (!(p >= 0.0 && p <= 1.0)) std::abort();
  } else if (reason.empty()) {
    std::abort();
  }
  return 0;
}
