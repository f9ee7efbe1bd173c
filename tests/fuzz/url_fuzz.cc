// ParseUrl and NormalizeServerUrl: only the documented errors, and a parsed URL always has a host
// and a path the HTTP client can put in a request line.
#include "hub/url.h"
#include "support/fuzz_harness.h"

namespace larkspire {

void CheckParse(const std::string& url) {
  ParsedUrl parsed;
  if (const std::optional<std::string> error = ErrorOf([&] { parsed = ParseUrl(url); })) {
    // "stoi": std::stoi's invalid_argument and out_of_range
    FUZZ_CHECK(*error == "stoi" || error->rfind("Invalid URL: ", 0) == 0);
    return;
  }
  FUZZ_CHECK(!parsed.host.empty() && parsed.host.find('/') == std::string::npos);
  FUZZ_CHECK(!parsed.path.empty() && parsed.path.front() == '/');
  FUZZ_CHECK(parsed.scheme.find("://") == std::string::npos);
}

void FuzzOne(const std::string& url) {
  const std::string normalized = NormalizeServerUrl(url);
  FUZZ_CHECK(!normalized.empty() && normalized.back() != '/');
  CheckParse(url);
  CheckParse(normalized);
}

}  // namespace larkspire
