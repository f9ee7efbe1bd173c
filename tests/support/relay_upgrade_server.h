#pragma once

#include <thread>
#include <vector>

#include "util/fd.h"

namespace larkspire {
class RelayHub;
}

namespace larkspire::testing {

// Listens on 127.0.0.1 (port 0) and hands every request to ServeRelayUpgrade on its own
// thread, the way the devhub's HTTP server does. Stop the hub before destroying this: the
// connection threads end when their relay connections do.
class UpgradeServer {
 public:
  explicit UpgradeServer(RelayHub& hub);
  ~UpgradeServer();
  UpgradeServer(const UpgradeServer&) = delete;
  UpgradeServer& operator=(const UpgradeServer&) = delete;

  int port() const { return port_; }

 private:
  void AcceptLoop();
  void Serve(UniqueFd socket);

  RelayHub& hub_;
  UniqueFd listener_;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

}  // namespace larkspire::testing
