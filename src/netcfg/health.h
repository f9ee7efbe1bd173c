#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netcfg/gateway_rules.h"
#include "util/metrics.h"

namespace larkspire {

// One line of the health report. `kind` says what was checked: "ipForward", "rpFilter",
// "tunUp", "tunAddress", "tunRoute", "rule", "webSocket", "udp" or "heartbeat"; `subject`
// names the interface or rule where the kind alone does not; `value` is what was found.
// A check that is not `required` (the optional UDP channel) does not make the gateway
// unhealthy when it fails.
struct HealthCheck {
  std::string kind;
  std::string subject;
  std::string value;
  bool ok = false;
  bool required = true;
};

struct GatewayHealth {
  bool applied = false;
  GatewayTarget target;
  std::vector<HealthCheck> checks;
  MetricsSnapshot relay;
  int64_t checkedAt = 0;

  bool Healthy() const;
};

// A heartbeat older than this many seconds counts as missing (three intervals).
inline constexpr int64_t kHeartbeatStaleSeconds = 95;

// Reads the kernel state for `target` and judges it together with the relay counters.
// Read-only: sysctls and interface state come from /proc and /sys, the rules from quiet
// iptables checks through the command seam. Never throws; an unreadable value is reported
// as "unknown" and not ok.
GatewayHealth CheckGatewayHealth(const GatewayTarget& target, bool applied,
                                 const MetricsSnapshot& relay, int64_t now);
// The applied gateway, or before (or without) the service the TUN name larkspire0 and the
// detected hardware interfaces as uplinks.
GatewayHealth CheckCurrentGatewayHealth();

// Compact JSON: {"healthy":..,"applied":..,"checkedAt":..,"tunName":..,"uplinks":[..],
// "overlayCanReachEdge":..,"checks":[{"kind","subject","value","ok","required"}..],
// "relay":{counters}}.
std::string RenderGatewayHealthJson(const GatewayHealth& health);

}  // namespace larkspire
