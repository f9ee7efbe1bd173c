#include "netcfg/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <tuple>

namespace larkspire {
namespace {

struct IfaddrsDeleter {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
using IfaddrsList = std::unique_ptr<ifaddrs, IfaddrsDeleter>;

IfaddrsList ReadInterfaceList() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    throw std::runtime_error(std::string("getifaddrs failed: ") + std::strerror(errno));
  }
  return IfaddrsList(list);
}

// Virtual interfaces have no device directory; physical ports (and only they) do.
bool HasDeviceEntry(const std::string& name) {
  struct stat info {};
  return ::stat(("/sys/class/net/" + name + "/device").c_str(), &info) == 0;
}

std::uint32_t Ipv4Of(const sockaddr* address) {
  return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
}

// The IPv4 entries of the list; entries without a name, address or mask carry nothing usable.
std::vector<InterfaceAddress> Ipv4Entries(const ifaddrs* list) {
  std::vector<InterfaceAddress> entries;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr || entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr ||
        entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    entries.push_back(
        {entry->ifa_name, entry->ifa_flags, Ipv4Of(entry->ifa_addr), Ipv4Of(entry->ifa_netmask)});
  }
  return entries;
}

}  // namespace

bool IsExcludedInterfaceName(const std::string& name) {
  static const std::vector<std::string> prefixes = {
      "lo",  "docker", "br-",       "veth", "virbr", "vmnet",   "vboxnet", "tun",
      "tap", "wg",     "tailscale", "zt",   "cni",   "flannel", "kube",    "larkspire"};
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [&](const std::string& prefix) { return name.starts_with(prefix); });
}

int PrefixLength(std::uint32_t netmask) {
  std::uint32_t bits = ntohl(netmask);
  int length = 0;
  while (length < 32 && (bits & (0x80000000u >> length)) != 0) {
    ++length;
  }
  return length;
}

std::string NetworkCidr(std::uint32_t address, std::uint32_t netmask) {
  in_addr network{};
  network.s_addr = address & netmask;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &network, text, sizeof text);
  return std::string(text) + "/" + std::to_string(PrefixLength(netmask));
}

std::vector<InterfaceNetwork> SelectHardwareNetworks(
    const std::vector<InterfaceAddress>& entries,
    const std::function<bool(const std::string& name)>& hasDevice) {
  std::vector<InterfaceNetwork> networks;
  for (const InterfaceAddress& entry : entries) {
    if ((entry.flags & (IFF_UP | IFF_LOOPBACK)) != IFF_UP || IsExcludedInterfaceName(entry.name) ||
        !hasDevice(entry.name) || entry.address == 0 || entry.netmask == 0) {
      continue;
    }
    InterfaceNetwork network{entry.name, NetworkCidr(entry.address, entry.netmask)};
    if (std::find(networks.begin(), networks.end(), network) == networks.end()) {
      networks.push_back(std::move(network));
    }
  }
  std::sort(networks.begin(), networks.end(),
            [](const InterfaceNetwork& a, const InterfaceNetwork& b) {
              return std::tie(a.name, a.cidr) < std::tie(b.name, b.cidr);
            });
  return networks;
}

std::vector<InterfaceNetwork> DetectHardwareInterfaceNetworks() {
  IfaddrsList list = ReadInterfaceList();
  return SelectHardwareNetworks(Ipv4Entries(list.get()), HasDeviceEntry);
}

}  // namespace larkspire
