#pragma once

#include <memory>

#include "config/mail_account.h"

// The objects of one PROTOCOL statement: protocol speaks over connection, attached to it here.
std::shared_ptr<AccountObjects> pairAccountObjects(std::shared_ptr<Protocol> protocol,
                                                   std::shared_ptr<Connection> connection);

// The real objects of a PROTOCOL statement: an APOP object for the APOP codes, else POP3 (with code
// 2 for anything but the POP3 codes), each over a new Socket. The driver hands this factory to
// Settings before the rc file is read.
std::shared_ptr<AccountObjects> makeAccountObjects(int code);
