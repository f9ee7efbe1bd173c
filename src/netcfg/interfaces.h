#pragma once

#include <string>
#include <vector>

namespace larkspire {

// One detected hardware interface and the IPv4 network on it.
struct InterfaceNetwork {
  std::string name;
  std::string cidr;  // network address / prefix length, e.g. 192.168.1.0/24
};

// Physical interfaces that are up, with their IPv4 networks, sorted by name then cidr.
// Throws "getifaddrs failed: <reason>".
std::vector<InterfaceNetwork> DetectHardwareInterfaceNetworks();
// True for names of loopback, container, VM, VPN and our own TUN interfaces.
bool IsExcludedInterfaceName(const std::string& name);

}  // namespace larkspire
