#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The Message-IDs seen in a run, for the duplicate check. A hostile sender can make an ID
// megabytes long, and every one is kept for the whole run: an ID longer than kLongId bytes is kept
// by its SHA-256 digest instead. Equal IDs have equal keys; a digest key never equals a verbatim
// one. The keys lie one after another in one buffer, found through a table of their offsets, so
// a key costs its own bytes and about ten more, and the run's memory stays nearly flat however
// large the mailbox.
class SeenIds {
 public:
  static constexpr size_t kLongId = 64;

  // The form an ID is kept in: "=" + id, or "#" + its 32-byte SHA-256 for a long one.
  static std::string key(std::string_view id);

  // One message of one mailbox: its UIDL with the key of its Message-ID, as "%" + the SHA-256 of
  // both; never equal to the key of an ID.
  static std::string messageKey(std::string_view uidl, std::string_view id_key);

  // Adds key; false when it was there already.
  bool insert(std::string_view key);
  bool contains(std::string_view key) const;
  size_t size() const { return count_; }
  // Every key in the order added, each after its length in one byte: the form in which the keys
  // of one account checked in a process of its own reach the checks of later accounts.
  const std::string& packed() const { return keys_; }
  // Adds each key of a packed text; false when it is not in the packed form.
  bool insertPacked(std::string_view packed);
  void clear();

 private:
  // The slot that holds key, or the empty slot where it belongs.
  size_t slotOf(std::string_view key, size_t hash) const;
  std::string_view keyAt(uint32_t slot_value) const;
  void grow();

  std::string keys_;              // each key preceded by its length in one byte
  std::vector<uint32_t> slots_;   // 1 + a key's offset in keys_; 0 for an empty slot
  size_t count_ = 0;
};
