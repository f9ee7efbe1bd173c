#include "netcfg/configurator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "netcfg/health.h"
#include "netcfg/rule_watcher.h"
#include "support/iptables_model.h"
#include "support/stdout_capture.h"
#include "util/command.h"
#include "util/metrics.h"
#include "util/text.h"

namespace larkspire {
namespace {

using Chains = IptablesModel::Chains;

// The host's own firewall, which the gateway must neither touch nor jump ahead of with an
// ACCEPT, except by the rules that must come first.
const Chains kHostRules = {
    {"filter INPUT", {"-p tcp --dport 22 -j ACCEPT"}},
    {"filter FORWARD", {"-i peer0 -j ACCEPT"}},
    {"nat POSTROUTING", {"-o peer0 -j MASQUERADE"}},
};

TEST(Gateway, ApplyLeavesExactlyTheseRulesInTheirPlaces) {
  StdoutCapture quiet;
  IptablesModel model(kHostRules);
  LinuxNetworkConfigurator configurator;
  configurator.Apply({"larkspire0", {"eth0"}, false});
  const std::string notReply = " -m state ! --state RELATED,ESTABLISHED -j DROP";
  const std::string clamp = " -p tcp -m tcp --tcp-flags SYN,RST SYN -j TCPMSS --set-mss 1360";
  EXPECT_EQ(model.Rules(),
            (Chains{{"filter INPUT",
                     {"-i 'larkspire0' -p icmp -m icmp ! --icmp-type echo-request" + notReply,
                      "-i 'larkspire0' ! -p icmp" + notReply, "-p tcp --dport 22 -j ACCEPT"}},
                    {"filter FORWARD",
                     {"-o 'larkspire0'" + clamp, "-i 'larkspire0'" + clamp, "-i peer0 -j ACCEPT",
                      "-i 'larkspire0' -o 'eth0' -j ACCEPT",
                      "-i 'eth0' -o 'larkspire0' -m state --state RELATED,ESTABLISHED -j ACCEPT"}},
                    {"nat POSTROUTING",
                     {"-o peer0 -j MASQUERADE", "-s 10.250.0.0/16 -o 'eth0' -j MASQUERADE"}},
                    {"address", {"100.79.255.1/32 dev 'larkspire0'"}},
                    {"route", {"10.250.0.0/16 dev 'larkspire0'"}}}));
}

// Each rule of `target` once besides the host's (sorted: the test above pins the places).
void ExpectApplied(Chains state, const GatewayTarget& target) {
  Chains expected = kHostRules;
  expected["address"] = {"100.79.255.1/32 dev " + ShellQuote(target.tunName)};
  expected["route"] = {"10.250.0.0/16 dev " + ShellQuote(target.tunName)};
  for (const GatewayRule& rule : BuildGatewayRules(target)) {
    expected[(rule.table.empty() ? "filter" : rule.table) + " " + rule.chain].push_back(
        rule.quotedSpec);
  }
  for (Chains* chains : {&expected, &state}) {
    for (auto& [name, rules] : *chains) {
      std::sort(rules.begin(), rules.end());
    }
  }
  EXPECT_EQ(state, expected);
}

// Random applies, cleanups and rules deleted by another tool then restored by the watcher:
// the latest target's rules are there once, and cleanup leaves the host's state as it was.
TEST(Gateway, CleanupUndoesApplyAndApplyAddsEachRuleOnce) {
  std::mt19937 random(20261207);
  auto randomTarget = [&random] {
    GatewayTarget target{"larkspire0", {}, random() % 2 == 0};
    for (const std::string name : {"eth0", "wlan0", "it's; reboot"}) {
      if (random() % 2 == 0) {
        target.uplinks.push_back(name);
      }
    }
    return target;
  };
  StdoutCapture quiet;
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    GatewayTarget current = randomTarget();
    IptablesModel model(kHostRules);
    {
      LinuxNetworkConfigurator configurator;
      GatewayRuleWatcher watcher;
      configurator.Apply(current);
      for (int step = 0; step < 8; ++step) {
        switch (random() % 4) {
          case 0:
            current = randomTarget();
            [[fallthrough]];
          case 1:
            configurator.Apply(current);
            break;
          case 2: {  // another tool deletes one of the rules
            const std::vector<GatewayRule> rules = BuildGatewayRules(current);
            RunCommandQuiet(rules[random() % rules.size()].DeleteCommand());
            watcher.CheckNow();
            break;
          }
          default:
            configurator.Cleanup();
            configurator.Cleanup();
        }
        if (configurator.applied()) {
          ExpectApplied(model.Rules(), current);
        } else {
          EXPECT_EQ(model.Rules(), kHostRules);
        }
      }
    }
    EXPECT_EQ(model.Rules(), kHostRules) << "after the destructor";
  }
}

// A rule that cannot be put back is reported once per loss, and counted when restored; with
// nothing applied nothing is checked. Only required checks decide the health.
TEST(Gateway, TheWatcherReportsEachLossOnce) {
  const GatewayTarget target{"larkspire0", {"eth0"}, false};
  IptablesModel model;
  PublishAppliedGateway(target);
  GatewayRuleWatcher watcher;
  watcher.CheckNow();
  const Chains applied = model.Rules();
  const uint64_t restoredBefore = g_metrics.gatewayRulesRestored.load();
  StdoutCapture log;
  model.SetRules({});
  model.RefuseAdditions(true);
  watcher.CheckNow();
  watcher.CheckNow();
  model.RefuseAdditions(false);
  watcher.CheckNow();
  EXPECT_EQ(model.Rules(), applied);
  WithdrawAppliedGateway();
  model.SetRules({});
  watcher.CheckNow();
  const std::string logged = log.Stop();
  const size_t rules = BuildGatewayRules(target).size();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 2 * rules) << logged;
  EXPECT_EQ(g_metrics.gatewayRulesRestored.load() - restoredBefore, rules);
  EXPECT_EQ(model.Rules(), Chains{}) << "checked with nothing applied";

  GatewayHealth health;
  health.checks = {{"ipForward", "", "1", true}, {"udp", "", "down", false, false}};
  EXPECT_TRUE(health.Healthy());
  health.checks.push_back({"rule", "FORWARD ...", "missing", false});
  EXPECT_FALSE(health.Healthy());
}

}  // namespace
}  // namespace larkspire
