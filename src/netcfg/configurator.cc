#include "netcfg/configurator.h"

#include "netcfg/health.h"
#include "util/defaults.h"
#include "util/command.h"
#include "util/logger.h"
#include "util/text.h"

namespace larkspire {
namespace {


// One iptables rule; `table` is empty for the filter table.
struct IptablesRule {
  std::string table;
  std::string chain;
  std::string match;
};

std::string IptablesCommand(const IptablesRule& rule, const std::string& action) {
  std::string command = "iptables ";
  if (!rule.table.empty()) {
    command += "-t " + rule.table + " ";
  }
  return command + action + " " + rule.chain + " " + rule.match;
}

std::string CheckRule(const IptablesRule& rule) {
  return IptablesCommand(rule, "-C") + " 2>/dev/null";
}

// "check || add": the rule is added only when the same rule is not there yet, so a restart
// after a crash (no Cleanup) does not stack copies.
std::string AddRuleOnce(const IptablesRule& rule) {
  return CheckRule(rule) + " || " + IptablesCommand(rule, "-A");
}

// A deletion that succeeds also when the rule is already gone.
std::string DeleteRule(const IptablesRule& rule) {
  return IptablesCommand(rule, "-D") + " 2>/dev/null || true";
}

// What one uplink needs, in the order of adding: overlay traffic out, replies back in, and the
// overlay sources masqueraded behind the uplink's address.
std::vector<IptablesRule> UplinkRules(const std::string& tun, const std::string& uplink) {
  return {
      {"", "FORWARD", "-i " + tun + " -o " + uplink + " -j ACCEPT"},
      {"", "FORWARD",
       "-i " + uplink + " -o " + tun + " -m state --state RELATED,ESTABLISHED -j ACCEPT"},
      {"nat", "POSTROUTING", "-s " + std::string(kOverlayNetwork) + " -o " + uplink + " -j MASQUERADE"},
  };
}

void RunAll(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) {
    RunCommand(command);
  }
}

}  // namespace

std::vector<std::string> BuildApplyCommands(const std::string& tunName,
                                            const std::vector<std::string>& uplinkInterfaces) {
  const std::string tun = ShellQuote(tunName);
  std::vector<std::string> commands = {
      "ip link set dev " + tun + " up",
      "ip link set dev " + tun + " mtu " + std::to_string(kTunnelMtu),
      "ip addr replace " + std::string(kTunnelAddressCidr) + " dev " + tun,
      "ip route replace " + std::string(kOverlayNetwork) + " dev " + tun,
      "sysctl -w net.ipv4.ip_forward=1",
      "sysctl -w net.ipv4.conf.all.rp_filter=0",
      "sysctl -w net.ipv4.conf." + tun + ".rp_filter=0",
  };
  for (const std::string& uplinkName : uplinkInterfaces) {
    const std::string uplink = ShellQuote(uplinkName);
    commands.push_back("sysctl -w net.ipv4.conf." + uplink + ".rp_filter=0");
    for (const IptablesRule& rule : UplinkRules(tun, uplink)) {
      commands.push_back(AddRuleOnce(rule));
    }
  }
  return commands;
}

std::vector<std::string> BuildCleanupCommands(const std::string& tunName,
                                              const std::vector<std::string>& uplinkInterfaces) {
  const std::string tun = ShellQuote(tunName);
  std::vector<std::string> commands;
  for (const std::string& uplinkName : uplinkInterfaces) {
    const std::string uplink = ShellQuote(uplinkName);
    // Removed in the reverse order of adding.
    std::vector<IptablesRule> rules = UplinkRules(tun, uplink);
    for (auto rule = rules.rbegin(); rule != rules.rend(); ++rule) {
      commands.push_back(DeleteRule(*rule));
    }
  }
  commands.push_back("ip route del " + std::string(kOverlayNetwork) + " dev " + tun);
  commands.push_back("ip addr flush dev " + tun);
  return commands;
}

std::vector<GatewayRuleCheck> BuildRuleChecks(const std::string& tunName,
                                              const std::vector<std::string>& uplinkInterfaces) {
  std::vector<GatewayRuleCheck> checks;
  for (const std::string& uplinkName : uplinkInterfaces) {
    // The shown rule names the interfaces plainly; the command quotes them.
    const std::vector<IptablesRule> shown = UplinkRules(tunName, uplinkName);
    const std::vector<IptablesRule> quoted =
        UplinkRules(ShellQuote(tunName), ShellQuote(uplinkName));
    for (size_t i = 0; i < shown.size(); ++i) {
      const std::string table = shown[i].table.empty() ? "" : "-t " + shown[i].table + " ";
      checks.push_back(
          {uplinkName, table + shown[i].chain + " " + shown[i].match, CheckRule(quoted[i])});
    }
  }
  return checks;
}

void LinuxNetworkConfigurator::Apply(const std::string& tunName,
                                     const std::vector<std::string>& uplinkInterfaces) {
  if (applied_ && (tunName != tunName_ || uplinkInterfaces != uplinkInterfaces_)) {
    Cleanup();
  }
  tunName_ = tunName;
  uplinkInterfaces_ = uplinkInterfaces;
  RunAll(BuildApplyCommands(tunName_, uplinkInterfaces_));
  applied_ = true;
  PublishAppliedGateway({tunName_, uplinkInterfaces_});
  g_log.Write("INFO", "Linux forwarding and NAT rules applied for " + tunName_ + " -> " +
                          JoinStrings(uplinkInterfaces_, ", "));
}

void LinuxNetworkConfigurator::Cleanup() {
  if (!applied_) {
    return;
  }
  WithdrawAppliedGateway();
  RunAll(BuildCleanupCommands(tunName_, uplinkInterfaces_));
  applied_ = false;
}

}  // namespace larkspire
