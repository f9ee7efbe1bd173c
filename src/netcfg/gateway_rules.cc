#include "netcfg/gateway_rules.h"

#include <mutex>

#include "util/command.h"
#include "util/text.h"

namespace larkspire {
namespace {

std::mutex g_applied_mutex;
bool g_applied = false;
GatewayTarget g_applied_target;

// Waits up to 10 s for the xtables lock, so a firewall tool working at the same moment
// neither makes a check fail nor lets a rule be added twice; bounded, so a tool that holds
// the lock for good cannot hang the start or the stop.
constexpr const char* kIptables = "iptables -w 10 ";

struct RuleText {
  const char* table;
  const char* chain;
  std::string match;
  bool atHead;
};

// The rules that depend on the tunnel alone. New connections from the overlay to the edge
// itself are dropped, except pings; replies to the edge's own connections (and the ICMP
// errors about them) pass. The two DROPs do not depend on each other's position, so either
// can be restored on its own. SYNs in both directions get an MSS that fits the tunnel:
// clamping to the path MTU would only see the outgoing interface and so miss the SYN-ACKs
// that leave towards the LAN.
std::vector<RuleText> TunnelRules(const std::string& tun, bool overlayCanReachEdge) {
  const std::string notReply = " -m state ! --state RELATED,ESTABLISHED -j DROP";
  const std::string clamp =
      " -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --set-mss " + std::to_string(kTunnelMss);
  std::vector<RuleText> rules;
  if (!overlayCanReachEdge) {
    rules.push_back({"", "INPUT", "-i " + tun + " ! -p icmp" + notReply, true});
    rules.push_back({"", "INPUT",
                     "-i " + tun + " -p icmp -m icmp ! --icmp-type echo-request" + notReply, true});
  }
  rules.push_back({"", "FORWARD", "-i " + tun + clamp, true});
  rules.push_back({"", "FORWARD", "-o " + tun + clamp, true});
  return rules;
}

// What one uplink needs: overlay traffic out, replies back in, and the overlay sources
// masqueraded behind the uplink's address.
std::vector<RuleText> UplinkRules(const std::string& tun, const std::string& uplink) {
  return {
      {"", "FORWARD", "-i " + tun + " -o " + uplink + " -j ACCEPT", false},
      {"", "FORWARD",
       "-i " + uplink + " -o " + tun + " -m state --state RELATED,ESTABLISHED -j ACCEPT", false},
      {"nat", "POSTROUTING",
       "-s " + std::string(kOverlayNetwork) + " -o " + uplink + " -j MASQUERADE", false},
  };
}

std::vector<RuleText> AllRules(const std::string& tun, const std::vector<std::string>& uplinks,
                               bool overlayCanReachEdge) {
  std::vector<RuleText> rules = TunnelRules(tun, overlayCanReachEdge);
  for (const std::string& uplink : uplinks) {
    for (RuleText& rule : UplinkRules(tun, uplink)) {
      rules.push_back(std::move(rule));
    }
  }
  return rules;
}

std::string TableOption(const std::string& table) {
  return table.empty() ? "" : "-t " + table + " ";
}

}  // namespace

void PublishAppliedGateway(const GatewayTarget& target) {
  std::lock_guard<std::mutex> lock(g_applied_mutex);
  g_applied = true;
  g_applied_target = target;
}

void WithdrawAppliedGateway() {
  std::lock_guard<std::mutex> lock(g_applied_mutex);
  g_applied = false;
}

bool AppliedGateway(GatewayTarget& target) {
  std::lock_guard<std::mutex> lock(g_applied_mutex);
  if (g_applied) {
    target = g_applied_target;
  }
  return g_applied;
}

std::string GatewayRule::CheckCommand() const {
  return kIptables + TableOption(table) + "-C " + chain + " " + quotedSpec + " 2>/dev/null";
}

std::string GatewayRule::AddCommand() const {
  return kIptables + TableOption(table) + (atHead ? "-I " : "-A ") + chain + " " + quotedSpec;
}

std::string GatewayRule::DeleteCommand() const {
  return kIptables + TableOption(table) + "-D " + chain + " " + quotedSpec;
}

std::vector<GatewayRule> BuildGatewayRules(const GatewayTarget& target) {
  std::vector<std::string> quotedUplinks;
  for (const std::string& uplink : target.uplinks) {
    quotedUplinks.push_back(ShellQuote(uplink));
  }
  const std::vector<RuleText> shown =
      AllRules(target.tunName, target.uplinks, target.overlayCanReachEdge);
  const std::vector<RuleText> quoted =
      AllRules(ShellQuote(target.tunName), quotedUplinks, target.overlayCanReachEdge);
  std::vector<GatewayRule> rules;
  for (size_t i = 0; i < shown.size(); ++i) {
    rules.push_back({shown[i].table, shown[i].chain,
                     TableOption(shown[i].table) + shown[i].chain + " " + shown[i].match,
                     quoted[i].match, shown[i].atHead});
  }
  return rules;
}

bool GatewayRulePresent(const GatewayRule& rule) {
  return RunCommandQuiet(rule.CheckCommand()) == 0;
}

}  // namespace larkspire
