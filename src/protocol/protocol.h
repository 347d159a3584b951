#pragma once

class Connection;

// Protocol codes as configured by PROTOCOL.
enum ProtocolCode : int {
  kProtocolPop3 = 2,
  kProtocolApop = 4,
  kProtocolPop3Ssl = 4098,
  kProtocolApopSsl = 4100,
};

inline bool protocolUsesTls(int code) { return code == kProtocolPop3Ssl || code == kProtocolApopSsl; }

// The mailbox protocol of one account, spoken over its Connection (not owned).
class Protocol {
 public:
  virtual ~Protocol() = default;
  virtual bool login(const char* user, const char* password) = 0;
  virtual bool quit() = 0;
  virtual int deleteMessage(int number) = 0;
  virtual int status() = 0;
  virtual int scan() = 0;

  void setConnection(Connection* connection) { connection_ = connection; }
  Connection* connection() const { return connection_; }
  void setProtocolType(int code) { protocol_type_ = code; }
  int protocolType() const { return protocol_type_; }

  // What the last scan judged: messages examined and, of those, condemned ones whose deletion
  // was sent (or simulated in test mode).
  struct Tally {
    int examined = 0;
    int deleted = 0;
  };
  const Tally& tally() const { return tally_; }

 protected:
  Tally tally_;

 private:
  Connection* connection_ = nullptr;
  int protocol_type_ = kProtocolPop3;
};
