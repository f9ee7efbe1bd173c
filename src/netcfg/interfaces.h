#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace larkspire {

// One detected hardware interface and the IPv4 network on it.
struct InterfaceNetwork {
  std::string name;
  std::string cidr;  // network address / prefix length, e.g. 192.168.1.0/24

  friend bool operator==(const InterfaceNetwork&, const InterfaceNetwork&) = default;
};

// Physical interfaces that are up, with their IPv4 networks, sorted by name then cidr.
// Throws "getifaddrs failed: <reason>".
std::vector<InterfaceNetwork> DetectHardwareInterfaceNetworks();
// True for names of loopback, container, VM, VPN and our own TUN interfaces.
bool IsExcludedInterfaceName(const std::string& name);

// One IPv4 address of an interface as the kernel lists it; the raw input of the detection.
struct InterfaceAddress {
  std::string name;
  unsigned int flags = 0;     // IFF_* bits
  std::uint32_t address = 0;  // network byte order
  std::uint32_t netmask = 0;  // network byte order
};

// The detection without the kernel: keeps the entries that are up, not loopback, not
// excluded by name, backed by a device (`hasDevice(name)`, asked only for the survivors) and
// with a non-zero address and mask; one record per name and network, sorted.
std::vector<InterfaceNetwork> SelectHardwareNetworks(
    const std::vector<InterfaceAddress>& entries,
    const std::function<bool(const std::string& name)>& hasDevice);

// Length of the leading run of one-bits of a netmask (network byte order); a non-contiguous
// mask counts only that run.
int PrefixLength(std::uint32_t netmask);
// "a.b.c.d/len": the network address (address AND mask) and the mask's prefix length.
std::string NetworkCidr(std::uint32_t address, std::uint32_t netmask);

}  // namespace larkspire
