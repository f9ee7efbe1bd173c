#include "support/relay_upgrade_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <string>

#include "devhub/relay_upgrade.h"

namespace larkspire::testing {

UpgradeServer::UpgradeServer(RelayHub& hub)
    : hub_(hub), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), size);
  ::listen(listener_.get(), 8);
  ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

UpgradeServer::~UpgradeServer() {
  ::shutdown(listener_.get(), SHUT_RDWR);
  acceptor_.join();
  for (std::thread& connection : connections_) {
    connection.join();
  }
}

void UpgradeServer::AcceptLoop() {
  while (true) {
    int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      return;
    }
    connections_.emplace_back([this, fd] { Serve(UniqueFd(fd)); });
  }
}

void UpgradeServer::Serve(UniqueFd socket) {
  std::string head;
  char byte;
  while (head.find("\r\n\r\n") == std::string::npos && ::recv(socket.get(), &byte, 1, 0) == 1) {
    head.push_back(byte);
  }
  const size_t start = head.find(' ') + 1;
  const std::string target = head.substr(start, head.find(' ', start) - start);
  ServeRelayUpgrade(hub_, std::move(socket), target, head);
}

}  // namespace larkspire::testing
