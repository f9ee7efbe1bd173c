// The JSON endpoints over real loopback sockets.

#include <gtest/gtest.h>

#include "config/state_file.h"
#include "util/json.h"
#include "util/run_flag.h"
#include "web/raw_http.h"
#include "web/session_token.h"

namespace larkspire {
namespace {

using namespace webtest;

class WebApiTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override {
    StartServer();
    cookie = Login();
  }

  std::string Body(const std::string& request) const { return SplitReply(Send(request)).body; }

  std::string cookie;
};

TEST_F(WebApiTest, LoginSetsTheSessionCookieOnlyForTheRightPassword) {
  Reply ok = SplitReply(Send(Post("/api/login", R"({"username":"admin","password":"admin"})")));
  EXPECT_EQ(ok.body, R"({"success":true})");
  EXPECT_NE(ok.headers.find("\r\nSet-Cookie: larkspire_edge=" + SessionToken() +
                            "; Path=/; HttpOnly; SameSite=Lax\r\n"),
            std::string::npos);

  for (const char* body :
       {R"({"username":"admin","password":"Admin"})", R"({"username":"root","password":"admin"})",
        R"({"username":"admin"})", ""}) {
    SCOPED_TRACE(body);
    Reply refused = SplitReply(Send(Post("/api/login", body)));
    EXPECT_EQ(refused.statusLine, "HTTP/1.1 403 OK");
    EXPECT_EQ(refused.body, R"({"success":false,"message":"账号或密码错误"})");
    EXPECT_EQ(refused.headers.find("Set-Cookie"), std::string::npos);
  }
}

TEST_F(WebApiTest, StatusDocumentIsExactWithStatePresentAbsentAndInvalid) {
  std::string prefix =
      R"({"success":true,"data":{"settings":{"serverUrl":"http://hub.example.test:31080",)"
      R"("deviceNumber":"D-100","deviceSecret":"s3cret","deviceName":"Lab Edge",)"
      R"("networkInterfaceName":"eth0","sharedNetworks":["192.168.1.0/24"],)"
      R"("additionalSharedNetworks":["172.16.0.0/16"]},"interfaces":[{"name":"eth0",)"
      R"("cidr":"192.168.1.0/24"},{"name":"eth1","cidr":"10.0.4.0/24"}],"state":)";
  EXPECT_EQ(Body(Get("/api/status", cookie)), prefix + "{}}}");
  std::string state = FormatState("heartbeat \"ok\"", true, 1700000000);
  WriteFileAtomic(statePath, state, 0644);
  EXPECT_EQ(Body(Get("/api/status", cookie)), prefix + state + "}}");
  WriteFileAtomic(statePath, "{not json", 0644);
  EXPECT_EQ(Body(Get("/api/status", cookie)), prefix + "{not json}}");

  std::filesystem::remove(configPath);
  Reply gone = SplitReply(Send(Get("/api/status", cookie)));
  EXPECT_EQ(gone.statusLine, "HTTP/1.1 500 OK");
  EXPECT_EQ(gone.body, R"({"success":false,"message":"Config file was not found or is empty: )" +
                           configPath + "\"}");
}

TEST_F(WebApiTest, LogTailHonoursTheByteCount) {
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  WriteFileAtomic(logPath, text, 0644);
  auto tail = [&](size_t count) {
    return R"({"success":true,"path":)" + JsonString(logPath) + R"(,"logs":)" +
           JsonString(text.substr(text.size() - count)) + "}";
  };
  EXPECT_EQ(Body(Get("/api/logs?bytes=0", cookie)), tail(0));
  EXPECT_EQ(Body(Get("/api/logs?bytes=abc", cookie)), tail(32768));
  EXPECT_EQ(Body(Get("/api/logs", cookie)), tail(32768));
  EXPECT_EQ(Body(Get("/api/logs?bytes=300000", cookie)), tail(262144));
  EXPECT_EQ(Body(Get("/api/logs?x=1&bytes=100&bytes=5", cookie)), tail(100));

  WriteFileAtomic(logPath, "short\n", 0644);
  EXPECT_EQ(Body(Get("/api/logs", cookie)),
            R"({"success":true,"path":)" + JsonString(logPath) + R"(,"logs":"short\n"})");
  std::filesystem::remove(logPath);
  EXPECT_EQ(Body(Get("/api/logs", cookie)),
            R"({"success":true,"path":)" + JsonString(logPath) + R"(,"logs":""})");
}

TEST_F(WebApiTest, ConfigSaveKeepsAbsentKeysAndReplacesTheList) {
  EXPECT_EQ(Body(Post("/api/config", R"({"deviceName":"New Name"})", cookie)),
            R"({"success":true,"message":"saved"})");
  Settings saved = LoadSettings(configPath);
  EXPECT_EQ(saved.deviceName, "New Name");
  EXPECT_EQ(saved.serverUrl, initial.serverUrl);
  EXPECT_EQ(saved.networkInterfaceName, "eth0");
  EXPECT_TRUE(saved.additionalSharedNetworks.empty());
  EXPECT_EQ(saved.sharedNetworks, initial.sharedNetworks);
  EXPECT_EQ(saved.deviceSecret, initial.deviceSecret);

  Body(Post("/api/config",
            R"({"serverUrl":"http://10.1.2.3:31080","deviceName":null,)"
            R"("networkInterfaceName":"eth1","additionalSharedNetworks":["10.9.0.0/16",5,"x y"]})",
            cookie));
  saved = LoadSettings(configPath);
  EXPECT_EQ(saved.serverUrl, "http://10.1.2.3:31080");
  EXPECT_EQ(saved.deviceName, "");
  EXPECT_EQ(saved.networkInterfaceName, "eth1");
  EXPECT_EQ(saved.additionalSharedNetworks, (std::vector<std::string>{"10.9.0.0/16", "x y"}));
  EXPECT_NE(ReadFile(TestLogPath())
                .find("INFO Config updated from web page. deviceName=, networkInterfaceName=eth1, "
                      "additionalSharedNetworks=10.9.0.0/16, x y\n"),
            std::string::npos);
}

TEST_F(WebApiTest, PasswordChangeChecksTheOldPasswordFirst) {
  std::string before = ReadFile(configPath);
  const std::string wrongOld = R"({"success":false,"message":"旧密码不正确"})";
  struct Case {
    const char* body;
    std::string statusLine, reply;
  } refused[] = {
      {R"({"oldPassword":"wrong","newPassword":"longenough"})", "HTTP/1.1 403 OK", wrongOld},
      {R"({"oldPassword":"wrong","newPassword":"x"})", "HTTP/1.1 403 OK", wrongOld},
      {R"({"oldPassword":"admin","newPassword":"abc"})", "HTTP/1.1 400 OK",
       R"({"success":false,"message":"新密码至少 4 位"})"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.body);
    Reply reply = SplitReply(Send(Post("/api/password", c.body, cookie)));
    EXPECT_EQ(reply.statusLine, c.statusLine);
    EXPECT_EQ(reply.body, c.reply);
    EXPECT_EQ(ReadFile(configPath), before);
  }

  // Two Chinese characters are six bytes, enough for the four-byte minimum.
  EXPECT_EQ(Body(Post("/api/password", R"({"oldPassword":"admin","newPassword":"密码"})", cookie)),
            R"({"success":true,"message":"password changed"})");
  EXPECT_EQ(LoadSettings(configPath).webPassword, "密码");
  EXPECT_EQ(
      SplitReply(Send(Post("/api/login", R"({"username":"admin","password":"admin"})"))).statusLine,
      "HTTP/1.1 403 OK");
  EXPECT_EQ(
      SplitReply(Send(Post("/api/login", R"({"username":"admin","password":"密码"})"))).statusLine,
      "HTTP/1.1 200 OK");
}

TEST_F(WebApiTest, SimultaneousSavesDoNotUndoEachOther) {
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      if (i % 2 == 0) {
        Send(Post("/api/config", R"({"deviceName":"Name )" + std::to_string(i) + "\"}", cookie));
      } else {
        Send(Post("/api/password",
                  R"({"oldPassword":"admin","newPassword":"admin)" + std::to_string(i) + "\"}",
                  cookie));
      }
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  // Exactly one password change can succeed, and no name save may roll it back.
  Settings saved = LoadSettings(configPath);
  EXPECT_NE(saved.webPassword, "admin");
  EXPECT_EQ(saved.deviceName.rfind("Name ", 0), 0u);
}

TEST_F(WebApiTest, ConnectivityTestPingsOnlySafeTargets) {
  for (const char* ip : {"10.0.0.1;reboot", "10.0.0.1 -c 100", " ", "", "-f", "--help", "$(id)"}) {
    SCOPED_TRACE(ip);
    Reply reply = SplitReply(Send(Post("/api/test", "{\"ip\":" + JsonString(ip) + "}", cookie)));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 400 OK");
    EXPECT_EQ(reply.body, R"({"success":false,"message":"invalid ip"})");
  }
  EXPECT_EQ(Body(Post("/api/test", "{}", cookie)), R"({"success":false,"message":"invalid ip"})");

  std::string body = Body(Post("/api/test", R"({"ip":"127.0.0.1"})", cookie));
  ASSERT_EQ(body.rfind(R"({"success":true,"output":")", 0), 0u) << body;
  std::string output = JsonStringValue(body, "output", "");
  // Either ping ran (exit=0) or the shell could not find it (127 << 8); both end the same way.
  EXPECT_TRUE(output.ends_with("\nexit=0") || output.ends_with("\nexit=32512")) << output;
}

TEST_F(WebApiTest, RestartRepliesThenClearsTheRunFlag) {
  ASSERT_TRUE(g_running.load());
  EXPECT_EQ(Body(Post("/api/restart", "ignored", cookie)),
            R"({"success":true,"message":"restarting"})");
  EXPECT_TRUE(WaitFor([] { return !g_running.load(); }));
  EXPECT_NE(ReadFile(TestLogPath()).find("INFO Restart requested from web config page.\n"),
            std::string::npos);
  g_running.store(true);  // other tests in this process still need it
}

}  // namespace
}  // namespace larkspire
