#pragma once

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "devhub/route_table.h"
#include "relay/tun_device.h"
#include "util/defaults.h"

namespace larkspire {

inline constexpr const char* kDefaultHubTunName = "lshub0";
inline constexpr const char* kHubOverlayAddress = "10.250.0.1/16";

// The devhub's own TUN interface holding the overlay's first address, so programs on the
// Hub's machine are clients of the overlay and reach the edges' shared networks through it.
// Owns the descriptor; the interface, its address and its routes vanish when it closes.
// Open runs on the main thread; AddRoute may be called from any thread.
class HubTun {
 public:
  // Creates the interface and brings it up with its address, MTU and the overlay route.
  // Throws the TUN errors, or "Hub TUN setup failed: <command>".
  void Open(const std::string& name);
  void Close() { tun_.Close(); }

  // Routes an edge's shared network into the interface, once per network. Networks that
  // would take over the overlay itself or the default route are refused with a WARN; an
  // existing route of the machine is never replaced.
  void AddRoute(const Ipv4Network& network);

  int fd() const { return tun_.fd(); }
  bool offloadHeader() const { return tun_.offloadHeader(); }
  PacketDevice device() const { return tun_.device(); }
  const std::string& name() const { return tun_.name(); }

 private:
  TunDevice tun_;
  std::mutex mutex_;
  std::set<std::pair<uint32_t, int>> routed_;
};

// The commands that bring the interface up, in order.
std::vector<std::string> HubTunSetupCommands(const std::string& name);
// The command that routes `network` into the interface, or "" when it must not be routed.
std::string HubTunRouteCommand(const std::string& name, const Ipv4Network& network);

std::string FormatIpv4Cidr(const Ipv4Network& network);

}  // namespace larkspire
