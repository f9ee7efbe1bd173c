#pragma once

// Helpers for the web server tests: a raw TCP client and a server on a free loopback port
// over a configuration file in a scratch directory.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "config/settings.h"
#include "support/resource_count.h"
#include "support/temp_dir.h"
#include "util/fd.h"
#include "util/logger.h"
#include "util/socket_io.h"
#include "web/web_server.h"

namespace larkspire::webtest {

inline UniqueFd Connect(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
  }
  timeval timeout{30, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  return fd;
}

inline void SendText(int fd, const std::string& text) {
  SendAll(fd, text.data(), text.size());
}

// Everything until the server closes (or the 30-second safety time-out).
inline std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = ::recv(fd, chunk, sizeof(chunk), 0)) > 0) {
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

struct Reply {
  std::string statusLine;
  std::string headers;
  std::string body;
};

inline Reply SplitReply(const std::string& raw) {
  Reply reply;
  size_t blank = raw.find("\r\n\r\n");
  reply.statusLine = raw.substr(0, raw.find("\r\n"));
  if (blank != std::string::npos) {
    reply.headers = raw.substr(0, blank + 2);
    reply.body = raw.substr(blank + 4);
  }
  return reply;
}

// The process log, opened once in a scratch directory when no other test opened it.
inline const std::string& TestLogPath() {
  if (g_log.Path().empty()) {
    static TempDir directory;
    g_log.Open(directory.path());
  }
  return g_log.Path();
}

// Polls until `done` is true or ten seconds have passed.
template <typename Predicate>
bool WaitFor(Predicate done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A server on a free loopback port over a configuration file in a scratch directory, with
// a fixed interface list and its own state and log files.
class ServerFixture {
 public:
  static constexpr const char* kPassword = "fixture-pass";

  ServerFixture() {
    TestLogPath();
    configPath = dir / "edge.json";
    statePath = dir / "edge.state.json";
    logPath = dir / "edge.log";
    initial.serverUrl = "http://hub.example.test:31080";
    initial.deviceNumber = "D-100";
    initial.deviceSecret = "s3cret";
    initial.deviceName = "Lab Edge";
    initial.networkInterfaceName = "eth0";
    initial.sharedNetworks = {"192.168.1.0/24"};
    initial.additionalSharedNetworks = {"172.16.0.0/16"};
    initial.webPassword = kPassword;
    SaveSettings(configPath, initial);
  }

  void StartServer(const std::string& bindAddress = "127.0.0.1", int requestedPort = 0) {
    server = std::make_unique<WebConfigServer>(configPath);
    server->settings = LoadSettings(configPath);
    server->settings.webBindAddress = bindAddress;
    server->settings.webPort = requestedPort;
    server->statePath = statePath;
    std::string log = logPath;
    server->logPath = [log] { return log; };
    server->detectInterfaces = [] {
      return std::vector<InterfaceNetwork>{{"eth0", "192.168.1.0/24"}, {"eth1", "10.0.4.0/24"}};
    };
    configure(*server);
    server->Start();
    if (!WaitFor([this] { return server->BoundPort() != 0; })) {
      throw std::runtime_error("web server did not start listening");
    }
    port = server->BoundPort();
  }

  std::string Send(const std::string& request) const {
    UniqueFd fd = Connect(port);
    SendText(fd.get(), request);
    return ReadAll(fd.get());
  }
  int Status(const std::string& request) const { return std::atoi(Send(request).c_str() + 9); }

  // Requests as this page's own script makes them: the server's Host, JSON posts.
  std::string Get(const std::string& target, const std::string& cookie = "") const {
    return "GET " + target + " HTTP/1.1\r\n" + Headers(cookie) + "\r\n";
  }
  std::string Post(const std::string& target, const std::string& body,
                   const std::string& cookie = "") const {
    return "POST " + target + " HTTP/1.1\r\n" + Headers(cookie) +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  }
  std::string Headers(const std::string& cookie) const {
    return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n" +
           (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n");
  }

  // Logs in and returns the "name=value" cookie pair.
  std::string Login(const std::string& password = kPassword) const {
    Reply reply = SplitReply(
        Send(Post("/api/login", R"({"username":"admin","password":")" + password + "\"}")));
    size_t start = reply.headers.find("Set-Cookie: ");
    if (start == std::string::npos) {
      throw std::runtime_error("login failed: " + reply.statusLine);
    }
    start += 12;
    return reply.headers.substr(start, reply.headers.find(';', start) - start);
  }

  TempDir dir;
  Settings initial;
  std::string configPath;
  std::string statePath;
  std::string logPath;
  std::function<void(WebConfigServer&)> configure = [](WebConfigServer&) {};
  std::unique_ptr<WebConfigServer> server;
  int port = 0;
};

}  // namespace larkspire::webtest
