#pragma once

#include <optional>
#include <string>

#include "devhub/http_message.h"

namespace larkspire {

class Connection;
class DevHubServer;
class RelayHub;

struct RelayUpgradeRequest {
  std::string deviceNumber;
  std::string deviceSecret;
  std::string clientKey;  // Sec-WebSocket-Key
};

// Reads "/api/relay/edge/{number}?secret=..." (percent-encoded) and the upgrade headers.
// Nothing when the request is not a WebSocket upgrade of that form; `error` says why.
std::optional<RelayUpgradeRequest> ParseRelayUpgrade(const HttpRequest& request,
                                                     std::string& error);

// GET /api/relay/edge/{number}?secret=...: a 400 or 403 envelope for a malformed or
// unauthorised request; otherwise the connection is taken over, answered with 101 and
// relayed on the calling thread until it ends.
HttpResponse HandleRelayUpgrade(RelayHub& hub, const HttpRequest& request, Connection& connection);

void AddRelayRoutes(DevHubServer& server, RelayHub& hub);

}  // namespace larkspire
