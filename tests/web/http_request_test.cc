#include "web/http_request.h"

#include <gtest/gtest.h>

#include "web/request_guard.h"

namespace larkspire {
namespace {

TEST(HttpRequestTest, ContentLengthComesFromItsOwnHeaderLineOnly) {
  struct Case {
    const char* head;
    long long length;
  } cases[] = {
      {"POST / HTTP/1.1\r\ncontent-length:   42  ", 42},
      {"POST / HTTP/1.1\r\nX-Content-Length: 7\r\nContent-Length: 9", 9},
      {"POST / HTTP/1.1\r\nContent-Length: abc", 0},
      {"POST /Content-Length:5 HTTP/1.1\r\nHost: x", 0},
      {"POST / HTTP/1.1\r\nContent-Length: -3", -3},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999", 9223372036854775807LL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(AnnouncedContentLength(c.head), c.length);
  }
}

TEST(HttpRequestTest, CookieValuesComeFromCookieHeadersOnly) {
  using Values = std::vector<std::string>;
  struct Case {
    std::string head;
    Values values;
  } cases[] = {
      {"GET / HTTP/1.1\r\ncookie:theme=dark;  larkspire_edge=ab ; lang=en", {"ab"}},
      {"GET / HTTP/1.1\r\nCookie: larkspire_edge=1\r\nCookie: larkspire_edge=2", {"1", "2"}},
      {"GET / HTTP/1.1\r\nCookie: xlarkspire_edge=1; other=larkspire_edge=2", {}},
      {"GET / HTTP/1.1\r\nX-Cookie: larkspire_edge=1", {}},
      {"GET /?Cookie: larkspire_edge=1 HTTP/1.1\r\nHost: x", {}},
      {"GET / HTTP/1.1\r\nReferer: x\r\n Cookie: larkspire_edge=1", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(CookieValues(c.head, "larkspire_edge"), c.values);
  }
}

TEST(HttpRequestTest, LogByteCountToleratesOddParameters) {
  struct Case {
    const char* target;
    size_t count;
  } cases[] = {
      {"/api/logs", 32768},           {"/api/logs?bytes", 32768},
      {"/api/logs?bytes=12abc", 12},  {"/api/logs?x=1&bytes=100&bytes=5", 100},
      {"/api/logs?bytes=-1", 262144}, {"/api/logs?bytes=99999999999999999999999", 262144},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(LogByteCount(c.target), c.count);
  }
}

// A rebound DNS name, a port that is not ours, a second Host or a smuggled user part must
// not pass for the page's own address.
TEST(RequestGuardTest, OnlyOwnAuthoritiesPassTheHostCheck) {
  const std::vector<std::string> allowed =
      AllowedAuthorities("0.0.0.0", 18080, {"192.168.50.1"}, {"Edge.Example", "proxy.lan:443"});
  struct Case {
    std::string hosts;
    bool allowed;
  } cases[] = {
      {"Host: 127.0.0.1:18080", true},
      {"Host: LOCALHOST:18080", true},
      {"Host: [::1]:18080", true},
      {"Host: 192.168.50.1:18080", true},
      {"Host: edge.example:18080", true},
      {"Host: proxy.lan:443", true},
      {"Host: 0.0.0.0:18080", false},
      {"Host: evil.example:18080", false},
      {"Host: 127.0.0.1", false},
      {"Host: 127.0.0.1:18081", false},
      {"Host: proxy.lan:18080", false},
      {"Host: x@127.0.0.1:18080", false},
      {"Host: 127.0.0.1:18080/", false},
      {"Host: [::1", false},
      {"", false},
      {"Host: 127.0.0.1:18080\r\nHost: evil", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hosts);
    EXPECT_EQ(HasAllowedHost("GET / HTTP/1.1\r\n" + c.hosts, allowed), c.allowed);
  }
  // Bound to one address, the machine's other addresses are not the page's.
  EXPECT_FALSE(HasAllowedHost("GET / HTTP/1.1\r\nHost: 192.168.50.1:18080",
                              AllowedAuthorities("127.0.0.1", 18080, {"192.168.50.1"}, {})));
}

TEST(RequestGuardTest, PostsMustBeJsonFromThisOrigin) {
  struct Case {
    std::string headers;
    bool accepted;
  } cases[] = {
      {"Content-Type: application/json", true},
      {"Content-Type: Application/JSON; charset=utf-8\r\nOrigin: http://LOCALHOST:8", true},
      {"Content-Type: text/plain", false},
      {"Content-Type: application/x-www-form-urlencoded", false},
      {"", false},
      {"Content-Type: application/json\r\nOrigin: http://evil.example", false},
      {"Content-Type: application/json\r\nOrigin: https://localhost:8", false},
      {"Content-Type: application/json\r\nOrigin: null", false},
      {"Content-Type: application/json\r\nOrigin: http://localhost:9", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    EXPECT_EQ(IsSameSiteJsonPost("POST /api/config HTTP/1.1\r\nHost: localhost:8\r\n" + c.headers),
              c.accepted);
  }
}

}  // namespace
}  // namespace larkspire
