// The server core over real loopback sockets: who may ask what, the replies' headers,
// request reading and its limits, the connection limits and the life cycle.

#include "web/web_server.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <map>

#include "util/file.h"
#include "web/http_request.h"
#include "web/raw_http.h"

namespace larkspire {
namespace {

using namespace webtest;
using namespace std::chrono_literals;

class WebServerTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override { StartServer(); }
};

// The Host is checked first, then where a POST comes from, then the login.
TEST_F(WebServerTest, RoutingChecksHostThenOriginThenLogin) {
  const std::string cookie = Login();
  const std::string own = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::string json = "Content-Type: application/json\r\nContent-Length: 2\r\n";
  struct Case {
    std::string head;  // request line and headers; the cookie line and "{}" are added
    int withoutCookie;
    int withCookie;
  } cases[] = {
      {"GET / HTTP/1.1\r\n" + own, 200, 200},
      {"GET /?x=1 HTTP/1.1\r\n" + own, 200, 200},
      {"GET /app.js HTTP/1.1\r\n" + own, 200, 200},
      {"GET /metrics HTTP/1.1\r\n" + own, 200, 200},
      {"GET /index.html HTTP/1.1\r\n" + own, 401, 404},
      {"HEAD / HTTP/1.1\r\n" + own, 401, 404},
      {"get / HTTP/1.1\r\n" + own, 401, 404},
      {"GET /api/restart HTTP/1.1\r\n" + own, 401, 404},
      {"GET /api/status?x=1 HTTP/1.1\r\n" + own, 401, 200},
      {"POST /api/test HTTP/1.1\r\n" + own + json, 401, 400},
      {"GET / HTTP/1.1\r\nHost: rebound.example:" + std::to_string(port) + "\r\n", 421, 421},
      {"POST /api/login HTTP/1.1\r\nHost: evil.example\r\n" + json, 421, 421},
      {"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:1\r\n", 421, 421},
      {"GET /metrics HTTP/1.0\r\n", 421, 421},
      {"POST /api/test HTTP/1.1\r\n" + own + "Content-Type: text/plain\r\n", 403, 403},
      {"POST /api/login HTTP/1.1\r\n" + own + "Origin: http://evil.example\r\n" + json, 403, 403},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(Status(c.head + "\r\n{}"), c.withoutCookie);
    EXPECT_EQ(Status(c.head + "Cookie: " + cookie + "\r\n\r\n{}"), c.withCookie);
  }
  EXPECT_NE(SplitReply(Send(Get("/"))).body.find("<title>LarkSpire Edge</title>"),
            std::string::npos);
  EXPECT_NE(SplitReply(Send(Get("/", cookie))).body.find("<title>LarkSpire Edge 管理</title>"),
            std::string::npos);
}

// Every reply keeps the page out of other sites' frames and scripts, and out of caches.
TEST_F(WebServerTest, EveryReplyCarriesTheSecurityHeaders) {
  for (const std::string& request :
       {Get("/"), Get("/api/status"), std::string("GET / HTTP/1.1\r\nHost: evil\r\n\r\n")}) {
    SCOPED_TRACE(request);
    const std::string headers = SplitReply(Send(request)).headers;
    const size_t csp = headers.find("Content-Security-Policy: ");
    ASSERT_NE(csp, std::string::npos);
    const std::string policy = headers.substr(csp, headers.find("\r\n", csp) - csp);
    EXPECT_NE(policy.find("script-src 'self';"), std::string::npos);
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos);
    for (const char* line :
         {"X-Content-Type-Options: nosniff\r\n", "Referrer-Policy: no-referrer\r\n",
          "Cache-Control: no-store\r\n", "Connection: close\r\n"}) {
      EXPECT_NE(headers.find(line), std::string::npos) << line;
    }
  }
}

// Headers or an announced total beyond 1 MiB get the error reply at once, without waiting
// for the rest; exactly 1 MiB is still a request.
TEST_F(WebServerTest, RequestsBeyondOneMebibyteAreRefused) {
  const std::string cookie = Login();
  std::string filler = "X-Fill: " + std::string(kMaxRequestBytes - 100, 'a') + "\r\n";
  std::string tooLong = "GET / HTTP/1.1\r\n" + filler + std::string(200, 'c');
  EXPECT_EQ(SplitReply(Send(tooLong)).body, R"({"success":false,"message":"request too large"})");
  const Reply huge = SplitReply(Send("POST /api/config HTTP/1.1\r\n" + Headers(cookie) +
                                     "Content-Length: 104857600\r\n\r\n{\"deviceName\":\"x\"}"));
  EXPECT_EQ(huge.statusLine, "HTTP/1.1 500 OK");
  EXPECT_EQ(huge.body, R"({"success":false,"message":"request too large"})");
  EXPECT_EQ(LoadSettings(configPath).deviceName, initial.deviceName);

  std::string head = "POST /api/test HTTP/1.1\r\n" + Headers(cookie) +
                     "Content-Type: application/json\r\nContent-Length: ";
  std::string body = "{\"ip\":\"\"}";
  size_t bodySize =
      kMaxRequestBytes - (head + std::to_string(kMaxRequestBytes) + "\r\n\r\n").size();
  // The digits of the two lengths have the same count, so the request is exactly 1 MiB.
  std::string exact = head + std::to_string(bodySize) + "\r\n\r\n" + body +
                      std::string(bodySize - body.size(), ' ');
  ASSERT_EQ(exact.size(), kMaxRequestBytes);
  EXPECT_EQ(SplitReply(Send(exact)).body, R"({"success":false,"message":"invalid ip"})");
}

// A body in two packets is joined; one cut short, by the peer or by the deadline, and
// headers that never end are answered 400 and never reach a handler.
TEST(WebRequestTest, IncompleteRequestsAreRefusedWithoutReachingAHandler) {
  ServerFixture fixture;
  fixture.configure = [](WebConfigServer& server) { server.requestDeadline = 300ms; };
  fixture.StartServer();
  const std::string cookie = fixture.Login();
  const std::string body = R"({"deviceName":"Joined"})";
  const std::string head = "POST /api/config HTTP/1.1\r\n" + fixture.Headers(cookie) +
                           "Content-Type: application/json\r\nContent-Length: ";
  struct Case {
    std::string name;
    std::string first;
    std::string second;  // sent 50 ms later
    bool closeEarly;
    std::string reply;
  } cases[] = {
      {"joined", head + std::to_string(body.size()) + "\r\n\r\n{\"de", body.substr(4), false,
       R"({"success":true,"message":"saved"})"},
      {"peer closed", head + "500\r\n\r\n{\"deviceName\":\"Cut\"}", "", true,
       R"({"success":false,"message":"incomplete request"})"},
      {"deadline", head + "500\r\n\r\n{\"deviceName\":\"Late\"}", "", false,
       R"({"success":false,"message":"incomplete request"})"},
      {"headers never end", "GET / HTTP/1.1\r\nX-Slow: ", "x", false,
       R"({"success":false,"message":"incomplete request"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UniqueFd fd = Connect(fixture.port);
    SendText(fd.get(), c.first);
    std::this_thread::sleep_for(50ms);
    SendText(fd.get(), c.second);
    if (c.closeEarly) {
      ::shutdown(fd.get(), SHUT_WR);
    }
    EXPECT_EQ(SplitReply(ReadAll(fd.get())).body, c.reply);
    EXPECT_EQ(LoadSettings(fixture.configPath).deviceName, "Joined");
  }
}

// Idle clients hold no thread; beyond the limit the longest-waiting one makes room, so a
// normal request is always read.
TEST(WebConnectionsTest, IdleClientsCostNoThreadAndCannotLockOutARequest) {
  ServerFixture fixture;
  fixture.configure = [](WebConfigServer& server) { server.maxConnections = 50; };
  fixture.StartServer();
  // The handler pool starts with the first request; count the threads once it is running.
  EXPECT_EQ(SplitReply(fixture.Send(fixture.Get("/"))).statusLine, "HTTP/1.1 200 OK");
  const int threads = testing::RunningThreads();
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(Connect(fixture.port));
  }
  EXPECT_EQ(SplitReply(fixture.Send(fixture.Get("/"))).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(testing::RunningThreads(), threads);
  pollfd first{idle.front().get(), POLLIN, 0};
  EXPECT_EQ(::poll(&first, 1, 5000), 1);  // closed to make room
  EXPECT_EQ(ReadAll(idle.front().get()), "");
}

// Nine clients each sending most of a 1 MiB request: together they pass the 8 MiB that
// half-read requests may hold, and the one that does is turned away.
TEST(WebConnectionsTest, HalfReadRequestsShareABoundedBudget) {
  ServerFixture fixture;
  fixture.configure = [](WebConfigServer& server) { server.requestDeadline = 500ms; };
  fixture.StartServer();
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 9; ++i) {
    clients.push_back(Connect(fixture.port));
    SendText(clients.back().get(), "GET / HTTP/1.1\r\nX-Fill: " + std::string(1000000, 'a'));
  }
  std::map<std::string, int> replies;
  for (const UniqueFd& client : clients) {
    ++replies[SplitReply(ReadAll(client.get())).body];
  }
  EXPECT_EQ(replies[R"({"success":false,"message":"server busy"})"], 1);
  EXPECT_EQ(replies[R"({"success":false,"message":"incomplete request"})"], 8);
}

TEST(WebServerLifecycleTest, BindsLoopbackForANonIpv4AddressAndAPortInUseDisablesOnlyThePage) {
  ServerFixture first;
  first.StartServer("localhost");
  EXPECT_EQ(first.server->settings.webBindAddress, "127.0.0.1");
  std::string line =
      "INFO Web config page listening on http://127.0.0.1:" + std::to_string(first.port) + "\n";
  EXPECT_NE(ReadFile(TestLogPath()).find(line), std::string::npos);

  WebConfigServer second(first.configPath);
  second.settings.webPort = first.port;
  second.Start();
  std::string warning = "WARN Web config page disabled: web bind failed on port " +
                        std::to_string(first.port) + ": Address already in use\n";
  EXPECT_TRUE(WaitFor([&] { return ReadFile(TestLogPath()).find(warning) != std::string::npos; }));
  second.Stop();
  EXPECT_EQ(second.BoundPort(), 0);
  EXPECT_EQ(first.Status(first.Get("/")), 200);
}

TEST(WebServerLifecycleTest, StopReturnsPromptlyAndLeavesNoDescriptorsOrThreads) {
  TestLogPath();
  const int fdsBefore = testing::OpenDescriptors();
  const int threadsBefore = testing::RunningThreads();
  {
    ServerFixture fixture;
    fixture.StartServer();
    UniqueFd silent = Connect(fixture.port);
    fixture.Login();
    const auto start = std::chrono::steady_clock::now();
    fixture.server->Stop();
    fixture.server->Stop();  // a second Stop is harmless
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(ReadAll(silent.get()), "");
  }
  EXPECT_EQ(testing::OpenDescriptors(), fdsBefore);
  EXPECT_TRUE(WaitFor([&] { return testing::RunningThreads() == threadsBefore; }));
}

}  // namespace
}  // namespace larkspire
