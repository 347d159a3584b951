#include "filter/seen_ids.h"

#include <openssl/evp.h>

#include <new>
#include <utility>

std::string SeenIds::key(std::string_view id) {
  if (id.size() <= kLongId) {
    std::string verbatim = "=";
    verbatim += id;
    return verbatim;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(id.data(), id.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    // Only a library without memory fails here; the run cannot go on sensibly.
    throw std::bad_alloc();
  }
  std::string hashed = "#";
  hashed.append(reinterpret_cast<const char*>(digest), length);
  return hashed;
}

bool SeenIds::insert(std::string key) {
  if (contains(key)) return false;
  index_.insert(keys_.emplace_back(std::move(key)));
  return true;
}

void SeenIds::clear() {
  index_.clear();
  keys_.clear();
}
