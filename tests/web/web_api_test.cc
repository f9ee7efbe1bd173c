// The JSON endpoints over real loopback sockets.

#include <gtest/gtest.h>

#include "config/state_file.h"
#include "util/file.h"
#include "util/json.h"
#include "util/run_flag.h"
#include "web/raw_http.h"

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

TEST_F(WebApiTest, PasswordChangeChecksTheOldPasswordFirstAndWantsEightCharacters) {
  const std::string before = ReadFile(configPath);
  const std::string wrongOld = R"({"success":false,"message":"旧密码不正确"})";
  const std::string tooShort = R"({"success":false,"message":"新密码至少 8 位"})";
  struct Case {
    const char* body;
    int status;
    std::string reply;
  } refused[] = {
      {R"({"oldPassword":"wrong","newPassword":"longenough"})", 403, wrongOld},
      {R"({"oldPassword":"wrong","newPassword":"x"})", 403, wrongOld},
      {R"({"oldPassword":"fixture-pass","newPassword":"seven77"})", 400, tooShort},
      {R"({"oldPassword":"fixture-pass","newPassword":"密码密码密码密"})", 400, tooShort},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.body);
    Reply reply = SplitReply(Send(Post("/api/password", c.body, cookie)));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 " + std::to_string(c.status) + " OK");
    EXPECT_EQ(reply.body, c.reply);
    EXPECT_EQ(ReadFile(configPath), before);
  }
  EXPECT_EQ(
      Status(Post("/api/password",
                  R"({"oldPassword":"fixture-pass","newPassword":"密码密码密码密码"})", cookie)),
      200);
  EXPECT_EQ(LoadSettings(configPath).webPassword, "密码密码密码密码");
  const Reply old =
      SplitReply(Send(Post("/api/login", R"({"username":"admin","password":"fixture-pass"})")));
  EXPECT_EQ(old.body, R"({"success":false,"message":"账号或密码错误"})");
  EXPECT_EQ(old.headers.find("Set-Cookie"), std::string::npos);
}

TEST_F(WebApiTest, StatusDocumentIsExactWithStatePresentAbsentAndInvalid) {
  std::string prefix =
      R"({"success":true,"data":{"settings":{"serverUrl":"http://hub.example.test:31080",)"
      R"("deviceNumber":"D-100","deviceSecret":"s3cret","deviceName":"Lab Edge",)"
      R"("networkInterfaceName":"eth0","sharedNetworks":["192.168.1.0/24"],)"
      R"("additionalSharedNetworks":["172.16.0.0/16"],"hubCaFile":"","hubCertSha256":""},)"
      R"("interfaces":[{"name":"eth0","cidr":"192.168.1.0/24"},{"name":"eth1",)"
      R"("cidr":"10.0.4.0/24"}],"state":)";
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
  auto tail = [&](const std::string& logs) {
    return R"({"success":true,"path":)" + JsonString(logPath) + R"(,"logs":)" + JsonString(logs) +
           "}";
  };
  EXPECT_EQ(Body(Get("/api/logs?bytes=0", cookie)), tail(""));
  EXPECT_EQ(Body(Get("/api/logs", cookie)), tail(text.substr(text.size() - 32768)));
  EXPECT_EQ(Body(Get("/api/logs?bytes=300000", cookie)), tail(text.substr(text.size() - 262144)));
  WriteFileAtomic(logPath, "short\n", 0644);
  EXPECT_EQ(Body(Get("/api/logs", cookie)), tail("short\n"));
  std::filesystem::remove(logPath);
  EXPECT_EQ(Body(Get("/api/logs", cookie)), tail(""));
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

TEST_F(WebApiTest, SimultaneousSavesDoNotUndoEachOther) {
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      const std::string n = std::to_string(i);
      Send(i % 2 == 0 ? Post("/api/config", R"({"deviceName":"Name )" + n + "\"}", cookie)
                      : Post("/api/password",
                             R"({"oldPassword":"fixture-pass","newPassword":"password)" + n + "\"}",
                             cookie));
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  // Exactly one password change can succeed, and no name save may roll it back.
  Settings saved = LoadSettings(configPath);
  EXPECT_NE(saved.webPassword, kPassword);
  EXPECT_EQ(saved.deviceName.rfind("Name ", 0), 0u);
}

TEST_F(WebApiTest, ConnectivityTestPingsOnlySafeTargets) {
  for (const char* ip : {"10.0.0.1;reboot", "10.0.0.1 -c 100", " ", "", "-f", "$(id)"}) {
    SCOPED_TRACE(ip);
    EXPECT_EQ(Body(Post("/api/test", "{\"ip\":" + JsonString(ip) + "}", cookie)),
              R"({"success":false,"message":"invalid ip"})");
  }
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
