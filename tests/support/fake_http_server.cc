#include "support/fake_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <stdexcept>

#include "hub/http_reader.h"
#include "util/socket_io.h"

namespace larkspire::testing {
namespace {

UniqueFd BindLoopback(int& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof(address);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("fake server: bind failed");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

FakeHttpServer::FakeHttpServer(std::string reply, bool stallAfterReply)
    : reply_(std::move(reply)), stall_(stallAfterReply), listener_(BindLoopback(port_)) {
  if (::listen(listener_.get(), 16) != 0) {
    throw std::runtime_error("fake server: listen failed");
  }
  thread_ = std::thread([this] { Serve(); });
}

FakeHttpServer::~FakeHttpServer() {
  ::shutdown(listener_.get(), SHUT_RDWR);  // ends the accept of the server thread
  thread_.join();
}

std::vector<std::string> FakeHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeHttpServer::Serve() {
  for (UniqueFd fd;
       fd.Reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)), fd.valid();) {
    std::string request;
    SocketStream stream(fd.get());
    try {
      request = ReadHttpHeaders(stream);
      const long length = std::strtol(HeaderValue(request, "Content-Length").c_str(), nullptr, 10);
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

int UnusedLoopbackPort() {
  int port = 0;
  BindLoopback(port);
  return port;
}

}  // namespace larkspire::testing
