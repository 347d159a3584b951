// Reply framing over a byte stream that a hostile or broken server chose, cut into pieces of any
// size, read through a scripted transport (no sockets). The replies must come out the same
// however the stream was cut, exactly as a reference framing of the whole stream gives them.
//
// Input: byte 0 bit 0: the stream ends (else it falls silent); byte 1: single- or multi-line mode
// of reads 1 to 8, repeating; byte 2: the reply limit (0: the default); byte 3: number of cuts
// (low four bits), then one byte per cut (distance to the previous cut, minus one); the rest is
// the stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "fuzz_input.h"
#include "net/socket.h"
#include "net/test_support.h"

namespace {

// Where the reply starting at from ends in stream, or npos when it never does.
size_t referenceEnd(std::string_view stream, size_t from, bool multiline) {
  const size_t status_end = stream.find("\r\n", from);
  if (status_end == std::string_view::npos) return std::string_view::npos;
  if (!multiline || stream[from] == '-') return status_end + 2;
  const size_t terminator = stream.find("\r\n.\r\n", status_end);
  return terminator == std::string_view::npos ? terminator : terminator + 5;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Settings::instance().resetForTesting();
  // Every reply is traced and escaped; scripts/fuzz.sh closes the output streams.
  Settings::instance().setVerbose(6);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const bool stream_ends = data[0] & 1;
  const uint8_t modes = data[1];
  const size_t limit = data[2] == 0 ? ReplyReader::kDefaultLimit : size_t{data[2]} * 8;
  const CutStream cut = readCutStream(data, size, 3);
  const std::string& stream = cut.bytes;

  auto server = std::make_shared<FakeServer>();
  server->send(cut.chunks);
  if (stream_ends) server->endStream();
  Socket socket(std::make_unique<FakeTransport>(server), 30);
  socket.setReplyLimit(limit);

  size_t from = 0;
  for (int read = 0; read < 1000; ++read) {
    const bool multiline = modes >> (read % 8) & 1;
    const size_t end = referenceEnd(stream, from, multiline);
    const int result = socket.readReply(multiline);
    if (end == std::string_view::npos || end - from > limit) {
      // No whole reply within the limit: a failure, never a short or stitched reply.
      if (result != -1) std::abort();
      return 0;
    }
    const std::string* reply = socket.lastReply();
    if (result != static_cast<int>(end - from) || reply == nullptr ||
        *reply != std::string_view(stream).substr(from, end - from)) {
      std::abort();
    }
    from = end;
  }
  return 0;
}
