// ParseUrl and NormalizeServerUrl: only known errors; a parsed URL fits in a request line.
#include "hub/url.h"
#include "support/fuzz_harness.h"
#include "util/test_errors.h"

namespace larkspire {

void CheckParse(const std::string& url) {
  ParsedUrl parsed;
  const std::string error = testing::ErrorOf([&] { parsed = ParseUrl(url); });
  if (error != "<no exception>") {
    // "stoi": std::stoi's invalid_argument and out_of_range
    FUZZ_CHECK(error == "stoi" || error.rfind("Invalid URL: ", 0) == 0);
    return;
  }
  FUZZ_CHECK(!parsed.host.empty() && parsed.host.find('/') == std::string::npos);
  FUZZ_CHECK(parsed.path.starts_with('/') && parsed.scheme.find("://") == std::string::npos);
}

void FuzzOne(const std::string& url) {
  const std::string normalized = NormalizeServerUrl(url);
  FUZZ_CHECK(!normalized.empty() && normalized.back() != '/');
  CheckParse(url);
  CheckParse(normalized);
}

}  // namespace larkspire
