#include "devhub/relay_upgrade.h"

#include "devhub/relay_hub.h"
#include "devhub/server.h"
#include "devhub/ws_handshake.h"
#include "hub/http_reader.h"
#include "util/logger.h"
#include "util/text.h"

namespace larkspire {
namespace {

constexpr const char* kRelayPathPrefix = "/api/relay/edge/";

bool ContainsToken(const std::string& value, const std::string& token) {
  return AsciiLower(value).find(token) != std::string::npos;
}

}  // namespace

std::optional<RelayUpgradeRequest> ParseRelayUpgrade(const HttpRequest& request,
                                                     std::string& error) {
  const std::string prefix = kRelayPathPrefix;
  const std::string& path = request.path;
  std::optional<std::string> number;
  if (path.compare(0, prefix.size(), prefix) == 0 &&
      path.find('/', prefix.size()) == std::string::npos) {
    number = PercentDecode(path.substr(prefix.size()));
  }
  if (!number || number->empty()) {
    error = "Relay path must be /api/relay/edge/{number}.";
    return std::nullopt;
  }
  RelayUpgradeRequest upgrade;
  upgrade.deviceNumber = *number;
  upgrade.deviceSecret = QueryParam(request.query, "secret").value_or("");
  upgrade.clientKey = HeaderValue(request.headers, "Sec-WebSocket-Key");
  if (!ContainsToken(HeaderValue(request.headers, "Upgrade"), "websocket") ||
      upgrade.clientKey.empty()) {
    error = "Relay requires a WebSocket upgrade.";
    return std::nullopt;
  }
  return upgrade;
}

HttpResponse HandleRelayUpgrade(RelayHub& hub, const HttpRequest& request, Connection& connection) {
  std::string error;
  std::optional<RelayUpgradeRequest> upgrade = ParseRelayUpgrade(request, error);
  if (!upgrade || connection.Fd() < 0) {
    return ErrorEnvelope(400, "BAD_REQUEST", upgrade ? "Relay needs a connection." : error);
  }
  if (!hub.Authorize(upgrade->deviceNumber, upgrade->deviceSecret)) {
    g_log.Write("WARN", "Relay refused for device " + upgrade->deviceNumber +
                            ": unknown device or wrong secret.");
    return ErrorEnvelope(403, "FORBIDDEN", "Unknown device or wrong device secret.");
  }
  // The relay shares the stream with the server, and may hold it a moment after this call
  // returns (a packet in flight); it closes when the last holder lets go.
  connection.TakeOver();
  hub.ServeConnection(connection.Stream(), upgrade->deviceNumber,
                      BuildUpgradeReply(upgrade->clientKey));
  return HttpResponse{};
}

void AddRelayRoutes(DevHubServer& server, RelayHub& hub) {
  server.Route("GET", std::string(kRelayPathPrefix) + "*",
               [&hub](const HttpRequest& request, Connection& connection) {
                 return HandleRelayUpgrade(hub, request, connection);
               });
}

}  // namespace larkspire
