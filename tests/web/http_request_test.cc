#include "web/http_request.h"

#include <gtest/gtest.h>

#include "web/session_token.h"

namespace larkspire {
namespace {

TEST(HttpRequestTest, SplitsRequestLinePathAndBody) {
  HttpRequest request = ParseHttpRequest("GET /api/logs?bytes=5 HTTP/1.1\r\nHost: x\r\n\r\nbody");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/api/logs?bytes=5");
  EXPECT_EQ(request.path, "/api/logs");
  EXPECT_EQ(request.version, "HTTP/1.1");
  EXPECT_EQ(request.head, "GET /api/logs?bytes=5 HTTP/1.1\r\nHost: x");
  EXPECT_EQ(request.body, "body");

  HttpRequest empty = ParseHttpRequest("");
  EXPECT_EQ(empty.method, "");
  EXPECT_EQ(empty.path, "");
  EXPECT_EQ(empty.body, "");
}

TEST(HttpRequestTest, ContentLengthComesFromItsOwnHeaderLineOnly) {
  struct Case {
    const char* head;
    long long length;
  } cases[] = {
      {"POST / HTTP/1.1\r\ncontent-length:   42  ", 42},
      {"POST / HTTP/1.1\r\nX-Content-Length: 7\r\nContent-Length: 9", 9},
      {"POST / HTTP/1.1\r\nContent-Length: abc", 0},
      {"POST / HTTP/1.1\r\nHost: x", 0},
      {"POST /Content-Length:5 HTTP/1.1\r\nHost: x", 0},
      {"POST / HTTP/1.1\r\nContent-Length: -3", -3},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999", 9223372036854775807LL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(AnnouncedContentLength(c.head), c.length);
  }
}

TEST(HttpRequestTest, CookieMustBeAPairInACookieHeader) {
  const std::string token = "0123abcd";
  struct Case {
    std::string head;
    bool accepted;
  } cases[] = {
      {"GET / HTTP/1.1\r\nCookie: larkspire_edge=0123abcd", true},
      {"GET / HTTP/1.1\r\ncookie:theme=dark;  larkspire_edge=0123abcd ; lang=en", true},
      {"GET / HTTP/1.1\r\nCookie: theme=dark\r\nCookie: larkspire_edge=0123abcd", true},
      {"GET / HTTP/1.1\r\nCookie: larkspire_edge=1", false},
      {"GET / HTTP/1.1\r\nCookie: larkspire_edge=0123abc", false},
      {"GET / HTTP/1.1\r\nCookie: larkspire_edge=0123abcde", false},
      {"GET / HTTP/1.1\r\nCookie: larkspire_edge=", false},
      {"GET / HTTP/1.1\r\nCookie: xlarkspire_edge=0123abcd", false},
      {"GET / HTTP/1.1\r\nCookie: other=larkspire_edge=0123abcd", false},
      {"GET / HTTP/1.1\r\nX-Cookie: larkspire_edge=0123abcd", false},
      {"GET /?Cookie: larkspire_edge=0123abcd HTTP/1.1\r\nHost: x", false},
      {"GET / HTTP/1.1\r\nReferer: x\r\n Cookie: larkspire_edge=0123abcd", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(HasCookie(c.head, "larkspire_edge", token), c.accepted);
  }
}

TEST(HttpRequestTest, LogByteCountReadsTheFirstBytesParameter) {
  struct Case {
    const char* target;
    size_t count;
  } cases[] = {
      {"/api/logs", 32768},         {"/api/logs?bytes=0", 0},
      {"/api/logs?bytes=abc", 32768}, {"/api/logs?bytes=300000", 262144},
      {"/api/logs?x=1&bytes=100&bytes=5", 100}, {"/api/logs?bytes", 32768},
      {"/api/logs?bytes=12abc", 12},  {"/api/logs?xbytes=5", 32768},
      {"/api/logs?bytes=-1", 262144}, {"/api/logs?bytes=99999999999999999999999", 262144},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(LogByteCount(c.target), c.count);
  }
}

TEST(HttpRequestTest, ResponseStatusLineSaysOkForEveryCode) {
  EXPECT_EQ(FormatHttpResponse(404, "application/json; charset=utf-8", "{}", ""),
            "HTTP/1.1 404 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 2\r\nConnection: close\r\n\r\n{}");
  EXPECT_EQ(FormatHttpResponse(200, "text/plain", "", "Set-Cookie: a=b\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
            "Connection: close\r\nSet-Cookie: a=b\r\n\r\n");
}

TEST(SessionTokenTest, IsLongRandomHexAndStableWithinTheProcess) {
  const std::string& token = SessionToken();
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(&SessionToken(), &token);
  EXPECT_NE(token, std::string(64, '0'));
}

TEST(SessionTokenTest, ConstantTimeEqualsComparesWholeStrings) {
  EXPECT_TRUE(ConstantTimeEquals("", ""));
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("abc", "abd"));
  EXPECT_FALSE(ConstantTimeEquals("abc", "ab"));
  EXPECT_FALSE(ConstantTimeEquals("ab", "abc"));
  EXPECT_FALSE(ConstantTimeEquals(std::string("a\0b", 3), "a"));
}

}  // namespace
}  // namespace larkspire
