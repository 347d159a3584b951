#pragma once

#include <functional>
#include <string>
#include <string_view>

// The text of the state file, version 1: the line "pollensift-state 1"; per account a line
// "account KEY FINGERPRINT COUNT" and COUNT lines "UIDL MESSAGE-ID-KEY" ("-" for none); then
// "end". Bytes outside printable ASCII, and "%", are written %XX, so that every field is one word.

// Writes a state file: its header line, then what is handed in, in that order, then "end".
class StateWriter {
 public:
  StateWriter();
  void account(const std::string& account, const std::string& fingerprint, size_t entries);
  void entry(std::string_view uidl, std::string_view key);
  std::string finish();

 private:
  std::string out_;
};

// Where readStateText hands what it reads.
struct StateSink {
  std::function<void(std::string account, std::string_view fingerprint)> account;
  std::function<void(std::string_view uidl, std::string_view key)> entry;
};

// Reads text as a whole state file of this version; false, with reason, at the first thing that
// is not one (what was handed to sink before then must be thrown away).
bool readStateText(std::string_view text, const StateSink& sink, std::string& reason);

// Whether first, a file's first line, begins a state file of this version; false with reason.
bool isStateHeaderLine(std::string_view first, std::string& reason);
// The length of that line with its LF.
size_t stateHeaderSize();

// Whether text can serve as a UIDL (1 to 70 printable ASCII characters, as RFC 1939 has it).
bool isUsableUidl(std::string_view text);
// A Message-ID key as the duplicate list makes it: "=" and at most 64 bytes, or "#" and a
// 32-byte digest; "" for a message without one.
bool isMessageIdKey(std::string_view key);
