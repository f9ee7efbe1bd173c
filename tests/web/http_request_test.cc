#include "web/http_request.h"

#include <gtest/gtest.h>

#include "web/session_token.h"

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
      {"GET / HTTP/1.1\r\nCookie: LARKSPIRE_EDGE=0123abcd", false},
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

// The common counts are checked over the wire; these are the odd spellings.
TEST(HttpRequestTest, LogByteCountToleratesOddParameters) {
  struct Case {
    const char* target;
    size_t count;
  } cases[] = {
      {"/api/logs?bytes", 32768},
      {"/api/logs?bytes=12abc", 12},
      {"/api/logs?xbytes=5", 32768},
      {"/api/logs?bytes=-1", 262144},
      {"/api/logs?bytes=99999999999999999999999", 262144},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(LogByteCount(c.target), c.count);
  }
}

TEST(SessionTokenTest, IsLongRandomHexComparedInFull) {
  const std::string& token = SessionToken();
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(token, std::string(64, '0'));
  EXPECT_TRUE(ConstantTimeEquals("", ""));
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("abc", "abd"));
  EXPECT_FALSE(ConstantTimeEquals("abc", "ab"));
  EXPECT_FALSE(ConstantTimeEquals("ab", "abc"));
  EXPECT_FALSE(ConstantTimeEquals(std::string("a\0b", 3), "a"));
}

}  // namespace
}  // namespace larkspire
