#pragma once

#include <string>

#include "protocol/protocol.h"

// The POP3 dialogue: USER/PASS login, STAT, and the scan that fetches every message's size and
// header, has it judged and deletes the condemned ones.
class POP3 : public Protocol {
 public:
  bool login(const char* user, const char* password) override;
  bool quit() override;
  int deleteMessage(int number) override;
  int status() override;
  int scan() override;

 protected:
  // Sends text and reads the single-line reply: whether both worked and the reply is positive.
  bool exchange(const std::string& text);
  // Whether the last read returned data and the reply begins with '+'.
  bool positive(int read_result) const;

 private:
  int scanMessage(int number);
};

// The POP3 dialogue with the APOP login: the password never crosses the wire.
class APOP : public POP3 {
 public:
  bool login(const char* user, const char* password) override;
};

// The APOP digest text: MD5 over time_stamp immediately followed by password, as 32 lowercase
// hexadecimal digits.
std::string apopDigest(const std::string& time_stamp, const std::string& password);
