#pragma once

#include <optional>
#include <string>

#include "util/fd.h"

namespace larkspire {

class RelayHub;

inline constexpr const char* kRelayPathPrefix = "/api/relay/edge/";

struct RelayUpgradeRequest {
  std::string deviceNumber;
  std::string deviceSecret;
  std::string clientKey;  // Sec-WebSocket-Key
};

// Reads "/api/relay/edge/{number}?secret=..." (percent-encoded) and the upgrade headers.
// Nothing when the request is not a WebSocket upgrade of that form; `error` says why.
std::optional<RelayUpgradeRequest> ParseRelayUpgrade(const std::string& target,
                                                     const std::string& headers,
                                                     std::string& error);

// Answers a relay request on a connection whose request head has been read: a 400 or 403
// reply for a malformed or unauthorised one, else the 101 reply, after which the relay
// connection runs on the calling thread until it ends.
void ServeRelayUpgrade(RelayHub& hub, UniqueFd socket, const std::string& target,
                       const std::string& headers);

}  // namespace larkspire
