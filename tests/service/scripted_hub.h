#pragma once

// A one-thread HTTP server on 127.0.0.1 (port chosen by the kernel) that answers each
// connection with the next scripted reply and records the request bytes it received.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire::testing {

class ScriptedHub {
 public:
  explicit ScriptedHub(std::vector<std::string> replies) : replies_(std::move(replies)) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (!listener_.valid() ||
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_.get(), 8) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("scripted hub: cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~ScriptedHub() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  static std::string JsonReply(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }

 private:
  void Serve() {
    for (const std::string& reply : replies_) {
      UniqueFd client(::accept(listener_.get(), nullptr, nullptr));
      if (!client.valid()) {
        return;
      }
      std::string request = ReadRequest(client.get());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      SendAll(client.get(), reply.data(), reply.size());
    }
  }

  // Headers, then as many body bytes as Content-Length announces.
  static std::string ReadRequest(int fd) {
    std::string text;
    char byte = 0;
    while (text.find("\r\n\r\n") == std::string::npos && ::recv(fd, &byte, 1, 0) == 1) {
      text += byte;
    }
    size_t lengthAt = text.find("Content-Length: ");
    size_t bodyLength = lengthAt == std::string::npos ? 0 : std::stoul(text.substr(lengthAt + 16));
    std::string body(bodyLength, '\0');
    size_t got = 0;
    while (got < bodyLength) {
      ssize_t n = ::recv(fd, body.data() + got, bodyLength - got, 0);
      if (n <= 0) {
        break;
      }
      got += static_cast<size_t>(n);
    }
    return text + body.substr(0, got);
  }

  std::vector<std::string> replies_;
  UniqueFd listener_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A loopback URL on which nothing listens (the port was bound once and released).
inline std::string ClosedPortUrl() {
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

}  // namespace larkspire::testing
