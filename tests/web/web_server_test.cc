#include "web/web_server.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <map>
#include <thread>

#include "hub/tcp.h"
#include "support/resource_count.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/json.h"
#include "util/run_flag.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPassword = "fixture-pass";

UniqueFd Connect(int port, const std::string& text = "") {
  UniqueFd fd(ConnectTcp("127.0.0.1", port));
  SendAll(fd.get(), text.data(), text.size());
  return fd;
}

// Everything until the server closes.
std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::recv(fd, chunk, sizeof(chunk), 0)) > 0;) {
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

int Status(const std::string& reply) {
  return std::atoi(reply.c_str() + 9);
}
std::string BodyOf(const std::string& reply) {
  return reply.substr(reply.find("\r\n\r\n") + 4);
}
std::string Message(const std::string& reply) {
  return JsonStringValue(BodyOf(reply), "message", "");
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) {
    std::this_thread::sleep_for(20ms);
  }
  return done();
}

// A server on a free loopback port over its own configuration, state and log files.
struct Server {
  explicit Server(std::function<void(WebConfigServer&)> configure = [](WebConfigServer&) {}) {
    initial.additionalSharedNetworks = {"172.16.0.0/16"};
    initial.webPassword = kPassword;
    SaveSettings(config, initial);
    server.settings.webBindAddress = "127.0.0.1";
    server.settings.webPort = 0;
    server.statePath = dir / "edge.state.json";
    server.logPath = [this] { return dir / "edge.log"; };
    server.detectInterfaces = [] { return std::vector<InterfaceNetwork>{{"eth1", "10.0.4.0/24"}}; };
    configure(server);
    server.Start();
    WaitFor([this] { return server.BoundPort() != 0; });
    port = server.BoundPort();
  }

  std::string Send(const std::string& request) const {
    return ReadAll(Connect(port, request).get());
  }
  std::string Head(const std::string& cookie = "") const {
    return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n" +
           (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n");
  }
  // "GET /x" or "POST /x" as the page's own script asks it: the server's Host, JSON posts.
  std::string Ask(const std::string& line, const std::string& cookie = "",
                  const std::string& body = "{}") const {
    return Send(line + " HTTP/1.1\r\n" + Head(cookie) +
                (line.starts_with("POST") ? "Content-Type: application/json\r\nContent-Length: " +
                                                std::to_string(body.size()) + "\r\n\r\n" + body
                                          : "\r\n"));
  }
  std::string LoginReply(const std::string& user, const std::string& password) const {
    return Ask("POST /api/login", "",
               R"({"username":")" + user + R"(","password":")" + password + "\"}");
  }
  // The "name=value" cookie pair of a new session ("" when refused).
  std::string Login() const {
    const std::string reply = LoginReply("admin", kPassword);
    const size_t start = reply.find("Set-Cookie: ") + 12;
    return start < 12 ? "" : reply.substr(start, reply.find(';', start) - start);
  }

  TempDir dir;
  std::string config = dir / "edge.json";
  Settings initial;
  WebConfigServer server{config};
  int port = 0;
};

// The Host is checked first, then where a POST comes from, then the login.
TEST(WebServerTest, RoutingChecksHostThenOriginThenLogin) {
  Server s;
  const std::string cookie = s.Login();
  const std::string own = s.Head();
  const std::string json = "Content-Type: application/json\r\nContent-Length: 2\r\n";
  const std::tuple<std::string, int, int> cases[] = {
      // head, status without and with a cookie
      {"GET /app.js HTTP/1.1\r\n" + own, 200, 200},
      {"GET /metrics HTTP/1.1\r\n" + own, 200, 200},
      {"HEAD / HTTP/1.1\r\n" + own, 401, 404},
      {"GET /api/status?x=1 HTTP/1.1\r\n" + own, 401, 200},
      {"POST /api/test HTTP/1.1\r\n" + own + json, 401, 400},
      {"GET / HTTP/1.1\r\nHost: rebound.example:" + std::to_string(s.port) + "\r\n", 421, 421},
      {"POST /api/test HTTP/1.1\r\n" + own + "Origin: http://evil.example\r\n" + json, 403, 403},
  };
  for (const auto& [head, without, with] : cases) {
    EXPECT_EQ(Status(s.Send(head + "\r\n{}")), without) << head;
    EXPECT_EQ(Status(s.Send(head + "Cookie: " + cookie + "\r\n\r\n{}")), with) << head;
  }
  EXPECT_NE(s.Ask("GET /").find("/login.js"), std::string::npos);
  EXPECT_NE(s.Ask("GET /", cookie).find("/app.js"), std::string::npos);
}

// Beyond 1 MiB is refused at once; a request cut short never reaches a handler.
TEST(WebServerTest, RequestsAreReadWholeWithinOneMebibyteAndTheDeadline) {
  Server s([](WebConfigServer& server) { server.requestDeadline = 300ms; });
  const std::string head = "POST /api/config HTTP/1.1\r\n" + s.Head(s.Login()) +
                           "Content-Type: application/json\r\nContent-Length: ";
  const std::string body = R"({"deviceName":"Joined"})";
  const size_t exact = kMaxRequestBytes - (head + "1048576\r\n\r\n").size();
  const std::string tooLarge = "request too large", incomplete = "incomplete request";
  const std::tuple<std::string, std::string, bool, std::string> cases[] = {
      // the request, its end sent 50 ms later, whether the client then closes, the message
      {"GET / HTTP/1.1\r\nX-Fill: " + std::string(kMaxRequestBytes, 'a'), "", false, tooLarge},
      {head + std::to_string(exact + 1) + "\r\n\r\n{\"deviceName\":\"Big\"}", "", false, tooLarge},
      {head + std::to_string(exact) + "\r\n\r\n{\"de",
       body.substr(4) + std::string(exact - body.size(), ' '), false, "saved"},
      {head + "500\r\n\r\n{\"deviceName\":\"Cut\"}", "", true, incomplete},
      {head + "500\r\n\r\n{\"deviceName\":\"Late\"}", "", false, incomplete},
      {"GET / HTTP/1.1\r\nX-Slow: ", "x", false, incomplete},
  };
  for (const auto& [first, second, closeEarly, message] : cases) {
    UniqueFd fd = Connect(s.port, first);
    std::this_thread::sleep_for(50ms);
    SendAll(fd.get(), second.data(), second.size());
    if (closeEarly) {
      ::shutdown(fd.get(), SHUT_WR);
    }
    EXPECT_EQ(Message(ReadAll(fd.get())), message) << first.substr(0, 80);
  }
  EXPECT_EQ(LoadSettings(s.config).deviceName, "Joined");
}

// Beyond the limit the longest-idle client makes room; half-read requests share 8 MiB.
TEST(WebServerTest, ClientsThatHoldPlacesOrMemoryCannotLockOutARequest) {
  Server s([](WebConfigServer& server) {
    server.maxConnections = 50;
    server.requestDeadline = 1s;
  });
  EXPECT_EQ(Status(s.Ask("GET /")), 200);  // the handler pool now runs
  const int threads = testing::RunningThreads();
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(Connect(s.port));
  }
  EXPECT_EQ(Status(s.Ask("GET /")), 200);
  EXPECT_EQ(testing::RunningThreads(), threads);
  pollfd first{clients.front().get(), POLLIN, 0};
  EXPECT_EQ(::poll(&first, 1, 5000), 1);  // closed to make room
  clients.clear();
  for (int i = 0; i < 9; ++i) {
    clients.push_back(Connect(s.port, "GET / HTTP/1.1\r\nX-Fill: " + std::string(1000000, 'a')));
  }
  std::map<std::string, int> replies;
  for (const UniqueFd& client : clients) {
    ++replies[Message(ReadAll(client.get()))];
  }
  EXPECT_EQ(replies,
            (std::map<std::string, int>{{"server busy", 1}, {"incomplete request", 7 + 1}}));
}

TEST(WebServerTest, LoginsSessionsAndPasswords) {
  Server s;
  const std::string mine = s.Login(), other = s.Login();
  const std::string before = ReadFile(s.config);
  auto password = [&](const std::string& old, const std::string& fresh) {
    return Message(s.Ask("POST /api/password", mine,
                         "{\"oldPassword\":\"" + old + "\",\"newPassword\":\"" + fresh + "\"}"));
  };
  EXPECT_EQ(password("wrong", "longenough"), "旧密码不正确");
  EXPECT_EQ(password(kPassword, "密码密码密码密"), "新密码至少 8 位");
  EXPECT_EQ(ReadFile(s.config), before);
  Settings factory = LoadSettings(s.config);
  factory.webPassword = kDefaultWebPassword;
  SaveSettings(s.config, factory);
  EXPECT_EQ(Message(s.Ask("GET /api/status", mine)), "Change the default password first.");
  EXPECT_EQ(password(kDefaultWebPassword, "密码密码密码密码"), "password changed");
  EXPECT_EQ(Status(s.Ask("GET /api/status", mine)), 200);
  EXPECT_EQ(Status(s.Ask("GET /api/status", other)), 401);
  EXPECT_EQ(s.LoginReply("root", "密码密码密码密码").find("Set-Cookie"), std::string::npos);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Message(s.LoginReply("admin", kPassword)), "账号或密码错误");
  }
  const std::string throttled = s.LoginReply("admin", "密码密码密码密码");
  EXPECT_EQ(throttled.substr(9, 3), "429");
  EXPECT_NE(throttled.find("Retry-After: 1\r\n"), std::string::npos);
  EXPECT_EQ(Status(s.Ask("POST /api/logout", mine)), 200);
  EXPECT_EQ(Status(s.Ask("GET /api/status", mine)), 401);
}

TEST(WebServerTest, Endpoints) {
  Server s;
  const std::string cookie = s.Login();
  for (const std::string stored : {"", R"({"message":"heartbeat \"ok\""})"}) {
    WriteFileAtomic(s.dir / "edge.state.json", stored, 0644);
    const std::string body = BodyOf(s.Ask("GET /api/status", cookie));
    const std::string data = JsonFindRaw(body, "data");
    EXPECT_EQ(JsonStringArrayValue(data, "additionalSharedNetworks"),
              s.initial.additionalSharedNetworks);
    EXPECT_EQ(JsonFindRaw(data, "webPassword"), "");
    EXPECT_EQ(JsonStringValue(JsonFindRaw(data, "interfaces"), "cidr", ""), "10.0.4.0/24");
    EXPECT_TRUE(body.ends_with(",\"state\":" + (stored.empty() ? "{}" : stored) + "}}")) << body;
  }
  s.Ask("POST /api/config", cookie,
        R"({"deviceNumber":"X","networkInterfaceName":"eth1","additionalSharedNetworks":["x"]})");
  EXPECT_EQ(Message(s.Ask("POST /api/config", cookie, R"({"deviceName":"New"})")), "saved");
  const Settings saved = LoadSettings(s.config);
  EXPECT_EQ(saved.deviceNumber + saved.networkInterfaceName + saved.deviceName, "eth1New");
  EXPECT_TRUE(saved.additionalSharedNetworks.empty());

  const std::string log = "start" + std::string(40000, 'a') + "end\n";
  WriteFileAtomic(s.dir / "edge.log", log, 0644);
  for (const auto& [query, bytes] : {std::pair{"", 32768}, std::pair{"?bytes=9", 9}}) {
    const std::string reply = s.Ask(std::string("GET /api/logs") + query, cookie);
    EXPECT_EQ(JsonStringValue(BodyOf(reply), "logs", ""), log.substr(log.size() - bytes));
  }
  for (const char* ip : {"10.0.0.1;reboot", "-f"}) {
    EXPECT_EQ(Message(s.Ask("POST /api/test", cookie, "{\"ip\":\"" + std::string(ip) + "\"}")),
              "invalid ip");
  }
  EXPECT_EQ(Message(s.Ask("POST /api/restart", cookie)), "restarting");
  EXPECT_TRUE(WaitFor([] { return !g_running.load(); }));
  g_running.store(true);  // other tests in this process still need it
}

TEST(WebServerTest, LifeCycleLeavesNothingBehind) {
  // Gone before the counts, so none of its threads can still be starting or ending.
  { Server warm; }
  const int fdsBefore = testing::OpenDescriptors();
  const int threadsBefore = testing::RunningThreads();
  {
    Server first;
    UniqueFd silent = Connect(first.port);
    first.Login();
    first.server.Stop();
    EXPECT_EQ(ReadAll(silent.get()), "");
  }
  EXPECT_EQ(testing::OpenDescriptors(), fdsBefore);
  EXPECT_TRUE(WaitFor([&] { return testing::RunningThreads() == threadsBefore; }));
}

}  // namespace
}  // namespace larkspire
