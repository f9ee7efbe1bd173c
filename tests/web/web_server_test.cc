// The server core over real loopback sockets: replies, routing, request reading and limits,
// the listening address and the life cycle.

#include "web/web_server.h"

#include <gtest/gtest.h>

#include "web/http_request.h"
#include "web/raw_http.h"

namespace larkspire {
namespace {

using namespace webtest;

class WebServerTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override { StartServer(); }
};

// Replies are complete and closed; only the page, the login and the metrics are open.
TEST_F(WebServerTest, RoutingChecksLoginBeforeLookingUpThePath) {
  EXPECT_EQ(Send(Get("/api/status")),
            "HTTP/1.1 401 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 42\r\nConnection: close\r\n\r\n"
            R"({"success":false,"message":"unauthorized"})");
  const std::string cookie = Login();
  struct Case {
    std::string method;
    std::string target;
    std::string withoutCookie;
    std::string withCookie;
  } cases[] = {
      {"GET", "/", "200", "200"},
      {"GET", "/?x=1", "200", "200"},
      {"GET", "/index.html", "401", "404"},
      {"HEAD", "/", "401", "404"},
      {"get", "/", "401", "404"},
      {"POST", "/", "401", "404"},
      {"GET", "/api/restart", "401", "404"},
      {"GET", "/API/STATUS", "401", "404"},
      {"GET", "/api/status?x=1", "401", "200"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target);
    std::string request = c.method + " " + c.target + " HTTP/1.1\r\nHost: x\r\n";
    EXPECT_EQ(SplitReply(Send(request + "\r\n")).statusLine, "HTTP/1.1 " + c.withoutCookie + " OK");
    EXPECT_EQ(SplitReply(Send(request + "Cookie: " + cookie + "\r\n\r\n")).statusLine,
              "HTTP/1.1 " + c.withCookie + " OK");
  }
  // The page at / is the login page or, with the cookie, the management page.
  const Reply login = SplitReply(Send(Get("/")));
  EXPECT_NE(login.headers.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(login.body.find("<title>LarkSpire Edge</title>"), std::string::npos);
  EXPECT_NE(SplitReply(Send(Get("/", cookie))).body.find("<title>LarkSpire Edge 管理</title>"),
            std::string::npos);
}

// Headers or an announced total beyond 1 MiB get the error reply at once, without waiting
// for the rest; exactly 1 MiB is still a request.
TEST_F(WebServerTest, RequestsBeyondOneMebibyteAreRefused) {
  const std::string cookie = Login();
  std::string filler = "X-Fill: " + std::string(kMaxRequestBytes - 100, 'a') + "\r\n";
  std::string fits = "GET /api/status HTTP/1.1\r\n" + filler;
  fits += std::string(kMaxRequestBytes - fits.size() - 4, 'b') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), kMaxRequestBytes);
  EXPECT_EQ(SplitReply(Send(fits)).body, R"({"success":false,"message":"unauthorized"})");
  std::string tooLong = "GET / HTTP/1.1\r\n" + filler + std::string(200, 'c');
  EXPECT_EQ(SplitReply(Send(tooLong)).body, R"({"success":false,"message":"request too large"})");

  const Reply huge =
      SplitReply(Send("POST /api/config HTTP/1.1\r\nCookie: " + cookie +
                      "\r\nContent-Length: 104857600\r\n\r\n{\"deviceName\":\"x\"}"));
  EXPECT_EQ(huge.statusLine, "HTTP/1.1 500 OK");
  EXPECT_EQ(huge.body, R"({"success":false,"message":"request too large"})");
  EXPECT_EQ(LoadSettings(configPath).deviceName, initial.deviceName);

  std::string head = "POST /api/test HTTP/1.1\r\nCookie: " + cookie + "\r\nContent-Length: ";
  std::string body = "{\"ip\":\"\"}";
  size_t bodySize =
      kMaxRequestBytes - (head + std::to_string(kMaxRequestBytes) + "\r\n\r\n").size();
  // The digits of the two lengths have the same count, so the request is exactly 1 MiB.
  std::string exact = head + std::to_string(bodySize) + "\r\n\r\n" + body +
                      std::string(bodySize - body.size(), ' ');
  ASSERT_EQ(exact.size(), kMaxRequestBytes);
  EXPECT_EQ(SplitReply(Send(exact)).body, R"({"success":false,"message":"invalid ip"})");
}

// A body in two packets is joined; one shorter than announced is handled when the receive
// time-out ends; one without a usable length is what came with the headers.
TEST_F(WebServerTest, BodyIsReadAsAnnouncedOrAsItArrived) {
  const std::string cookie = Login();
  const auto body = [](const std::string& name) { return R"({"deviceName":")" + name + "\"}"; };
  struct Case {
    std::string name;
    std::string lengthHeader;
    size_t firstPart;  // bytes of the body sent with the headers
  } cases[] = {
      {"Joined", "Content-Length: " + std::to_string(body("Joined").size()) + "\r\n", 5},
      {"Partial", "Content-Length: 500\r\n", std::string::npos},
      {"Unannounced", "", std::string::npos},
      {"Unreadable", "Content-Length: abc\r\n", std::string::npos},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = body(c.name);
    UniqueFd fd = Connect(port);
    SendText(fd.get(), "POST /api/config HTTP/1.1\r\nCookie: " + cookie + "\r\n" + c.lengthHeader +
                           "\r\n" + text.substr(0, c.firstPart));
    if (c.firstPart < text.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      SendText(fd.get(), text.substr(c.firstPart));
    }
    EXPECT_EQ(SplitReply(ReadAll(fd.get())).body, R"({"success":true,"message":"saved"})");
    EXPECT_EQ(LoadSettings(configPath).deviceName, c.name);
  }
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
  EXPECT_EQ(SplitReply(first.Send(Get("/"))).statusLine, "HTTP/1.1 200 OK");
}

TEST(WebServerLifecycleTest, StopReturnsPromptlyAndLeavesNoDescriptorsOrThreads) {
  TestLogPath();
  int fdsBefore = CountEntries("/proc/self/fd");
  int threadsBefore = CountEntries("/proc/self/task");
  {
    ServerFixture fixture;
    fixture.StartServer();
    // A silent client holds a connection thread; Stop must not wait out its time-out.
    UniqueFd silent = Connect(fixture.port);
    ASSERT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") >= threadsBefore + 2; }));
    fixture.server->Stop();
    fixture.server->Stop();  // a second Stop is harmless
    EXPECT_EQ(SplitReply(ReadAll(silent.get())).statusLine, "HTTP/1.1 401 OK");
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
  EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") == threadsBefore; }));
}

}  // namespace
}  // namespace larkspire
