#include "devhub/hub_tun.h"

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>

#include "util/command.h"
#include "util/logger.h"
#include "util/text.h"

namespace larkspire {

std::string FormatIpv4Cidr(const Ipv4Network& network) {
  in_addr address{};
  address.s_addr = htonl(network.address);
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return std::string(text) + "/" + std::to_string(network.prefixLength);
}

std::vector<std::string> HubTunSetupCommands(const std::string& name) {
  const std::string device = ShellQuote(name);
  // The edge's interface has MTU 1400, so larger packets could not leave it anyway.
  return {
      "ip link set dev " + device + " mtu 1400",
      "ip addr replace " + std::string(kHubOverlayAddress) + " dev " + device,
      "ip link set dev " + device + " up",
      "ip route replace " + std::string(kOverlayNetwork) + " dev " + device,
  };
}

std::string HubTunRouteCommand(const std::string& name, const Ipv4Network& network) {
  const Ipv4Network overlay = *ParseIpv4Cidr(kOverlayNetwork);
  const int shorter = std::min(network.prefixLength, overlay.prefixLength);
  const uint32_t mask = Ipv4Network{0, shorter}.Mask();
  const bool overlaps = (network.address & mask) == (overlay.address & mask);
  if (network.prefixLength == 0 || overlaps) {
    return "";
  }
  // "add", not "replace": a network the machine already reaches some other way stays so.
  return "ip route add " + FormatIpv4Cidr(network) + " dev " + ShellQuote(name);
}

void HubTun::Open(const std::string& name) {
  // Offload headers let the relay hand the kernel whole bursts of one flow at once.
  tun_.Open(name, /*offloadHeader=*/true);
  for (const std::string& command : HubTunSetupCommands(tun_.name())) {
    if (RunCommand(command) != 0) {
      tun_.Close();
      throw std::runtime_error("Hub TUN setup failed: " + command);
    }
  }
}

void HubTun::AddRoute(const Ipv4Network& network) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tun_.fd() < 0 || !routed_.insert({network.address, network.prefixLength}).second) {
    return;
  }
  const std::string command = HubTunRouteCommand(tun_.name(), network);
  if (command.empty()) {
    g_log.Write("WARN", "Not routing shared network " + FormatIpv4Cidr(network) + " into " +
                            tun_.name() + ": it covers the overlay or everything.");
    return;
  }
  RunCommand(command);
}

}  // namespace larkspire
