// ParseUrl and NormalizeServerUrl on arbitrary text: only the documented errors, and a
// parsed URL always has a host and a path the HTTP client can put in a request line.
#include <stdexcept>
#include <string>

#include "hub/url.h"
#include "support/fuzz_check.h"

namespace larkspire {
namespace {

void CheckParse(const std::string& url) {
  ParsedUrl parsed;
  try {
    parsed = ParseUrl(url);
  } catch (const std::logic_error& error) {  // std::stoi's invalid_argument and out_of_range
    FUZZ_CHECK(std::string(error.what()) == "stoi");
    return;
  } catch (const std::runtime_error& error) {
    FUZZ_CHECK(std::string(error.what()).rfind("Invalid URL: ", 0) == 0);
    return;
  }
  FUZZ_CHECK(!parsed.host.empty() && parsed.host.find('/') == std::string::npos);
  FUZZ_CHECK(!parsed.path.empty() && parsed.path.front() == '/');
  FUZZ_CHECK(parsed.scheme.find("://") == std::string::npos);
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  const std::string url(reinterpret_cast<const char*>(data), size);
  const std::string normalized = NormalizeServerUrl(url);
  FUZZ_CHECK(!normalized.empty() && normalized.back() != '/');
  CheckParse(url);
  CheckParse(normalized);
  return 0;
}
