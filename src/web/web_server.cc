#include "web/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "util/fd.h"
#include "util/json.h"
#include "util/logger.h"
#include "util/socket_io.h"
#include "web/http_request.h"
#include "web/pages.h"
#include "web/session_token.h"

namespace larkspire {
namespace {

constexpr int kListenBacklog = 16;
constexpr int kSocketTimeoutSeconds = 5;
constexpr size_t kChunkBytes = 4096;
// How much of an oversized request is read and thrown away after the error reply, so the
// client gets to read the reply instead of a connection reset.
constexpr size_t kMaxDrainBytes = 2 * kMaxRequestBytes;

class RequestTooLarge : public std::runtime_error {
 public:
  RequestTooLarge() : std::runtime_error("request too large") {}
};

// recv that retries when a signal interrupts it; 0 or less means closed, timed out or failed.
ssize_t Receive(int fd, char* buffer, size_t size) {
  while (true) {
    ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n;
  }
}

// Reads one request: headers until the blank line, then as much body as Content-Length
// announces. A peer that closes, stays silent or is still sending at `deadline` leaves what
// has arrived. Throws RequestTooLarge as soon as the headers, or the announced total, pass
// kMaxRequestBytes.
std::string ReadRequest(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string raw;
  char chunk[kChunkBytes];
  size_t blank;
  while ((blank = raw.find("\r\n\r\n")) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return raw;
    }
    ssize_t n = Receive(fd, chunk, sizeof(chunk));
    if (n <= 0) {
      return raw;
    }
    raw.append(chunk, static_cast<size_t>(n));
    if (raw.size() > kMaxRequestBytes) {
      throw RequestTooLarge();
    }
  }
  long long announced = AnnouncedContentLength(raw.substr(0, blank + 2));
  size_t bodyStart = blank + 4;
  if (announced > 0 && static_cast<unsigned long long>(announced) > kMaxRequestBytes - bodyStart) {
    throw RequestTooLarge();
  }
  size_t wanted = bodyStart + static_cast<size_t>(announced > 0 ? announced : 0);
  while (raw.size() < wanted && std::chrono::steady_clock::now() < deadline) {
    size_t missing = wanted - raw.size();
    ssize_t n = Receive(fd, chunk, missing < sizeof(chunk) ? missing : sizeof(chunk));
    if (n <= 0) {
      break;
    }
    raw.append(chunk, static_cast<size_t>(n));
  }
  return raw;
}

// After replying to an oversized request: end our side, then read and drop what the client
// is still sending (bounded by the receive time-out and kMaxDrainBytes).
void DrainAfterReply(int fd) {
  ::shutdown(fd, SHUT_WR);
  char chunk[kChunkBytes];
  size_t drained = 0;
  while (drained < kMaxDrainBytes) {
    ssize_t n = Receive(fd, chunk, sizeof(chunk));
    if (n <= 0) {
      return;
    }
    drained += static_cast<size_t>(n);
  }
}

void ConfigureConnection(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  timeval timeout{kSocketTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

}  // namespace

void SendRaw(int fd, int status, const std::string& contentType, const std::string& body,
             const std::string& extraHeaders) {
  std::string response = FormatHttpResponse(status, contentType, body, extraHeaders);
  SendAll(fd, response.data(), response.size());
}

void SendJson(int fd, int status, const std::string& body, const std::string& extraHeaders) {
  SendRaw(fd, status, "application/json; charset=utf-8", body, extraHeaders);
}

WebConfigServer::WebConfigServer(std::string configPath)
    : logPath([] { return g_log.Path(); }),
      detectInterfaces(DetectHardwareInterfaceNetworks),
      checkGatewayHealth(CheckCurrentGatewayHealth),
      configPath_(std::move(configPath)) {}

WebConfigServer::~WebConfigServer() {
  Stop();
}

void WebConfigServer::Start() {
  serverThread_ = std::thread([this] { Serve(); });
}

void WebConfigServer::Stop() {
  stopping_.exchange(true);
  {
    // Wakes a thread blocked in accept; any later accept on it fails at once.
    std::lock_guard<std::mutex> lock(listenMutex_);
    if (listenFd_ >= 0) {
      ::shutdown(listenFd_, SHUT_RDWR);
    }
  }
  if (serverThread_.joinable()) {
    serverThread_.join();
  }
  {
    std::lock_guard<std::mutex> lock(listenMutex_);
    if (listenFd_ >= 0) {
      ::close(listenFd_);
      listenFd_ = -1;
    }
  }
  boundPort_.store(0);
  std::unique_lock<std::mutex> lock(connectionsMutex_);
  // Ends the reading of every running request (the handlers still write their replies),
  // so the wait below is short.
  for (int fd : connections_) {
    ::shutdown(fd, SHUT_RD);
  }
  connectionsDone_.wait(lock, [this] { return connections_.empty(); });
}

void WebConfigServer::Serve() {
  try {
    SessionToken();  // a server that could not check logins must not start
    int fd = OpenListeningSocket();
    {
      std::lock_guard<std::mutex> lock(listenMutex_);
      if (stopping_.load()) {
        ::close(fd);
        return;
      }
      listenFd_ = fd;
    }
    AcceptLoop(fd);
  } catch (const std::exception& error) {
    g_log.Write("WARN", std::string("Web config page disabled: ") + error.what());
  }
}

int WebConfigServer::OpenListeningSocket() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    throw std::runtime_error("web socket failed");
  }
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(settings.webPort));
  if (::inet_pton(AF_INET, settings.webBindAddress.c_str(), &address.sin_addr) != 1) {
    settings.webBindAddress = "127.0.0.1";
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("web bind failed on port " + std::to_string(settings.webPort) + ": " +
                             std::strerror(errno));
  }
  if (::listen(fd.get(), kListenBacklog) != 0) {
    throw std::runtime_error("web listen failed");
  }
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  int port = ntohs(bound.sin_port);
  g_log.Write("INFO", "Web config page listening on http://" + settings.webBindAddress + ":" +
                          std::to_string(port));
  boundPort_.store(port);
  return fd.Release();
}

void WebConfigServer::AcceptLoop(int listenFd) {
  while (!stopping_.load()) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_.load()) {
        break;
      }
      g_log.Write("WARN", "web accept failed");
      // Out of descriptors, for example: pause briefly instead of spinning on the error.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    Admit(fd);
  }
}

void WebConfigServer::Admit(int fd) {
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  if (connections_.size() >= kMaxConnections) {
    ::close(fd);
    return;
  }
  ConfigureConnection(fd);
  connections_.insert(fd);
  try {
    std::thread([this, fd] { HandleClient(fd); }).detach();
  } catch (...) {
    connections_.erase(fd);
    ::close(fd);
    throw;
  }
}

void WebConfigServer::HandleClient(int fd) {
  bool unreadInput = false;
  try {
    auto deadline = std::chrono::steady_clock::now() + requestDeadline;
    WebRequest request = ParseHttpRequest(ReadRequest(fd, deadline));
    Route(fd, request);
  } catch (const std::exception& error) {
    unreadInput = dynamic_cast<const RequestTooLarge*>(&error) != nullptr;
    SendJson(fd, 500, "{\"success\":false,\"message\":" + JsonString(error.what()) + "}");
  }
  if (unreadInput) {
    DrainAfterReply(fd);
  }
  FinishConnection(fd);
}

void WebConfigServer::FinishConnection(int fd) {
  // Closed under the lock, so Stop never shuts down a descriptor number that was reused.
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  ::close(fd);
  connections_.erase(fd);
  connectionsDone_.notify_all();
}

bool WebConfigServer::IsAuthenticated(const WebRequest& request) const {
  return HasCookie(request.head, "larkspire_edge", SessionToken());
}

void WebConfigServer::Route(int fd, const WebRequest& request) {
  const std::string& method = request.method;
  const std::string& path = request.path;
  if (method == "GET" && path == "/") {
    const std::string& page = IsAuthenticated(request) ? StableAppHtml() : StableLoginHtml();
    SendRaw(fd, 200, "text/html; charset=utf-8", page, "");
  } else if (method == "POST" && path == "/api/login") {
    HandleLogin(fd, request.body);
  } else if (method == "GET" && path == "/metrics") {
    HandleMetrics(fd);  // counters only, no secret: open to a scraper without login
  } else if (!IsAuthenticated(request)) {
    SendJson(fd, 401, "{\"success\":false,\"message\":\"unauthorized\"}");
  } else if (method == "GET" && path == "/api/status") {
    HandleStatus(fd);
  } else if (method == "GET" && path == "/api/logs") {
    HandleLogs(fd, request.target);
  } else if (method == "POST" && path == "/api/config") {
    HandleSaveConfig(fd, request.body);
  } else if (method == "POST" && path == "/api/password") {
    HandlePassword(fd, request.body);
  } else if (method == "POST" && path == "/api/test") {
    HandleTest(fd, request.body);
  } else if (method == "POST" && path == "/api/restart") {
    HandleRestart(fd);
  } else if (method == "GET" && path == "/api/health") {
    HandleHealth(fd);
  } else {
    SendJson(fd, 404, "{\"success\":false,\"message\":\"not found\"}");
  }
}

}  // namespace larkspire
