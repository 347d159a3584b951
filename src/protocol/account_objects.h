#pragma once

#include <memory>

#include "config/mail_account.h"

// The objects of one PROTOCOL statement: protocol speaks over connection, attached to it here.
std::shared_ptr<AccountObjects> pairAccountObjects(std::shared_ptr<Protocol> protocol,
                                                   std::shared_ptr<Connection> connection);

// Makes the PROTOCOL statements of the rc file create the real protocol and connection objects.
// The driver calls this before the rc file is read.
void installAccountObjects();
