#include "filter/seen_ids.h"

#include <array>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>

#include "text/sha256.h"

namespace {

// prefix + the SHA-256 of text.
std::string digestKey(char prefix, std::string_view text) {
  const std::array<unsigned char, 32> digest = sha256(text);
  std::string hashed(1, prefix);
  hashed.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  return hashed;
}

}  // namespace

std::string SeenIds::key(std::string_view id) {
  if (id.size() <= kLongId) {
    std::string verbatim = "=";
    verbatim += id;
    return verbatim;
  }
  return digestKey('#', id);
}

std::string SeenIds::messageKey(std::string_view uidl, std::string_view id_key) {
  std::string both(uidl);
  both += '\0';
  both += id_key;
  return digestKey('%', both);
}

std::string_view SeenIds::keyAt(uint32_t slot_value) const {
  const size_t at = slot_value - 1;
  return std::string_view(keys_).substr(at + 1, static_cast<unsigned char>(keys_[at]));
}

size_t SeenIds::slotOf(std::string_view key, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == 0 || keyAt(slots_[slot]) == key) return slot;
  }
}

bool SeenIds::contains(std::string_view key) const {
  return !slots_.empty() && slots_[slotOf(key, std::hash<std::string_view>{}(key))] != 0;
}

bool SeenIds::insert(std::string_view key) {
  // Keys are at most a marker and kLongId bytes, so their length fits the one byte before them.
  if (key.size() > std::numeric_limits<unsigned char>::max()) throw std::length_error("SeenIds key");
  if ((count_ + 1) * 2 > slots_.size()) grow();
  const size_t slot = slotOf(key, std::hash<std::string_view>{}(key));
  if (slots_[slot] != 0) return false;
  if (keys_.size() + key.size() + 1 >= std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  slots_[slot] = static_cast<uint32_t>(keys_.size() + 1);
  keys_ += static_cast<char>(key.size());
  keys_ += key;
  ++count_;
  return true;
}

bool SeenIds::insertPacked(std::string_view packed) {
  while (!packed.empty()) {
    const size_t size = static_cast<unsigned char>(packed[0]);
    if (size == 0 || packed.size() < 1 + size) return false;
    insert(packed.substr(1, size));
    packed.remove_prefix(1 + size);
  }
  return true;
}

// Keeps the table at most half full, so a look-up meets few other keys.
void SeenIds::grow() {
  std::vector<uint32_t> old(slots_.empty() ? 64 : slots_.size() * 2, 0);
  old.swap(slots_);
  for (const uint32_t value : old) {
    if (value == 0) continue;
    slots_[slotOf(keyAt(value), std::hash<std::string_view>{}(keyAt(value)))] = value;
  }
}

void SeenIds::clear() {
  keys_.clear();
  keys_.shrink_to_fit();
  slots_.clear();
  slots_.shrink_to_fit();
  count_ = 0;
}
