#include "netcfg/configurator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "netcfg/rule_watcher.h"
#include "support/iptables_model.h"
#include "support/stdout_capture.h"
#include "util/command.h"

namespace larkspire {
namespace {

using Chains = IptablesModel::Chains;

// The host's own firewall, which no sequence of the configurator's may touch or jump ahead
// of with an ACCEPT.
const Chains kHostRules = {
    {"filter INPUT", {"-p tcp --dport 22 -j ACCEPT"}},
    {"filter FORWARD", {"-i peer0 -j ACCEPT"}},
    {"nat POSTROUTING", {"-o peer0 -j MASQUERADE"}},
};

std::string ChainOf(const GatewayRule& rule) {
  return (rule.table.empty() ? "filter" : rule.table) + " " + rule.chain;
}

// Chains compared as sorted lists: the order within a chain is checked by ExpectPlaces.
Chains Sorted(Chains chains) {
  for (auto& [name, rules] : chains) {
    std::sort(rules.begin(), rules.end());
  }
  return chains;
}

// The host's rules plus each rule of `target` once.
Chains Expected(const GatewayTarget& target) {
  Chains chains = kHostRules;
  for (const GatewayRule& rule : BuildGatewayRules(target)) {
    chains[ChainOf(rule)].push_back(rule.quotedSpec);
  }
  return Sorted(chains);
}

// A rule the gateway puts at the head of its chain sits before the host's own rule there; the
// others come after it.
void ExpectPlaces(const Chains& state, const GatewayTarget& target) {
  for (const GatewayRule& rule : BuildGatewayRules(target)) {
    const std::vector<std::string>& chain = state.at(ChainOf(rule));
    auto place = [&](const std::string& text) {
      return std::find(chain.begin(), chain.end(), text) - chain.begin();
    };
    EXPECT_EQ(place(rule.quotedSpec) < place(kHostRules.at(ChainOf(rule)).front()), rule.atHead)
        << rule.shown;
  }
}

GatewayTarget RandomTarget(std::mt19937& random) {
  const std::vector<std::string> names = {"eth0", "wlan0", "it's; reboot"};
  GatewayTarget target{"larkspire0", {}, random() % 2 == 0};
  for (const std::string& name : names) {
    if (random() % 2 == 0) {
      target.uplinks.push_back(name);
    }
  }
  return target;
}

// Random sequences of applies (same or other uplinks, the overlay let in or not), cleanups,
// and rules deleted by another tool and restored by the watcher, sometimes after a killed run
// left its rules behind: after each Apply and each watcher check every rule of the latest
// target is there exactly once, at the head of its chain where it must be, and nothing of
// earlier targets is; after Cleanup (once or twice, or by the destructor) the host's firewall
// is as it was.
TEST(ConfiguratorStateTest, CleanupUndoesApplyAndApplyAddsEachRuleOnce) {
  std::mt19937 random(20261207);
  StdoutCapture quiet;
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    GatewayTarget current = RandomTarget(random);
    IptablesModel model(kHostRules);
    if (round % 3 == 0) {
      Chains leftover;
      {
        LinuxNetworkConfigurator killed;
        killed.Apply(current);
        leftover = model.Rules();
      }
      model.SetRules(leftover);
    }
    {
      LinuxNetworkConfigurator configurator;
      GatewayRuleWatcher watcher;
      auto expectApplied = [&] {
        const Chains state = model.Rules();
        EXPECT_EQ(Sorted(state), configurator.applied() ? Expected(current) : Sorted(kHostRules));
        if (configurator.applied()) {
          ExpectPlaces(state, current);
          EXPECT_EQ(state.at("filter INPUT").size(), current.overlayCanReachEdge ? 1u : 3u);
        }
      };
      configurator.Apply(current);
      expectApplied();
      for (int step = 0; step < 8; ++step) {
        switch (random() % 4) {
          case 0:
            current = RandomTarget(random);
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
            if (random() % 2 == 0) {
              configurator.Cleanup();
            }
        }
        expectApplied();
      }
    }
    EXPECT_EQ(Sorted(model.Rules()), Sorted(kHostRules)) << "after the destructor";
  }
}

}  // namespace
}  // namespace larkspire
