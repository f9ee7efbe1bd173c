#include "hub/url.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "util/test_errors.h"

namespace larkspire {
namespace {

TEST(Url, NormalizesAndSplitsConfiguredText) {
  EXPECT_EQ(NormalizeServerUrl("  hub:8080/api// "), "http://hub:8080/api");
  EXPECT_EQ(NormalizeServerUrl("HTTPS://Hub///"), "HTTPS://Hub");
  EXPECT_EQ(NormalizeServerUrl(" \t\n"), "http://hub.larkspire.local:31080");
  const struct {
    const char* input;
    const char* expected;  // scheme host port path, and whether it is TLS
  } cases[] = {
      {"hub", "http hub 80 / plain"},
      {"wss://hub/x?y=1", "wss hub 443 /x?y=1 tls"},
      {"https://hub", "https hub 443 / tls"},
      {"http://a:b:90/p", "http a:b 90 /p plain"},
      {"http://hub:8080x/z", "http hub 8080 /z plain"},
      {" http://10.0.0.1:31080/api/devices#f ", "http 10.0.0.1 31080 /api/devices#f plain"},
      {"HTTPS://h", "HTTPS h 443 / tls"},  // kept as written, but still TLS
      {"Wss://h:8443", "Wss h 8443 / tls"},
      {"httpss://h", "httpss h 80 / plain"},
  };
  for (const auto& c : cases) {
    const ParsedUrl url = ParseUrl(c.input);
    EXPECT_EQ(url.scheme + " " + url.host + " " + std::to_string(url.port) + " " + url.path +
                  (IsTlsScheme(url.scheme) ? " tls" : " plain"),
              c.expected);
  }
  EXPECT_EQ(testing::ErrorOf<std::runtime_error>([] { ParseUrl("http://:80"); }),
            "Invalid URL: http://:80");
  EXPECT_THROW(ParseUrl("http://hub:abc"), std::invalid_argument);
}

}  // namespace
}  // namespace larkspire
