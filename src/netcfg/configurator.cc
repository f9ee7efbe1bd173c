#include "netcfg/configurator.h"

#include "util/command.h"
#include "util/defaults.h"
#include "util/logger.h"
#include "util/text.h"

namespace larkspire {
namespace {

std::vector<std::string> DeviceApplyCommands(const GatewayTarget& target) {
  const std::string tun = ShellQuote(target.tunName);
  std::vector<std::string> commands = {
      "ip link set dev " + tun + " up",
      "ip link set dev " + tun + " mtu " + std::to_string(kTunnelMtu),
      "ip addr replace " + std::string(kTunnelAddressCidr) + " dev " + tun,
      "ip route replace " + std::string(kOverlayNetwork) + " dev " + tun,
      "sysctl -w net.ipv4.ip_forward=1",
      "sysctl -w net.ipv4.conf.all.rp_filter=0",
      "sysctl -w net.ipv4.conf." + tun + ".rp_filter=0",
  };
  for (const std::string& uplink : target.uplinks) {
    commands.push_back("sysctl -w net.ipv4.conf." + ShellQuote(uplink) + ".rp_filter=0");
  }
  return commands;
}

}  // namespace

void LinuxNetworkConfigurator::Apply(const GatewayTarget& target) {
  if (applied_ && target != target_) {
    Cleanup();
  }
  target_ = target;
  for (const std::string& command : DeviceApplyCommands(target_)) {
    RunCommand(command);
  }
  for (const GatewayRule& rule : BuildGatewayRules(target_)) {
    if (!GatewayRulePresent(rule)) {
      RunCommand(rule.AddCommand());
    }
  }
  applied_ = true;
  PublishAppliedGateway(target_);
  g_log.Write("INFO", "Linux forwarding and NAT rules applied for " + target_.tunName + " -> " +
                          JoinStrings(target_.uplinks, ", "));
  if (target_.overlayCanReachEdge) {
    g_log.Write("INFO",
                "overlayCanReachEdge is on: the overlay may open connections to "
                "this machine's own services");
  }
}

void LinuxNetworkConfigurator::Cleanup() {
  if (!applied_) {
    return;
  }
  WithdrawAppliedGateway();
  const std::vector<GatewayRule> rules = BuildGatewayRules(target_);
  // Removed in the reverse order of adding, one copy each, and only when present, so a rule
  // another tool already removed costs no failed command.
  for (auto rule = rules.rbegin(); rule != rules.rend(); ++rule) {
    if (GatewayRulePresent(*rule)) {
      RunCommand(rule->DeleteCommand());
    }
  }
  const std::string tun = ShellQuote(target_.tunName);
  RunCommand("ip route del " + std::string(kOverlayNetwork) + " dev " + tun);
  RunCommand("ip addr flush dev " + tun);
  applied_ = false;
}

}  // namespace larkspire
