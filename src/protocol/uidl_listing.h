#pragma once

#include <string>
#include <string_view>
#include <vector>

class Connection;

// The server's UIDL listing of one session: each message's unique id, by message number. A UIDL
// names one message and a message has one UIDL; a number or id listed twice is left out.
class UidlListing {
 public:
  // After STAT: asks for the listing of count messages, or only reads it when it was asked
  // together with STAT. False only when the connection failed; offered() tells whether the
  // server listed its ids.
  bool read(Connection& link, int count, bool asked);
  bool offered() const { return offered_; }
  // The UIDL of message number; "" when it was not listed or cannot be trusted.
  std::string_view uidlOf(int number) const;

 private:
  // A message number and its UIDL, a view into text_.
  struct Listed {
    int number;
    std::string_view uidl;
  };
  std::string text_;            // the UIDL reply
  std::vector<Listed> listed_;  // the usable lines of the listing, by message number
  bool offered_ = false;
};
