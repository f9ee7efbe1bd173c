#pragma once

#include <string>

namespace larkspire {

// Blocking IPv4 TCP connection with 8-second send and receive time-outs left on the socket.
// The caller owns the returned descriptor. Throws "getaddrinfo failed for <host>" or
// "TCP connect failed to <host>:<port>: <reason>".
int ConnectTcp(const std::string& host, int port);

}  // namespace larkspire
