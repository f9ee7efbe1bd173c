#include "devhub/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "hub/http_reader.h"
#include "util/logger.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

// A client gets this long per received byte before its request is dropped.
constexpr std::chrono::seconds kRequestTimeout{10};
constexpr size_t kDrainLimit = 4 * 1024 * 1024;

// The target for the log, with secrets in the query masked.
std::string LoggedTarget(const HttpRequest& request) {
  std::string target = request.path;
  if (request.query.empty()) {
    return target;
  }
  std::string query = request.query;
  for (size_t at = query.find("secret="); at != std::string::npos;
       at = query.find("secret=", at + 1)) {
    const size_t start = at + 7;
    const size_t end = query.find('&', start);
    query.replace(start, (end == std::string::npos ? query.size() : end) - start, "***");
  }
  return target + "?" + query;
}

void SendReply(ByteStream& stream, const HttpResponse& response) {
  const std::string bytes = SerializeResponse(response);
  stream.SendAll(bytes.data(), bytes.size());
}

// Closing with unread request bytes pending makes the kernel reset the connection, and a
// reset can destroy the reply before the client reads it (typical for a refused oversized
// request). So: end our side, then discard what the client still sends, briefly.
void DrainBeforeClose(int fd) {
  ::shutdown(fd, SHUT_WR);
  SetTimeout(fd, SO_RCVTIMEO, std::chrono::seconds(1));
  char buffer[4096];
  for (size_t drained = 0; drained < kDrainLimit;) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      return;
    }
    drained += static_cast<size_t>(n);
  }
}

bool AllDigits(const std::string& text) {
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

}  // namespace

DevHubServer::DevHubServer(std::string address, int port)
    : address_(std::move(address)), port_(port) {}

DevHubServer::~DevHubServer() {
  Stop();
}

void DevHubServer::Route(const std::string& method, const std::string& pattern,
                         RouteHandler handler) {
  const bool exact = pattern.empty() || pattern.back() != '*';
  routes_.push_back(
      {method, exact ? pattern : pattern.substr(0, pattern.size() - 1), exact, std::move(handler)});
}

void DevHubServer::EnableTls(const std::string& certFile, const std::string& keyFile) {
  tls_ = std::make_unique<TlsServer>(certFile, keyFile);
}

void DevHubServer::Start() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  if (port_ < 0 || port_ > 65535 || inet_pton(AF_INET, address_.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("Invalid listen address: " + address_ + ":" + std::to_string(port_));
  }
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  SetIntOption(listener.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  if (!listener.valid() ||
      ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener.get(), 64) != 0) {
    throw std::runtime_error("Cannot listen on " + address_ + ":" + std::to_string(port_) + ": " +
                             std::strerror(errno));
  }
  socklen_t length = sizeof(address);
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("Cannot create wake pipe: ") + std::strerror(errno));
  }
  wakeRead_.Reset(pipeFds[0]);
  wakeWrite_.Reset(pipeFds[1]);
  listener_ = std::move(listener);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void DevHubServer::Stop() {
  if (!acceptThread_.joinable()) {
    return;
  }
  stopping_ = true;
  wakeWrite_.Close();  // the accept loop's poll sees the pipe close
  acceptThread_.join();
  listener_.Close();
  wakeRead_.Close();
  std::unique_lock<std::mutex> lock(mutex_);
  for (int fd : openFds_) {
    ::shutdown(fd, SHUT_RDWR);  // unblocks handlers waiting in recv
  }
  idle_.wait(lock, [this] { return active_ == 0; });
}

void DevHubServer::AcceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
      if (errno == EINTR && fds[1].revents == 0) {
        continue;
      }
      return;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    UniqueFd socket(
        ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
    if (!socket.valid()) {
      continue;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (active_ >= kMaxConnections) {
      lock.unlock();
      // Said in the clear even on a TLS port: a handshake here would cost the accept thread.
      SocketStream busy(socket.get());
      SendReply(busy, ErrorEnvelope(503, "BUSY", "Too many connections."));
      continue;
    }
    ++active_;
    openFds_.insert(socket.get());
    lock.unlock();
    // Detached: Stop waits for active_ to reach zero instead of joining.
    std::thread([this, fd = socket.Release(), name = AddressText(peer)]() mutable {
      ServeConnection(UniqueFd(fd), std::move(name));
    }).detach();
  }
}

std::shared_ptr<ByteStream> DevHubServer::OpenStream(UniqueFd socket, const std::string& peer) {
  if (!tls_) {
    return std::make_shared<SocketStream>(std::move(socket));
  }
  try {
    return tls_->Accept(std::move(socket), peer);
  } catch (const std::runtime_error& error) {
    g_log.Write("WARN", error.what());
    return nullptr;
  }
}

void DevHubServer::ServeConnection(UniqueFd socket, std::string peer) {
  const int fd = socket.get();
  SetTimeout(fd, SO_RCVTIMEO, kRequestTimeout);
  SetTimeout(fd, SO_SNDTIMEO, kRequestTimeout);
  std::shared_ptr<ByteStream> stream = OpenStream(std::move(socket), peer);
  if (stream) {
    Serve(stream, peer);
  }
  {
    // The descriptor leaves the shutdown list before it can close and be reused.
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.erase(fd);
    stream.reset();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  --active_;
  idle_.notify_all();
}

void DevHubServer::Serve(const std::shared_ptr<ByteStream>& stream, const std::string& peer) {
  HttpRequest request;
  request.peer = peer;
  Connection connection(stream, peer, &stopping_);
  const HttpResponse response = ReadAndDispatch(*stream, request, connection);
  if (!connection.TakenOver() && response.status != 0) {
    SendReply(*stream, response);
    DrainBeforeClose(stream->fd());
  }
  if (response.status != 0) {
    g_log.Write("INFO",
                peer + " " + (request.method.empty() ? "-" : request.method) + " " +
                    (request.path.empty() ? "-" : LoggedTarget(request)) + " " +
                    (connection.TakenOver() ? "upgraded" : std::to_string(response.status)));
  }
}

// Reads one request and routes it. A status of 0 means the client went away before a
// request was complete: nothing is sent and nothing is logged.
HttpResponse DevHubServer::ReadAndDispatch(ByteStream& stream, HttpRequest& request,
                                           Connection& connection) {
  try {
    request.headers = ReadHttpHeaders(stream);
  } catch (const HttpError& error) {
    if (error.kind() == HttpErrorKind::kHeadersTooLarge) {
      return ErrorEnvelope(413, "TOO_LARGE", "Request headers are too large.");
    }
    return HttpResponse{0, "", "", ""};
  }
  if (!ParseRequestLine(request.headers, request)) {
    return ErrorEnvelope(400, "BAD_REQUEST", "Malformed request line.");
  }
  if (!HeaderValue(request.headers, "Transfer-Encoding").empty()) {
    return ErrorEnvelope(400, "BAD_REQUEST", "Request bodies must carry a Content-Length.");
  }
  const std::string length = HeaderValue(request.headers, "Content-Length");
  if (!length.empty()) {
    if (!AllDigits(length)) {
      return ErrorEnvelope(400, "BAD_REQUEST", "Malformed Content-Length.");
    }
    if (length.size() > 9 || std::stoul(length) > kMaxBodyBytes) {
      return ErrorEnvelope(413, "TOO_LARGE", "Request body is too large.");
    }
    request.body.resize(std::stoul(length));
    if (!RecvExact(stream, request.body.data(), request.body.size())) {
      return HttpResponse{0, "", "", ""};
    }
  }
  return Dispatch(request, connection);
}

HttpResponse DevHubServer::Dispatch(const HttpRequest& request, Connection& connection) const {
  const RouteEntry* best = nullptr;
  bool pathKnown = false;
  for (const RouteEntry& route : routes_) {
    const bool matches =
        route.exact ? request.path == route.prefix : request.path.starts_with(route.prefix);
    if (!matches) {
      continue;
    }
    pathKnown = true;
    if (route.method != request.method) {
      continue;
    }
    if (best == nullptr || (route.exact && !best->exact) ||
        (route.exact == best->exact && route.prefix.size() > best->prefix.size())) {
      best = &route;
    }
  }
  if (best == nullptr) {
    return pathKnown ? ErrorEnvelope(405, "METHOD_NOT_ALLOWED",
                                     "Method " + request.method + " is not allowed here.")
                     : ErrorEnvelope(404, "NOT_FOUND", "No such endpoint: " + request.path);
  }
  try {
    return best->handler(request, connection);
  } catch (const std::exception& error) {
    g_log.Write("WARN",
                "Handler for " + request.method + " " + request.path + " failed: " + error.what());
    return ErrorEnvelope(500, "INTERNAL", error.what());
  }
}

}  // namespace larkspire
