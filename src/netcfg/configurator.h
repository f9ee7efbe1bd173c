#pragma once

#include <string>
#include <vector>

namespace larkspire {

// Owns the kernel gateway configuration for the TUN device: address, route, forwarding,
// rp_filter and the iptables forward and masquerade rules per uplink. Apply adds what is
// missing; Cleanup removes what Apply added (only once per Apply). Commands go through
// RunCommand; their failures are logged, never thrown. Used from one thread.
class LinuxNetworkConfigurator {
 public:
  LinuxNetworkConfigurator() = default;
  LinuxNetworkConfigurator(const LinuxNetworkConfigurator&) = delete;
  LinuxNetworkConfigurator& operator=(const LinuxNetworkConfigurator&) = delete;
  ~LinuxNetworkConfigurator() { Cleanup(); }

  // Applying again with the same names re-runs every command (the rules are checked before
  // they are added, so none is doubled). Applying with other names first removes what the
  // earlier Apply set up, since Cleanup only knows the latest names.
  void Apply(const std::string& tunName, const std::vector<std::string>& uplinkInterfaces);
  void Cleanup();

  bool applied() const { return applied_; }

 private:
  bool applied_ = false;
  std::string tunName_;
  std::vector<std::string> uplinkInterfaces_;
};

// The command lines Apply and Cleanup run, in order, with every name shell-quoted.
std::vector<std::string> BuildApplyCommands(const std::string& tunName,
                                            const std::vector<std::string>& uplinkInterfaces);
std::vector<std::string> BuildCleanupCommands(const std::string& tunName,
                                              const std::vector<std::string>& uplinkInterfaces);

// One of the three iptables rules Apply keeps per uplink, and the command line that asks
// whether it is in place (status 0 when it is, no output).
struct GatewayRuleCheck {
  std::string uplink;
  std::string rule;  // the rule as iptables lists it after -A/-C, e.g. "FORWARD -i ... -j ACCEPT"
  std::string checkCommand;
};
std::vector<GatewayRuleCheck> BuildRuleChecks(const std::string& tunName,
                                              const std::vector<std::string>& uplinkInterfaces);

}  // namespace larkspire
