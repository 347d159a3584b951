// Framing speed of TOP replies arriving in network-sized pieces: run by hand, never by the tests.
#include <benchmark/benchmark.h>

#include <string>

#include "net/reply_reader.h"

namespace {

// A multi-line reply of about size bytes: many header lines, then the "." line.
std::string topReply(size_t size) {
  std::string reply = "+OK\r\n";
  while (reply.size() < size) reply += "Received: from relay.example.net by mx.example.org.\r\n";
  return reply + "\r\n.\r\n";
}

// Every piece is appended and checked, as Socket::readReply does after each receive.
void BM_FrameReply(benchmark::State& state) {
  const std::string reply = topReply(static_cast<size_t>(state.range(0)));
  const size_t piece = static_cast<size_t>(state.range(1));
  ReplyReader reader;
  for (auto _ : state) {
    for (size_t at = 0; at < reply.size(); at += piece) {
      reader.append(std::string_view(reply).substr(at, piece));
      benchmark::DoNotOptimize(reader.check(true));
    }
    benchmark::DoNotOptimize(reader.take());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}
BENCHMARK(BM_FrameReply)->Args({2 << 10, 512})->Args({16 << 10, 1448})->Args({1 << 20, 16384});

}  // namespace

BENCHMARK_MAIN();
