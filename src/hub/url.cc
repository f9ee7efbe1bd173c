#include "hub/url.h"

#include <stdexcept>

#include "util/defaults.h"
#include "util/text.h"

namespace larkspire {
namespace {

std::string WithScheme(std::string url) {
  if (url.find("://") == std::string::npos) {
    url = "http://" + url;
  }
  return url;
}

}  // namespace

bool IsTlsScheme(const std::string& scheme) {
  // "HTTPS://hub" must not quietly become a plain link to port 80.
  const std::string lowered = AsciiLower(scheme);
  return lowered == "https" || lowered == "wss";
}

std::string NormalizeServerUrl(std::string url) {
  url = Trim(std::move(url));
  if (url.empty()) {
    url = kDefaultServerUrl;
  }
  url = WithScheme(std::move(url));
  while (!url.empty() && url.back() == '/') {
    url.pop_back();
  }
  return url;
}

ParsedUrl ParseUrl(std::string url) {
  const std::string text = WithScheme(Trim(std::move(url)));
  ParsedUrl parsed;
  const size_t schemeEnd = text.find("://");
  parsed.scheme = text.substr(0, schemeEnd);
  const std::string rest = text.substr(schemeEnd + 3);

  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  if (slash != std::string::npos) {
    parsed.path = rest.substr(slash);
  }

  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos) {
    parsed.host = authority.substr(0, colon);
    // std::stoi gives exactly the wanted leniency ("8080x" -> 8080) and error texts.
    parsed.port = std::stoi(authority.substr(colon + 1));
  } else {
    parsed.host = authority;
    parsed.port = IsTlsScheme(parsed.scheme) ? 443 : 80;
  }
  if (parsed.host.empty()) {
    throw std::runtime_error("Invalid URL: " + text);
  }
  return parsed;
}

}  // namespace larkspire
