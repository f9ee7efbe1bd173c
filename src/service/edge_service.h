#pragma once

#include <string>

#include "config/settings.h"
#include "netcfg/configurator.h"
#include "relay/tun_device.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"

namespace larkspire {

// The service core: registers the device, opens the TUN device, configures the kernel and
// keeps a relay connection to the Hub until g_running is cleared; then undoes it all.
// Runs on the main thread; the heartbeat thread it starts only reads `settings`.
class EdgeService {
 public:
  EdgeService(std::string configPath, std::string workDir);
  EdgeService(const EdgeService&) = delete;
  EdgeService& operator=(const EdgeService&) = delete;
  ~EdgeService();

  void Run();

 private:
  void RelayLoop();

  std::string configPath_;
  std::string workDir_;
  Settings settings_;
  TunDevice tun_;
  LinuxNetworkConfigurator networkConfigurator_;
  WebSocketRelay webSocketRelay_;
  UdpRelay udpRelay_;
};

}  // namespace larkspire
