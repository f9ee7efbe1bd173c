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

TEST_F(WebServerTest, EveryStatusLineEndsInOk) {
  std::string cookie = Login();
  struct Case {
    std::string request;
    std::string statusLine;
  } cases[] = {
      {Get("/"), "HTTP/1.1 200 OK"},
      {Get("/api/status"), "HTTP/1.1 401 OK"},
      {Get("/nowhere", cookie), "HTTP/1.1 404 OK"},
      {Post("/api/login", R"({"username":"admin","password":"wrong"})"), "HTTP/1.1 403 OK"},
      {Post("/api/password", R"({"oldPassword":"admin","newPassword":"x"})", cookie),
       "HTTP/1.1 400 OK"},
      {"GET / HTTP/1.1\r\n" + std::string(kMaxRequestBytes, 'x'), "HTTP/1.1 500 OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statusLine);
    std::string raw = Send(c.request);
    EXPECT_EQ(raw.substr(0, raw.find("\r\n") + 2), c.statusLine + "\r\n");
  }
}

TEST_F(WebServerTest, RepliesCarryLengthAndCloseHeaders) {
  std::string raw = Send(Get("/api/status"));
  EXPECT_EQ(raw,
            "HTTP/1.1 401 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 42\r\nConnection: close\r\n\r\n"
            R"({"success":false,"message":"unauthorized"})");
}

TEST_F(WebServerTest, RoutingChecksLoginBeforeLookingUpThePath) {
  std::string cookie = Login();
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
}

TEST_F(WebServerTest, PageDependsOnTheLoginCookie) {
  Reply login = SplitReply(Send(Get("/")));
  Reply app = SplitReply(Send(Get("/", Login())));
  EXPECT_NE(login.headers.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(login.body.find("<title>LarkSpire Edge</title>"), std::string::npos);
  EXPECT_NE(app.body.find("<title>LarkSpire Edge 管理</title>"), std::string::npos);
}

TEST_F(WebServerTest, HeadersBeyondOneMebibyteAreRefused) {
  // Just under the limit with its blank line is still a request; just over it is not.
  std::string filler = "X-Fill: " + std::string(kMaxRequestBytes - 100, 'a') + "\r\n";
  std::string fits = "GET /api/status HTTP/1.1\r\n" + filler;
  fits += std::string(kMaxRequestBytes - fits.size() - 4, 'b') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), kMaxRequestBytes);
  EXPECT_EQ(SplitReply(Send(fits)).body, R"({"success":false,"message":"unauthorized"})");

  std::string tooLong = "GET / HTTP/1.1\r\n" + filler + std::string(200, 'c');
  EXPECT_EQ(SplitReply(Send(tooLong)).body, R"({"success":false,"message":"request too large"})");
}

TEST_F(WebServerTest, ShortBodyIsWaitedForThenHandledAsItArrived) {
  std::string cookie = Login();
  std::string body = R"({"deviceName":"Partial"})";
  std::string request =
      "POST /api/config HTTP/1.1\r\nCookie: " + cookie + "\r\nContent-Length: 500\r\n\r\n" + body;
  // The socket stays open: the server runs the handler when its receive time-out ends.
  Reply reply = SplitReply(Send(request));
  EXPECT_EQ(reply.body, R"({"success":true,"message":"saved"})");
  EXPECT_EQ(LoadSettings(configPath).deviceName, "Partial");
}

TEST_F(WebServerTest, BodyWithoutUsableLengthIsStillPassedOn) {
  std::string cookie = Login();
  for (const char* lengthHeader : {"", "Content-Length: abc\r\n"}) {
    SCOPED_TRACE(lengthHeader);
    std::string request = std::string("POST /api/test HTTP/1.1\r\nCookie: ") + cookie + "\r\n" +
                          lengthHeader + "\r\n" + R"({"ip":"10.0.0.1;reboot"})";
    EXPECT_EQ(SplitReply(Send(request)).body, R"({"success":false,"message":"invalid ip"})");
  }
}

TEST_F(WebServerTest, BodySplitAcrossPacketsIsJoined) {
  std::string cookie = Login();
  std::string body = R"({"deviceName":"Joined"})";
  UniqueFd fd = Connect(port);
  SendText(fd.get(), "POST /api/config HTTP/1.1\r\nCookie: " + cookie + "\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SendText(fd.get(), body.substr(5));
  EXPECT_EQ(SplitReply(ReadAll(fd.get())).body, R"({"success":true,"message":"saved"})");
  EXPECT_EQ(LoadSettings(configPath).deviceName, "Joined");
}

TEST_F(WebServerTest, EmptyRequestFromAClosedPeerIsAnsweredAndTheServerGoesOn) {
  {
    UniqueFd fd = Connect(port);
    ::shutdown(fd.get(), SHUT_WR);
    EXPECT_EQ(SplitReply(ReadAll(fd.get())).statusLine, "HTTP/1.1 401 OK");
  }
  EXPECT_EQ(SplitReply(Send(Get("/"))).statusLine, "HTTP/1.1 200 OK");
}

TEST(WebServerLifecycleTest, NonIpv4BindAddressFallsBackToLoopback) {
  ServerFixture fixture;
  fixture.StartServer("localhost");
  EXPECT_EQ(fixture.server->settings.webBindAddress, "127.0.0.1");
  EXPECT_EQ(SplitReply(fixture.Send(Get("/"))).statusLine, "HTTP/1.1 200 OK");
  std::string line =
      "INFO Web config page listening on http://127.0.0.1:" + std::to_string(fixture.port) + "\n";
  EXPECT_NE(ReadFile(TestLogPath()).find(line), std::string::npos);
}

TEST(WebServerLifecycleTest, PortInUseDisablesOnlyThePage) {
  ServerFixture first;
  first.StartServer();
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
