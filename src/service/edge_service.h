#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "netcfg/configurator.h"
#include "relay/tun_device.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"

namespace larkspire {

// The service core: registers the device, opens the TUN device, configures the kernel and
// keeps a relay connection to the Hub until g_running is cleared; then undoes it all.
// Runs on the main thread; the heartbeat thread it starts only reads `settings`.
// Members are released in reverse order, so a failed start-up still closes the channels,
// removes the kernel configuration and closes the TUN device.
class EdgeService {
 public:
  // Without `tunOffload` packets are written to the TUN device one by one, never merged.
  EdgeService(std::string configPath, std::string workDir, bool tunOffload = true);
  EdgeService(const EdgeService&) = delete;
  EdgeService& operator=(const EdgeService&) = delete;
  ~EdgeService();

  void Run();

 private:
  // Loads the configuration and settles the uplink and shared networks; returns the detected
  // interface names (each once, in detection order).
  std::vector<std::string> PrepareSettings();
  void Register();
  // Writes what this service changed in settings_ since the last load or save, keeping
  // whatever the web page saved in the meantime.
  void SaveOwnChanges();
  // Keeps a relay connection to the Hub, reconnecting 3 s after each one ends, until
  // g_running is cleared.
  void RelayUntilStopped();
  void TearDown();

  std::string configPath_;
  std::string workDir_;
  bool tunOffload_;
  Settings settings_;
  Settings stored_;  // settings_ as last read from or written to the file
  TunDevice tun_;
  LinuxNetworkConfigurator networkConfigurator_;
  WebSocketRelay webSocketRelay_;
  UdpRelay udpRelay_;
};

}  // namespace larkspire
