#pragma once

// Helpers for the web server tests: a raw TCP client, a scratch directory with a
// configuration file, and a server running on a free loopback port.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "config/settings.h"
#include "util/fd.h"
#include "util/file.h"
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

inline std::string Exchange(int port, const std::string& request) {
  UniqueFd fd = Connect(port);
  SendText(fd.get(), request);
  return ReadAll(fd.get());
}

struct Reply {
  std::string statusLine;
  std::string headers;
  std::string body;
};

inline Reply SplitReply(const std::string& raw) {
  Reply reply;
  size_t lineEnd = raw.find("\r\n");
  size_t blank = raw.find("\r\n\r\n");
  reply.statusLine = raw.substr(0, lineEnd);
  if (blank != std::string::npos) {
    reply.headers = raw.substr(0, blank + 2);
    reply.body = raw.substr(blank + 4);
  }
  return reply;
}

inline std::string Get(const std::string& target, const std::string& cookie = "") {
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n";
  if (!cookie.empty()) {
    request += "Cookie: " + cookie + "\r\n";
  }
  return request + "\r\n";
}

inline std::string Post(const std::string& target, const std::string& body,
                        const std::string& cookie = "") {
  std::string request = "POST " + target + " HTTP/1.1\r\nHost: localhost\r\n";
  if (!cookie.empty()) {
    request += "Cookie: " + cookie + "\r\n";
  }
  request += "Content-Type: application/json\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return request;
}

// A fresh directory under the system's temporary directory, removed with the object.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ls-web-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The process log, opened once in a scratch directory when no other test opened it.
inline const std::string& TestLogPath() {
  static ScratchDir* directory = nullptr;
  if (g_log.Path().empty()) {
    directory = new ScratchDir();  // kept for the whole process
    g_log.Open(directory->path());
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

inline int CountEntries(const char* directory) {
  int count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(directory)) {
    ++count;
  }
  return count;
}

// A server on a free loopback port over a configuration file in a scratch directory, with
// a fixed interface list and its own state and log files.
class ServerFixture {
 public:
  ServerFixture() {
    TestLogPath();
    configPath = dir.path() + "/edge.json";
    statePath = dir.path() + "/edge.state.json";
    logPath = dir.path() + "/edge.log";
    initial.serverUrl = "http://hub.example.test:31080";
    initial.deviceNumber = "D-100";
    initial.deviceSecret = "s3cret";
    initial.deviceName = "Lab Edge";
    initial.networkInterfaceName = "eth0";
    initial.sharedNetworks = {"192.168.1.0/24"};
    initial.additionalSharedNetworks = {"172.16.0.0/16"};
    initial.webPassword = "admin";
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
    server->Start();
    if (!WaitFor([this] { return server->BoundPort() != 0; })) {
      throw std::runtime_error("web server did not start listening");
    }
    port = server->BoundPort();
  }

  std::string Send(const std::string& request) const { return Exchange(port, request); }

  // Logs in with the configured password and returns the "name=value" cookie pair.
  std::string Login() const {
    Reply reply =
        SplitReply(Send(Post("/api/login", R"({"username":"admin","password":"admin"})")));
    size_t start = reply.headers.find("Set-Cookie: ");
    if (start == std::string::npos) {
      throw std::runtime_error("login failed: " + reply.statusLine);
    }
    start += 12;
    return reply.headers.substr(start, reply.headers.find(';', start) - start);
  }

  ScratchDir dir;
  Settings initial;
  std::string configPath;
  std::string statePath;
  std::string logPath;
  std::unique_ptr<WebConfigServer> server;
  int port = 0;
};

}  // namespace larkspire::webtest
