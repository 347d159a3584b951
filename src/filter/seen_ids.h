#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

// The Message-IDs seen in a run, for the duplicate check. A hostile sender can make an ID
// megabytes long, and every one is kept for the whole run: an ID longer than kLongId bytes is kept
// by its SHA-256 digest instead, so each costs at most a hundred bytes or so. Equal IDs have equal
// keys; a digest key never equals a verbatim one.
class SeenIds {
 public:
  static constexpr size_t kLongId = 64;

  // The form an ID is kept in: "=" + id, or "#" + its 32-byte SHA-256 for a long one.
  static std::string key(std::string_view id);

  // Adds key; false when it was there already.
  bool insert(std::string key);
  bool contains(const std::string& key) const { return index_.count(key) != 0; }
  size_t size() const { return index_.size(); }
  void clear();

 private:
  // In order of first sight; a deque, so the index's views stay valid as it grows.
  std::deque<std::string> keys_;
  std::unordered_set<std::string_view> index_;
};
