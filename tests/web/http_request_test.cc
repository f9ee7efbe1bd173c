#include "web/http_request.h"

#include <gtest/gtest.h>

#include "support/stdout_capture.h"
#include "web/login_throttle.h"
#include "web/request_guard.h"
#include "web/session_store.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

TEST(HttpRequestTest, HeadersComeFromTheirOwnLinesOnly) {
  const std::pair<const char*, long long> lengths[] = {
      {"POST / HTTP/1.1\r\ncontent-length:   42  ", 42},
      {"POST / HTTP/1.1\r\nX-Content-Length: 7\r\nContent-Length: 9\r\nContent-Length: 5", 9},
      {"POST /Content-Length:5 HTTP/1.1\r\nContent-Length: abc", 0},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999", 9223372036854775807LL},
  };
  for (const auto& [head, length] : lengths) {
    EXPECT_EQ(AnnouncedContentLength(head), length) << head;
  }
  using Values = std::vector<std::string>;
  const std::pair<const char*, Values> cookies[] = {
      {"GET / HTTP/1.1\r\ncookie:theme=dark;  larkspire_edge=ab ; lang=en", {"ab"}},
      {"GET / HTTP/1.1\r\nCookie: larkspire_edge=1\r\nCookie: larkspire_edge=2", {"1", "2"}},
      {"GET / HTTP/1.1\r\nCookie: xlarkspire_edge=1; other=larkspire_edge=2", {}},
      {"GET /?Cookie: larkspire_edge=1 HTTP/1.1\r\nX-Cookie: larkspire_edge=1", {}},
  };
  for (const auto& [head, values] : cookies) {
    EXPECT_EQ(CookieValues(head, "larkspire_edge"), values) << head;
  }
  const std::pair<const char*, size_t> logBytes[] = {
      {"/api/logs?bytes", 32768},
      {"/api/logs?x=1&bytes=12abc&bytes=5", 12},
      {"/api/logs?bytes=-1", 262144},
      {"/api/logs?bytes=262145", 262144},
  };
  for (const auto& [target, count] : logBytes) {
    EXPECT_EQ(LogByteCount(target), count) << target;
  }
  // Every reply keeps the page out of other sites' frames and scripts, and out of caches.
  const std::string reply = FormatHttpResponse(JsonReply(421, "{}", "X-Extra: 1\r\n"));
  EXPECT_EQ(reply.rfind("HTTP/1.1 421 OK\r\n", 0), 0u);
  for (const char* line :
       {"script-src 'self';", "frame-ancestors 'none'\r\n", "X-Content-Type-Options: nosniff\r\n",
        "Referrer-Policy: no-referrer\r\n", "Cache-Control: no-store\r\n",
        "X-Frame-Options: DENY\r\n", "Content-Length: 2\r\nConnection", "X-Extra: 1\r\n\r\n{}"}) {
    EXPECT_NE(reply.find(line), std::string::npos) << line;
  }
}

// A rebound name, another port, a second Host or a user part is not the page's address.
TEST(RequestGuardTest, OnlyOwnAuthoritiesPassTheHostCheck) {
  const std::vector<std::string> allowed =
      AllowedAuthorities("0.0.0.0", 18080, {"192.168.50.1"}, {"Edge.Example", "proxy.lan:443"});
  for (const char* host : {"127.0.0.1:18080", "LOCALHOST:18080", "[::1]:18080",
                           "192.168.50.1:18080", "edge.example:18080", "proxy.lan:443"}) {
    EXPECT_TRUE(HasAllowedHost(std::string("GET / HTTP/1.1\r\nHost: ") + host, allowed)) << host;
  }
  for (const char* hosts :
       {"Host: 0.0.0.0:18080", "Host: evil.example:18080", "Host: 127.0.0.1",
        "Host: 127.0.0.1:18081", "Host: proxy.lan:18080", "Host: x@127.0.0.1:18080",
        "Host: 127.0.0.1:18080/", "Host: [::1", "", "Host: 127.0.0.1:18080\r\nHost: evil"}) {
    EXPECT_FALSE(HasAllowedHost(std::string("GET / HTTP/1.1\r\n") + hosts, allowed)) << hosts;
  }
  EXPECT_FALSE(HasAllowedHost("GET / HTTP/1.1\r\nHost: 192.168.50.1:18080",
                              AllowedAuthorities("127.0.0.1", 18080, {"192.168.50.1"}, {})));
}

// A form or a script on another site cannot post JSON here: browsers send its Origin.
TEST(RequestGuardTest, PostsMustBeJsonFromThisOrigin) {
  const std::pair<std::string, bool> cases[] = {
      {"Content-Type: application/json", true},
      {"Content-Type: Application/JSON; charset=utf-8\r\nOrigin: http://LOCALHOST:8", true},
      {"Content-Type: text/plain", false},
      {"", false},
      {"Content-Type: application/json\r\nOrigin: http://evil.example", false},
      {"Content-Type: application/json\r\nOrigin: https://localhost:8", false},
      {"Content-Type: application/json\r\nOrigin: null", false},
      {"Content-Type: application/json\r\nOrigin: http://localhost:9", false},
  };
  for (const auto& [headers, accepted] : cases) {
    EXPECT_EQ(IsSameSiteJsonPost("POST / HTTP/1.1\r\nHost: localhost:8\r\n" + headers), accepted)
        << headers;
  }
}

TEST(SessionStoreTest, SessionsEndByIdleTimeAgeAndCrowding) {
  std::chrono::steady_clock::time_point now{};
  SessionStore store([&] { return now; });
  const std::string first = store.Create();
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(first.size(), 64u);
  EXPECT_FALSE(store.Touch(first.substr(0, 63)));
  // Used every 29 minutes it lives, but not for 12 hours; idle for 30 minutes it ends.
  for (auto used = 0min; used < 12h - 29min; used += 29min) {
    now += 29min;
    ASSERT_TRUE(store.Touch(first)) << used.count();
  }
  now += 29min;
  EXPECT_FALSE(store.Touch(first));
  const std::string idle = store.Create();
  now += 30min;
  EXPECT_FALSE(store.Touch(idle));
  std::vector<std::string> tokens;
  for (size_t i = 0; i <= SessionStore::kMaxSessions; ++i) {
    tokens.push_back(store.Create());
  }
  EXPECT_FALSE(store.Touch(tokens.front()));
  EXPECT_TRUE(store.Touch(tokens[1]));
}

// Each failure and each refused try counts once in the log, which has a line a minute at most.
TEST(LoginThrottleTest, WaitsDoubleAfterFiveFailuresUpToAMinute) {
  std::chrono::steady_clock::time_point now{};
  LoginThrottle throttle([&] { return now; });
  StdoutCapture console;
  auto lock = throttle.Lock();
  std::vector<int> waits;
  for (int failure = 1; failure <= 13; ++failure) {
    ASSERT_EQ(throttle.SecondsToWaitLocked("192.0.2.1"), 0) << failure;
    throttle.FailedLocked("192.0.2.1");
    waits.push_back(throttle.SecondsToWaitLocked("192.0.2.1"));
    now += std::chrono::seconds(waits.back());
  }
  EXPECT_EQ(waits, (std::vector<int>{0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 60, 60, 60}));
  EXPECT_EQ(throttle.SecondsToWaitLocked("192.0.2.2"), 0);  // others are not held up
  throttle.FailedLocked("192.0.2.1");
  now += 500ms;
  EXPECT_EQ(throttle.SecondsToWaitLocked("192.0.2.1"), 60);  // rounded up
  throttle.SucceededLocked("192.0.2.1");
  EXPECT_EQ(throttle.SecondsToWaitLocked("192.0.2.1"), 0);
  const std::string log = console.Stop();
  EXPECT_NE(log.find("WARN Web login failed from 192.0.2.1 (1 attempt since"), std::string::npos);
  EXPECT_NE(log.find("WARN Web login failed from 192.0.2.1 (16 attempts since"), std::string::npos);
}

}  // namespace
}  // namespace larkspire
