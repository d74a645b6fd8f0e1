// Small socket helpers the gateway's own listeners share.
#pragma once

#include <string>
#include <sys/socket.h>

#include "config.h"

namespace ptzd {

// A non-blocking, close-on-exec socket of `type` (SOCK_STREAM: listening;
// SOCK_DGRAM) bound to an IP literal and port; -1 with errno set.
int BindSocket(const Address& address, int type);
// "127.0.0.1:5000", "::1:5000".
std::string PeerText(const sockaddr_storage& peer);

}  // namespace ptzd
