#include "support/fake_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "hub/http_reader.h"
#include "util/socket_io.h"

namespace larkspire::testing {
namespace {

UniqueFd BindLoopback(int& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("fake server: bind failed");
  }
  socklen_t length = sizeof(address);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

FakeHttpServer::FakeHttpServer(std::string reply, bool stallAfterReply)
    : reply_(std::move(reply)), stall_(stallAfterReply) {
  listener_ = BindLoopback(port_);
  if (::listen(listener_.get(), 16) != 0) {
    throw std::runtime_error("fake server: listen failed");
  }
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) {
    throw std::runtime_error("fake server: pipe failed");
  }
  stopRead_.Reset(pipeFds[0]);
  stopWrite_.Reset(pipeFds[1]);
  thread_ = std::thread([this] { Serve(); });
}

FakeHttpServer::~FakeHttpServer() {
  stopWrite_.Close();  // wakes every poll in the server thread
  thread_.join();
}

std::string FakeHttpServer::Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> FakeHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool FakeHttpServer::WaitReadable(int fd) const {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
  return ::poll(fds, 2, -1) > 0 && fds[1].revents == 0;
}

void FakeHttpServer::Serve() {
  while (WaitReadable(listener_.get())) {
    UniqueFd connection(::accept(listener_.get(), nullptr, nullptr));
    if (connection.valid()) {
      HandleOne(connection.get());
    }
  }
}

void FakeHttpServer::HandleOne(int fd) {
  std::string request;
  SocketStream stream(fd);
  try {
    request = ReadHttpHeaders(stream);
    const long length = std::strtol(HeaderValue(request, "Content-Length").c_str(), nullptr, 10);
    std::string body(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (RecvExact(stream, body.data(), body.size())) {
      request += body;
    }
  } catch (const std::exception&) {
    // Whatever arrived is still worth recording.
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  SendAll(fd, reply_.data(), reply_.size());
  if (stall_) {
    pollfd stop{stopRead_.get(), POLLIN, 0};
    ::poll(&stop, 1, -1);
  }
}

int UnusedLoopbackPort() {
  int port = 0;
  BindLoopback(port);
  return port;
}

}  // namespace larkspire::testing
