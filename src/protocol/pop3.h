#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol/capabilities.h"
#include "protocol/protocol.h"

class LoginMethod;
class Quarantine;
class UidlListing;

// The POP3 dialogue: the login (USER/PASS, or AUTH with a SASL mechanism, after STLS where the
// protocol asks for it), STAT, and the scan that fetches every message's size and header, has it
// judged and deletes the condemned ones.
class POP3 : public Protocol {
 public:
  bool login(const char* user, const char* password) override;
  bool quit() override;
  int deleteMessage(int number) override;
  int status() override;
  int scan() override;
  bool keepAlive() override;
  void withdraw() override;

  // For the login methods and the steps of the dialogue.
  // Sends text and reads the reply: whether both worked and the reply is positive.
  bool exchange(const std::string& text, bool multiline = false);
  // Whether the last read returned data and the reply begins with '+'. A negative reply is kept
  // for reportRefusal.
  bool positive(int read_result);
  // After the line that says which step failed: the server's own words, when it sent any.
  void reportRefusal(bool login_step);
  // Ends the session before its login: cause (a sentence) says why none was tried.
  void noLogin(std::string cause) { login_not_tried_ = std::move(cause); }
  // What the server listed in CAPA before the login; nothing when it was not asked.
  const Capabilities& capabilities() const { return capabilities_; }
  // Whether commands go to the server together: PIPELINING = "yes" and the CAPA before the login
  // (after STLS, the one that followed it) lists PIPELINING.
  bool pipelines() const;
  // Several commands, each ending in CR LF, in one write: whether it went out.
  bool sendTogether(const std::string& commands);
  // readReply, noting when a reply went astray: the dialogue has then lost its step.
  int read(bool multiline);

 protected:
  // The login of the protocol when the account names no SASL mechanism.
  virtual const LoginMethod& ownLogin() const;

 private:
  // Greeting, capabilities, STLS and UTF8: false after reporting why the session cannot go on.
  bool openSession();
  // STLS and the TLS hand-shake: false after reporting why.
  bool upgrade();
  void reportGreeting();
  // CAPA into capabilities_: false when it got no reply at all.
  bool readCapabilities();
  // Whether the scan needs the capabilities after the login: for UTF8, which a server (or the
  // server behind a proxy) may list only then, until UTF8 is on; and for PIPELINING, where the
  // settings allow it and the CAPA before the login did not list it.
  bool wantsCapabilitiesAfterLogin() const;
  // The reply to CAPA after the login (already sent) into after_login_: false when none came.
  bool readCapabilitiesAfterLogin();
  // Before the first LIST or TOP: the capabilities after the login, and UTF8 where they list it
  // and it is not on yet. False after reporting a failure.
  bool prepareScan();
  // The messages first..count, one command or a window of them in flight; with sizes (every
  // message's, as listed) TOP n 0 goes without LIST n.
  int scanWindow(int first, int count, bool pipelined, const std::vector<int>* sizes);
  // LIST of every message into sizes: 1 listed, 0 refused or not a listing of 1..count, -1 when
  // the reply did not come (reported).
  int listAll(int count, std::vector<int>* sizes);
  // Parses the TOP reply (the one just read, or one read ahead) and returns the filter's
  // verdict; -2 when it cannot be parsed or shows that the replies are out of step. The
  // message's Message-ID goes to *message_id.
  // ticket: the message's block-list lookups (0 for none), whose listings add to its score.
  int judge(int number, int count, int size, const std::string& reply, std::string* message_id,
            uint64_t ticket = 0);
  // What a condemned message's RETR is held against: its verdict field, listed size, judged
  // header (HeaderDigest) and the tag its stored copy's name carries.
  struct ToStore {
    std::string field;
    int size = 0;
    std::string header_digest;
    std::string tag;
  };
  // Reads the reply to RETR number into the quarantine: 1 stored, 0 not stored (the server
  // refused, or its copy is not the message judged, or the quarantine failed; the reply was read
  // whole), -1 when the reply could not be read and the replies are out of step.
  int store(int number, const Quarantine& quarantine, const ToStore& judged);
  // After STAT (and the UIDL listing): the messages first..count, with CAPA and LIST as the
  // settings, the server and the state file allow.
  int scanMessages(int first, int count);

  std::string refusal_;  // the last negative reply; empty when the last step did not get one
  std::string greeting_;
  Capabilities capabilities_;
  bool in_step_ = true;  // every reply so far was read in turn
  int counted_ = -1;     // the count of the last STAT, until a scan takes it
  bool stat_asked_ = false;  // this session has sent STAT
  bool uidl_asked_ = false;  // UIDL went out with the first STAT; the scan reads its reply
  bool utf8_on_ = false;     // the server accepted UTF8 in this session
  bool after_login_read_ = false;  // this session has read CAPA after the login
  Capabilities after_login_;
  bool idle_ = false;  // the scan waits with nothing in flight: a NOOP may go out
  // The server's unique ids during a scan that holds them against the Message-IDs; else null.
  const UidlListing* uidls_ = nullptr;
  // Of the messages judged with a UIDL and a Message-ID, how many an earlier account had.
  struct {
    int listed = 0;
    int seen = 0;
  } evidence_;
};

// The POP3 dialogue with the APOP login: the password never crosses the wire.
class APOP : public POP3 {
 protected:
  const LoginMethod& ownLogin() const override;
};

// The APOP digest text: MD5 over time_stamp immediately followed by password, as 32 lowercase
// hexadecimal digits.
std::string apopDigest(const std::string& time_stamp, const std::string& password);
