#pragma once

#include <string>
#include <vector>

#include "netcfg/gateway_rules.h"

namespace larkspire {

// Owns the kernel gateway configuration for the TUN device: address, route, forwarding,
// rp_filter and the iptables rules of BuildGatewayRules. Apply adds what is missing; Cleanup
// removes what Apply added (only once per Apply) and leaves forwarding and rp_filter as
// Apply set them, since other services on the host may rely on them by then. Commands go
// through RunCommand; their failures are logged, never thrown. Used from one thread.
class LinuxNetworkConfigurator {
 public:
  LinuxNetworkConfigurator() = default;
  LinuxNetworkConfigurator(const LinuxNetworkConfigurator&) = delete;
  LinuxNetworkConfigurator& operator=(const LinuxNetworkConfigurator&) = delete;
  ~LinuxNetworkConfigurator() { Cleanup(); }

  // Applying again with the same target re-runs every command; a rule is added only when
  // its check finds it missing, so none is doubled, also after a run that ended without
  // Cleanup. Applying another target first removes what the earlier Apply set up, since
  // Cleanup only knows the latest one.
  void Apply(const GatewayTarget& target);
  void Cleanup();

  bool applied() const { return applied_; }

 private:
  bool applied_ = false;
  GatewayTarget target_;
};

}  // namespace larkspire
