#include "web/request_guard.h"

#include "util/text.h"
#include "web/http_request.h"

namespace larkspire {
namespace {

bool IsPort(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos && std::stoi(text) <= 65535;
}

// A single Host header's value, or empty when there is none or more than one.
std::string OnlyHost(const std::string& head) {
  std::vector<std::string> hosts = RequestHeaderValues(head, "Host");
  return hosts.size() == 1 ? hosts.front() : "";
}

}  // namespace

std::string NormalizeAuthority(const std::string& authority, int defaultPort) {
  std::string text = AsciiLower(authority);
  std::string host = text;
  std::string port = std::to_string(defaultPort);
  size_t colon = text.rfind(':');
  if (text.rfind('[', 0) == 0) {
    size_t close = text.find(']');
    if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
      return "";
    }
    host = text.substr(0, close + 1);
    colon = close + 1 < text.size() ? close + 1 : std::string::npos;
  } else if (colon != std::string::npos) {
    host = text.substr(0, colon);
  }
  if (colon != std::string::npos) {
    port = text.substr(colon + 1);
  }
  // Letters, digits, dots, hyphens and the bracketed IPv6 forms; nothing that could smuggle
  // a path, user info or white space into the comparison.
  if (host.empty()) {
    return "";
  }
  const bool bracketed = host.front() == '[';
  const std::string inside = bracketed ? host.substr(1, host.size() - 2) : host;
  const bool plain =
      !inside.empty() &&
      inside.find_first_not_of(bracketed ? "0123456789abcdef:."
                                         : "abcdefghijklmnopqrstuvwxyz0123456789.-_") ==
          std::string::npos;
  if (!plain || !IsPort(port)) {
    return "";
  }
  return host + ":" + std::to_string(std::stoi(port));
}

std::vector<std::string> AllowedAuthorities(const std::string& bindAddress, int port,
                                            const std::vector<std::string>& ownAddresses,
                                            const std::vector<std::string>& extraNames) {
  std::vector<std::string> names = {"127.0.0.1", "localhost", "[::1]", bindAddress};
  if (bindAddress == "0.0.0.0") {
    names.insert(names.end(), ownAddresses.begin(), ownAddresses.end());
  }
  names.insert(names.end(), extraNames.begin(), extraNames.end());
  std::vector<std::string> allowed;
  for (const std::string& name : names) {
    std::string authority = NormalizeAuthority(Trim(name), port);
    if (!authority.empty() && authority.rfind("0.0.0.0:", 0) != 0) {
      allowed.push_back(authority);
    }
  }
  return allowed;
}

bool HasAllowedHost(const std::string& head, const std::vector<std::string>& allowed) {
  std::string authority = NormalizeAuthority(OnlyHost(head), 80);
  if (authority.empty()) {
    return false;
  }
  for (const std::string& name : allowed) {
    if (name == authority) {
      return true;
    }
  }
  return false;
}

bool IsSameSiteJsonPost(const std::string& head) {
  std::vector<std::string> types = RequestHeaderValues(head, "Content-Type");
  if (types.size() != 1 ||
      AsciiLower(Trim(types.front().substr(0, types.front().find(';')))) != "application/json") {
    return false;
  }
  std::vector<std::string> origins = RequestHeaderValues(head, "Origin");
  if (origins.empty()) {
    return true;
  }
  const std::string& origin = origins.front();
  std::string host = NormalizeAuthority(OnlyHost(head), 80);
  return origins.size() == 1 && AsciiLower(origin).rfind("http://", 0) == 0 && !host.empty() &&
         NormalizeAuthority(origin.substr(7), 80) == host;
}

}  // namespace larkspire
