#include "netcfg/health.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "netcfg/rule_watcher.h"
#include "support/command_recorder.h"
#include "support/iptables_model.h"
#include "support/stdout_capture.h"
#include "util/json.h"

namespace larkspire {
namespace {

using ::testing::HasSubstr;

// One line per check, "kind subject=value ok|FAIL".
std::string Describe(const GatewayHealth& health) {
  std::string text;
  for (const HealthCheck& check : health.checks) {
    text += check.kind + " " + check.subject + "=" + check.value + (check.ok ? " ok\n" : " FAIL\n");
  }
  return text;
}

int CountOccurrences(const std::string& text, const std::string& fragment) {
  int count = 0;
  for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) {
    ++count;
  }
  return count;
}

TEST(GatewayHealthTest, MissingTunAndUnknownNamesAreReportedNotThrown) {
  CommandRecorder recorder;  // keeps the rule checks away from the host's firewall
  const GatewayHealth health = CheckGatewayHealth({"ls-none-tun", {"../x"}}, false, {}, 100);
  const std::string text = Describe(health);
  EXPECT_THAT(text, HasSubstr("tunUp ls-none-tun=missing FAIL\n"));
  EXPECT_THAT(text, HasSubstr("tunAddress ls-none-tun=absent FAIL\n"));
  EXPECT_THAT(text, HasSubstr("rpFilter ../x=unknown FAIL\n"));
  EXPECT_THAT(text, HasSubstr("heartbeat =0 FAIL\n"));  // never accepted
  EXPECT_FALSE(health.Healthy());
}

TEST(GatewayHealthTest, JsonCarriesEveryCheckAndOnlyRequiredOnesDecide) {
  GatewayHealth health;
  health.applied = true;
  health.target = {"larkspire0", {"eth0", "we\"ird"}, true};
  health.checkedAt = 42;
  health.relay.udp.bytesFromHub = 7;
  health.checks = {{"ipForward", "", "1", true}, {"udp", "", "down", false, false}};
  std::string json = RenderGatewayHealthJson(health);
  EXPECT_TRUE(JsonBoolValue(json, "healthy", false));
  EXPECT_TRUE(JsonBoolValue(json, "applied", false));
  EXPECT_TRUE(JsonBoolValue(json, "overlayCanReachEdge", false));
  EXPECT_EQ(JsonStringArrayValue(json, "uplinks"), (std::vector<std::string>{"eth0", "we\"ird"}));
  EXPECT_THAT(json, HasSubstr("\"checks\":[{\"kind\":\"ipForward\",\"subject\":\"\",\"value\":"
                              "\"1\",\"ok\":true,\"required\":true},{\"kind\":\"udp\""));
  EXPECT_EQ(JsonFindRaw(JsonFindRaw(JsonFindRaw(json, "relay"), "udp"), "bytesFromHub"), "7");

  health.checks.push_back({"rule", "FORWARD ...", "missing", false});
  json = RenderGatewayHealthJson(health);
  EXPECT_FALSE(JsonBoolValue(json, "healthy", true));
}

// A rule another tool removed is put back with one WARN line and one count per restoration;
// one that cannot be put back is reported once per disappearance, however often it is checked;
// with nothing applied nothing is checked.
TEST(GatewayRuleWatcherTest, RestoresRemovedRulesAndReportsEachOnce) {
  const GatewayTarget target{"larkspire0", {"eth0"}, false};
  IptablesModel model;
  for (const GatewayRule& rule : BuildGatewayRules(target)) {
    ASSERT_EQ(RunCommandQuiet(rule.AddCommand()), 0);
  }
  const IptablesModel::Chains applied = model.Rules();
  const std::string masquerade = "-t nat POSTROUTING -s 10.250.0.0/16 -o eth0 -j MASQUERADE";
  auto removeMasquerade = [&] {
    IptablesModel::Chains rules = applied;
    rules.erase("nat POSTROUTING");
    model.SetRules(rules);
  };
  const uint64_t restoredBefore = g_metrics.gatewayRulesRestored.load();
  PublishAppliedGateway(target);
  GatewayRuleWatcher watcher;
  StdoutCapture log;
  removeMasquerade();
  watcher.CheckNow();
  watcher.CheckNow();
  EXPECT_EQ(model.Rules(), applied);
  removeMasquerade();
  model.RefuseAdditions(true);
  watcher.CheckNow();
  watcher.CheckNow();
  model.RefuseAdditions(false);
  watcher.CheckNow();
  EXPECT_EQ(model.Rules(), applied);
  WithdrawAppliedGateway();
  removeMasquerade();
  watcher.CheckNow();
  const std::string logged = log.Stop();
  EXPECT_EQ(CountOccurrences(logged, "WARN Gateway rule restored: iptables " + masquerade + "."), 2)
      << logged;
  EXPECT_EQ(CountOccurrences(logged, "WARN Gateway rule missing: iptables " + masquerade + "."), 1)
      << logged;
  EXPECT_EQ(CountOccurrences(logged, "WARN"), 3) << logged;
  EXPECT_EQ(g_metrics.gatewayRulesRestored.load() - restoredBefore, 2u);
  EXPECT_NE(model.Rules(), applied) << "checked with nothing applied";
}

}  // namespace
}  // namespace larkspire
