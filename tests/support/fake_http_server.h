#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hub/http_reader.h"
#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire::testing {

// A listening TCP socket on 127.0.0.1 at a port the kernel chose, returned in `port`.
inline UniqueFd ListenOnLoopback(int& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof(address);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::listen(fd.get(), 16) != 0) {
    throw std::runtime_error("fake server: cannot listen on loopback");
  }
  port = ntohs(address.sin_port);
  return fd;
}

// A port on 127.0.0.1 on which nothing listens (bound once, then released).
inline int UnusedLoopbackPort() {
  int port = 0;
  ListenOnLoopback(port);
  return port;
}

// A one-thread HTTP peer on loopback for transport tests. For every connection it records
// the raw request bytes (header block plus a Content-Length body), then writes the scripted
// reply bytes and closes, or, when told to stall, keeps the connection open without another
// byte until the server is destroyed. A script that stops early sends part of a body.
class FakeHttpServer {
 public:
  explicit FakeHttpServer(std::string reply, bool stallAfterReply = false)
      : reply_(std::move(reply)), stall_(stallAfterReply), listener_(ListenOnLoopback(port_)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeHttpServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // ends the accept of the server thread
    thread_.join();
  }
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  int Port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Raw bytes of each request received so far, in arrival order.
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    for (UniqueFd fd;
         fd.Reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)), fd.valid();) {
      std::string request;
      SocketStream stream(fd.get());
      try {
        request = ReadHttpHeaders(stream);
        const long length =
            std::strtol(HeaderValue(request, "Content-Length").c_str(), nullptr, 10);
        std::string body(length > 0 ? static_cast<size_t>(length) : 0, '\0');
        request += RecvExact(stream, body.data(), body.size()) ? body : "";
      } catch (const std::exception&) {
        // Whatever arrived is still worth recording.
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      SendAll(fd.get(), reply_.data(), reply_.size());
      if (stall_) {
        stalled_.push_back(std::move(fd));
      }
    }
  }

  std::string reply_;
  bool stall_;
  int port_ = 0;
  UniqueFd listener_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<UniqueFd> stalled_;  // only the server thread touches it
  std::thread thread_;
};

}  // namespace larkspire::testing
