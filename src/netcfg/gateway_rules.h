#pragma once

#include <string>
#include <vector>

#include "util/defaults.h"

namespace larkspire {

// What the gateway is configured for: the TUN device, the uplinks whose traffic it forwards
// and masquerades, and whether the overlay may open connections to the edge machine itself.
struct GatewayTarget {
  std::string tunName;
  std::vector<std::string> uplinks;
  bool overlayCanReachEdge = false;

  friend bool operator==(const GatewayTarget&, const GatewayTarget&) = default;
};

// The configurator publishes what it applied, so that the web server thread and the rule
// watcher check exactly those names. Any thread; a lock guards the record.
void PublishAppliedGateway(const GatewayTarget& target);
void WithdrawAppliedGateway();
// True and the target while a configuration is applied in this process.
bool AppliedGateway(GatewayTarget& target);

// The largest TCP segment that fits the tunnel in one IPv4 packet (IPv4 and TCP headers
// without options take 40 bytes).
inline constexpr int kTunnelMss = kTunnelMtu - 40;

// One iptables rule the gateway keeps. `shown` names the interfaces plainly, for the health
// report and the log ("-t nat POSTROUTING -s ... -j MASQUERADE"); the commands quote them.
struct GatewayRule {
  std::string table;  // empty for the filter table
  std::string chain;
  std::string shown;
  std::string quotedSpec;
  // Inserted at the head of its chain rather than appended: a DROP must come before any
  // ACCEPT of the host's own firewall, and the MSS clamp before any ACCEPT that would end
  // the packet's walk through the chain (our own reply rule included).
  bool atHead = false;

  // Status 0 when the rule is in place; quiet.
  std::string CheckCommand() const;
  std::string AddCommand() const;
  std::string DeleteCommand() const;
};

// Every rule for `target`, in the order they are added (and removed in reverse): the edge's
// own services closed to the overlay (left out when the overlay may reach the edge), the
// MSS clamp in both directions, then per uplink the forward, reply and masquerade rules.
std::vector<GatewayRule> BuildGatewayRules(const GatewayTarget& target);

// Runs the rule's quiet check through the command seam.
bool GatewayRulePresent(const GatewayRule& rule);

}  // namespace larkspire
