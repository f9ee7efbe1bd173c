#include "netcfg/health.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdio>
#include <sstream>

#include "netcfg/interfaces.h"
#include "util/clock.h"
#include "util/defaults.h"
#include "util/file.h"

namespace larkspire {
namespace {

const std::string kUnknown = "unknown";

// The first line of a /proc or /sys file, trimmed; "unknown" when unreadable.
std::string ReadFirstLine(const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string line;
  if (!std::getline(in, line)) {
    return kUnknown;
  }
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

// A kernel interface name never holds "/", and "." or ".." would leave the folder.
bool UsableInPath(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

HealthCheck SysctlCheck(const std::string& kind, const std::string& subject,
                        const std::string& path, bool (*good)(const std::string&)) {
  const std::string value = ReadFirstLine(path);
  return {kind, subject, value, value != kUnknown && good(value)};
}

// Strict reverse-path filtering (1) drops replies that come back through the TUN device;
// off (0) and loose (2) let them pass.
HealthCheck RpFilterCheck(const std::string& name) {
  if (!UsableInPath(name)) {
    return {"rpFilter", name, kUnknown, false};
  }
  return SysctlCheck("rpFilter", name, "/proc/sys/net/ipv4/conf/" + name + "/rp_filter",
                     [](const std::string& value) { return value == "0" || value == "2"; });
}

HealthCheck TunUpCheck(const std::string& tun) {
  const std::string flags =
      UsableInPath(tun) ? ReadFirstLine("/sys/class/net/" + tun + "/flags") : kUnknown;
  if (flags == kUnknown) {
    return {"tunUp", tun, "missing", false};
  }
  unsigned long bits = 0;
  try {
    bits = std::stoul(flags, nullptr, 16);
  } catch (const std::exception&) {
    return {"tunUp", tun, kUnknown, false};
  }
  const bool up = (bits & IFF_UP) != 0;
  return {"tunUp", tun, up ? "up" : "down", up};
}

HealthCheck TunAddressCheck(const std::string& tun) {
  ifaddrs* list = nullptr;
  bool found = false;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
          entry->ifa_name == nullptr || tun != entry->ifa_name) {
        continue;
      }
      char text[INET_ADDRSTRLEN] = {};
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
      found = found || std::string(kTunnelAddress) == text;
    }
    ::freeifaddrs(list);
  }
  return {"tunAddress", tun, found ? kTunnelAddressCidr : "absent", found};
}

// How /proc/net/route writes an address: the 32-bit word as stored, in upper-case hex.
std::string HexWord(in_addr address) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(address.s_addr));
  return text;
}

// /proc/net/route lists destination and mask as hexadecimal words in the kernel's byte order.
HealthCheck TunRouteCheck(const std::string& tun) {
  in_addr destination{};
  in_addr mask{};
  ::inet_pton(AF_INET, kOverlayNetworkAddress, &destination);
  ::inet_pton(AF_INET, kOverlayNetmask, &mask);
  std::istringstream routes(ReadFile("/proc/net/route"));
  std::string line;
  std::getline(routes, line);  // header
  bool found = false;
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string name, destinationHex, gateway, flags, refs, use, metric, maskHex;
    fields >> name >> destinationHex >> gateway >> flags >> refs >> use >> metric >> maskHex;
    if (name == tun && destinationHex == HexWord(destination) && maskHex == HexWord(mask)) {
      found = true;
    }
  }
  return {"tunRoute", tun, found ? kOverlayNetwork : "absent", found};
}

std::vector<HealthCheck> RelayChecks(const MetricsSnapshot& relay, int64_t now) {
  const int64_t last = relay.lastHeartbeatAcceptedTime;
  const bool fresh = last > 0 && now - last <= kHeartbeatStaleSeconds;
  return {
      {"webSocket", "", relay.webSocket.up ? "up" : "down", relay.webSocket.up},
      {"udp", "", relay.udp.up ? "up" : "down", relay.udp.up, false},
      {"heartbeat", "", std::to_string(last), fresh},
  };
}

std::vector<std::string> DetectedUplinks() {
  std::vector<std::string> names;
  try {
    for (const InterfaceNetwork& network : DetectHardwareInterfaceNetworks()) {
      if (names.empty() || names.back() != network.name) {
        names.push_back(network.name);
      }
    }
  } catch (const std::exception&) {
    // Without an interface list the report simply names no uplink.
  }
  return names;
}

}  // namespace

bool GatewayHealth::Healthy() const {
  for (const HealthCheck& check : checks) {
    if (check.required && !check.ok) {
      return false;
    }
  }
  return true;
}

GatewayHealth CheckGatewayHealth(const GatewayTarget& target, bool applied,
                                 const MetricsSnapshot& relay, int64_t now) {
  GatewayHealth health{applied, target, {}, relay, now};
  std::vector<HealthCheck>& checks = health.checks;
  checks.push_back(SysctlCheck("ipForward", "", "/proc/sys/net/ipv4/ip_forward",
                               [](const std::string& value) { return value == "1"; }));
  checks.push_back(RpFilterCheck("all"));
  checks.push_back(RpFilterCheck(target.tunName));
  for (const std::string& uplink : target.uplinks) {
    checks.push_back(RpFilterCheck(uplink));
  }
  checks.push_back(TunUpCheck(target.tunName));
  checks.push_back(TunAddressCheck(target.tunName));
  checks.push_back(TunRouteCheck(target.tunName));
  for (const GatewayRule& rule : BuildGatewayRules(target)) {
    const bool present = GatewayRulePresent(rule);
    checks.push_back({"rule", rule.shown, present ? "present" : "missing", present});
  }
  for (HealthCheck& check : RelayChecks(relay, now)) {
    checks.push_back(std::move(check));
  }
  return health;
}

GatewayHealth CheckCurrentGatewayHealth() {
  GatewayTarget target;
  const bool applied = AppliedGateway(target);
  if (!applied) {
    target = {kTunnelName, DetectedUplinks(), false};
  }
  return CheckGatewayHealth(target, applied, TakeMetricsSnapshot(), UnixSeconds());
}

}  // namespace larkspire
