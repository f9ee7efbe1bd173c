#include "devhub/relay_upgrade.h"

#include <cctype>

#include "devhub/relay_hub.h"
#include "devhub/ws_handshake.h"
#include "hub/http_reader.h"
#include "util/json.h"
#include "util/logger.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX becomes its byte; a malformed escape stands for itself. A '+' stays a '+': secrets
// may hold one.
std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string QueryValue(const std::string& query, const std::string& name) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) {
      end = query.size();
    }
    const std::string pair = query.substr(start, end - start);
    const size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      return equals == std::string::npos ? "" : PercentDecode(pair.substr(equals + 1));
    }
    start = end + 1;
  }
  return "";
}

bool ContainsToken(std::string value, const std::string& token) {
  for (char& c : value) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return value.find(token) != std::string::npos;
}

void SendErrorReply(int fd, int status, const char* reason, const std::string& code,
                    const std::string& message) {
  const std::string body = "{\"success\":false,\"code\":" + JsonString(code) +
                           ",\"message\":" + JsonString(message) + ",\"data\":null}";
  const std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                            "\r\nContent-Type: application/json; charset=utf-8\r\n"
                            "Content-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  SendAll(fd, reply.data(), reply.size());
}

}  // namespace

std::optional<RelayUpgradeRequest> ParseRelayUpgrade(const std::string& target,
                                                     const std::string& headers,
                                                     std::string& error) {
  const std::string prefix = kRelayPathPrefix;
  const size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size() ||
      path.find('/', prefix.size()) != std::string::npos) {
    error = "Relay path must be /api/relay/edge/{number}.";
    return std::nullopt;
  }
  RelayUpgradeRequest request;
  request.deviceNumber = PercentDecode(path.substr(prefix.size()));
  request.deviceSecret = QueryValue(query, "secret");
  request.clientKey = HeaderValue(headers, "Sec-WebSocket-Key");
  if (!ContainsToken(HeaderValue(headers, "Upgrade"), "websocket") || request.clientKey.empty()) {
    error = "Relay requires a WebSocket upgrade.";
    return std::nullopt;
  }
  return request;
}

void ServeRelayUpgrade(RelayHub& hub, UniqueFd socket, const std::string& target,
                       const std::string& headers) {
  std::string error;
  std::optional<RelayUpgradeRequest> request = ParseRelayUpgrade(target, headers, error);
  if (!request) {
    SendErrorReply(socket.get(), 400, "Bad Request", "BAD_REQUEST", error);
    return;
  }
  if (!hub.Authorize(request->deviceNumber, request->deviceSecret)) {
    g_log.Write("WARN", "Relay refused for device " + request->deviceNumber + ": wrong secret.");
    SendErrorReply(socket.get(), 403, "Forbidden", "FORBIDDEN",
                   "Unknown device or wrong device secret.");
    return;
  }
  hub.ServeConnection(std::move(socket), request->deviceNumber,
                      BuildUpgradeReply(request->clientKey));
}

}  // namespace larkspire
