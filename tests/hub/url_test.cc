#include "hub/url.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "util/test_errors.h"

namespace larkspire {
namespace {

using testing::ErrorOf;

TEST(Url, NormalizesAndSplitsConfiguredText) {
  const std::pair<const char*, const char*> normalized[] = {
      {"  hub:8080/api// ", "http://hub:8080/api"},
      {"https://h/", "https://h"},
      {"HTTP://Hub///", "HTTP://Hub"},
      {" \t\n", "http://hub.larkspire.local:31080"},
  };
  for (const auto& [input, expected] : normalized) {
    EXPECT_EQ(NormalizeServerUrl(input), expected) << input;
  }
  const struct {
    const char* input;
    const char* scheme;
    const char* host;
    int port;
    const char* path;
    bool tls = false;
  } cases[] = {
      {"hub", "http", "hub", 80, "/"},
      {"wss://hub/x?y=1", "wss", "hub", 443, "/x?y=1", true},
      {"https://hub", "https", "hub", 443, "/", true},
      {"ws://hub", "ws", "hub", 80, "/"},
      {"http://a:b:90/p", "http", "a:b", 90, "/p"},
      {"http://hub:8080x/z", "http", "hub", 8080, "/z"},
      {" http://10.0.0.1:31080/api/devices#f ", "http", "10.0.0.1", 31080, "/api/devices#f"},
      {"HTTPS://h", "HTTPS", "h", 443, "/", true},  // kept as written, but still TLS
      {"Wss://h:8443", "Wss", "h", 8443, "/", true},
      {"httpss://h", "httpss", "h", 80, "/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const ParsedUrl url = ParseUrl(c.input);
    EXPECT_EQ(url.scheme + " " + url.host + " " + std::to_string(url.port) + " " + url.path,
              std::string(c.scheme) + " " + c.host + " " + std::to_string(c.port) + " " + c.path);
    EXPECT_EQ(IsTlsScheme(url.scheme), c.tls);
  }
  EXPECT_EQ(ErrorOf<std::runtime_error>([] { ParseUrl("http://:80"); }), "Invalid URL: http://:80");
  EXPECT_EQ(ErrorOf<std::runtime_error>([] { ParseUrl("  /just/a/path"); }),
            "Invalid URL: http:///just/a/path");
  EXPECT_EQ(ErrorOf<std::invalid_argument>([] { ParseUrl("http://hub:abc"); }), "stoi");
  EXPECT_EQ(ErrorOf<std::out_of_range>([] { ParseUrl("http://hub:99999999999"); }), "stoi");
}

}  // namespace
}  // namespace larkspire
