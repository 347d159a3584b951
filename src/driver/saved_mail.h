#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <string>

#include "net/connection.h"

// One saved message as a POP3 server would present it.
struct SavedMessage {
  std::string origin;  // the file it came from; for an mbox, the file and the message's line
  std::string header;  // what TOP n 0 gives after its status line: CR LF lines, "", "."
  int64_t size = 0;    // the whole message with CR LF line ends, as LIST gives it
  bool header_too_long = false;  // the header passed kMaxSavedHeader and was cut there
};

// The longest header kept, as for a header from a server; a longer one is not judged (a hostile
// file cannot fill the memory).
constexpr size_t kMaxSavedHeader = kHeaderReplyLimit;

class MessageHeader;

// Parses the header of message, the number-th read, into header, leaving out the field the
// quarantine adds (the old verdict must not judge the message again); *quarantine_copy tells
// whether it was there. False after an error line when the header is too long ("...; it is not "
// + verb + ".") or cannot be parsed.
bool parseSavedHeader(const SavedMessage& message, const std::string& number, const char* verb,
                      MessageHeader& header, bool* quarantine_copy = nullptr);

using SavedMessageVisitor = std::function<void(const SavedMessage&)>;

// Where a reader says what it could not read: "path: reason".
using SavedMailFault = std::function<void(const std::string& reason)>;

// Hands each message of path to visit, in order: a Maildir folder (the files of cur/ and new/ in
// the order of their names), an mbox file (a file whose first line begins with "From "), any
// other regular file as one message, or "-" for standard input (one message, or an mbox).
// False when something could not be read, after telling fault why; a Maildir's file that cannot
// be read leaves the others to be read, and what could be read was visited.
bool readSavedMail(const std::string& path, const SavedMessageVisitor& visit,
                   const SavedMailFault& fault);

// The same for a stream; origin names it in the messages.
bool readSavedStream(std::istream& input, const std::string& origin,
                     const SavedMessageVisitor& visit, std::string& error);
