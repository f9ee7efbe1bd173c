#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace larkspire {

// The server half of the WebSocket opening handshake. Pure functions: no I/O.

std::array<uint8_t, 20> Sha1(const std::string& data);
std::string Base64Encode(const uint8_t* data, size_t size);

// The Sec-WebSocket-Accept value that proves to the client that its key was understood.
std::string WebSocketAcceptKey(const std::string& clientKey);

// The complete "101 Switching Protocols" reply for a client key, blank line included.
std::string BuildUpgradeReply(const std::string& clientKey);

}  // namespace larkspire
