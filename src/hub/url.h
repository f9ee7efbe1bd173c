#pragma once

#include <string>

namespace larkspire {

// The Hub used when the configured URL is blank.

struct ParsedUrl {
  std::string scheme = "http";
  std::string host;
  std::string path = "/";  // query and fragment stay in here
  int port = 80;           // 443 for a TLS scheme
};

// "https" and "wss" in any case: the Hub link is TLS, and 443 is the default port.
bool IsTlsScheme(const std::string& scheme);

// Trimmed, "http://" added when no scheme, trailing slashes removed; empty -> default Hub URL.
std::string NormalizeServerUrl(std::string url);
// Throws "Invalid URL: <url>" for an empty host, std::invalid_argument / std::out_of_range
// ("stoi") for a bad port.
ParsedUrl ParseUrl(std::string url);

}  // namespace larkspire
