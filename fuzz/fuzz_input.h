#pragma once

// How the network harnesses read their input: a server's byte stream and where it is cut.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CutStream {
  std::string bytes;                // everything the server sends
  std::vector<std::string> chunks;  // the same bytes, in the pieces they arrive in
};

// From data[at]: one byte whose low four bits give the number of cuts, one byte per cut (its
// distance to the previous cut, minus one), then the stream itself.
inline CutStream readCutStream(const uint8_t* data, size_t size, size_t at) {
  std::vector<size_t> cuts;
  std::vector<uint8_t> distances;
  if (at < size) {
    const int count = data[at++] & 15;
    for (int i = 0; i < count && at < size; ++i) distances.push_back(data[at++]);
  }
  CutStream stream;
  stream.bytes.assign(reinterpret_cast<const char*>(data) + at, size - at);
  size_t cut = 0;
  for (const uint8_t distance : distances) {
    cut += distance + 1u;
    if (cut >= stream.bytes.size()) break;
    cuts.push_back(cut);
  }
  size_t from = 0;
  for (const size_t offset : cuts) {
    stream.chunks.push_back(stream.bytes.substr(from, offset - from));
    from = offset;
  }
  stream.chunks.push_back(stream.bytes.substr(from));
  return stream;
}
