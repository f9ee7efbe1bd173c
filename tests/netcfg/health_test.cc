#include "netcfg/health.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "netcfg/configurator.h"
#include "support/command_recorder.h"
#include "support/namespaces.h"
#include "support/stdout_capture.h"
#include "util/json.h"

namespace larkspire {
namespace {

using ::testing::HasSubstr;
using testing_support::RunInFreshNamespaces;
using testing_support::RunOrThrow;

const std::string kForwardOut = "FORWARD -i larkspire0 -o eth0 -j ACCEPT";
const std::string kMasquerade = "-t nat POSTROUTING -s 10.250.0.0/16 -o eth0 -j MASQUERADE";

// One line per check, "kind subject=value ok|FAIL", easy to compare across the fork.
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

// The faults operators meet in the field, made by hand in a private namespace after a real
// Apply: forwarding switched off, strict reverse-path filtering, a rule wiped by another tool.
TEST(GatewayHealthInNamespaceTest, ReportsEachFaultAndLogsAMissingRuleOnce) {
  const std::string kSeparator = "=====\n";
  const std::string report = RunInFreshNamespaces([&] {
    RunOrThrow("ip link set lo up");
    RunOrThrow("ip tuntap add dev larkspire0 mode tun");
    RunOrThrow("ip link add eth0 type veth peer name peer0");
    RunOrThrow("ip link set eth0 up");
    LinuxNetworkConfigurator configurator;
    configurator.Apply("larkspire0", {"eth0"});
    MetricsSnapshot relay;
    relay.webSocket.up = true;
    relay.lastHeartbeatAcceptedTime = 1000;
    GatewayTarget target;
    if (!AppliedGateway(target)) {
      throw std::runtime_error("Apply did not publish the gateway");
    }
    const GatewayHealth good = CheckGatewayHealth(target, true, relay, 1010);

    RunOrThrow("sysctl -qw net.ipv4.ip_forward=0");
    RunOrThrow("sysctl -qw net.ipv4.conf.all.rp_filter=1");
    RunOrThrow("iptables -D " + kForwardOut);
    StdoutCapture log;
    GatewayRuleWatcher watcher;
    watcher.CheckNow();
    const GatewayHealth bad = CheckGatewayHealth(target, true, relay, 1200);
    watcher.CheckNow();
    watcher.CheckNow();
    RunOrThrow("iptables -A " + kForwardOut);
    watcher.CheckNow();
    const std::string logged = log.Stop();
    return Describe(good) + (good.Healthy() ? "healthy\n" : "unhealthy\n") + kSeparator +
           Describe(bad) + (bad.Healthy() ? "healthy\n" : "unhealthy\n") + kSeparator + logged;
  });
  const size_t first = report.find(kSeparator);
  const size_t second = report.find(kSeparator, first + 1);
  ASSERT_NE(second, std::string::npos) << report;
  const std::string good = report.substr(0, first);
  const std::string bad =
      report.substr(first + kSeparator.size(), second - first - kSeparator.size());
  const std::string logged = report.substr(second + kSeparator.size());

  EXPECT_EQ(good,
            "ipForward =1 ok\n"
            "rpFilter all=0 ok\n"
            "rpFilter larkspire0=0 ok\n"
            "rpFilter eth0=0 ok\n"
            "tunUp larkspire0=up ok\n"
            "tunAddress larkspire0=100.79.255.1/32 ok\n"
            "tunRoute larkspire0=10.250.0.0/16 ok\n"
            "rule " +
                kForwardOut +
                "=present ok\n"
                "rule FORWARD -i eth0 -o larkspire0 -m state --state RELATED,ESTABLISHED -j ACCEPT"
                "=present ok\n"
                "rule " +
                kMasquerade +
                "=present ok\n"
                "webSocket =up ok\n"
                "udp =down FAIL\n"
                "heartbeat =1000 ok\n"
                "healthy\n");
  EXPECT_THAT(bad, HasSubstr("ipForward =0 FAIL\n"));
  EXPECT_THAT(bad, HasSubstr("rpFilter all=1 FAIL\n"));
  EXPECT_THAT(bad, HasSubstr("rule " + kForwardOut + "=missing FAIL\n"));
  EXPECT_THAT(bad, HasSubstr("rule " + kMasquerade + "=present ok\n"));
  EXPECT_THAT(bad, HasSubstr("heartbeat =1000 FAIL\n"));  // 200 s old
  EXPECT_THAT(bad, HasSubstr("unhealthy\n"));

  EXPECT_EQ(CountOccurrences(logged, "WARN Gateway rule missing: iptables " + kForwardOut), 1)
      << logged;
  EXPECT_EQ(CountOccurrences(logged, "WARN"), 1) << logged;
  EXPECT_EQ(CountOccurrences(logged, "INFO Gateway rule present again: iptables " + kForwardOut), 1)
      << logged;
  EXPECT_EQ(CountOccurrences(logged, "exec:"), 0) << "checks must not flood the log:\n" << logged;
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
  health.target = {"larkspire0", {"eth0", "we\"ird"}};
  health.checkedAt = 42;
  health.relay.udp.bytesFromHub = 7;
  health.checks = {{"ipForward", "", "1", true}, {"udp", "", "down", false, false}};
  std::string json = RenderGatewayHealthJson(health);
  EXPECT_TRUE(JsonBoolValue(json, "healthy", false));
  EXPECT_TRUE(JsonBoolValue(json, "applied", false));
  EXPECT_EQ(JsonStringArrayValue(json, "uplinks"), (std::vector<std::string>{"eth0", "we\"ird"}));
  EXPECT_THAT(json, HasSubstr("\"checks\":[{\"kind\":\"ipForward\",\"subject\":\"\",\"value\":"
                              "\"1\",\"ok\":true,\"required\":true},{\"kind\":\"udp\""));
  EXPECT_EQ(JsonFindRaw(JsonFindRaw(JsonFindRaw(json, "relay"), "udp"), "bytesFromHub"), "7");

  health.checks.push_back({"rule", "FORWARD ...", "missing", false});
  json = RenderGatewayHealthJson(health);
  EXPECT_FALSE(JsonBoolValue(json, "healthy", true));
}

// The watcher's memory, without root: a rule that stays missing is reported once, and a
// second disappearance after it came back is reported again.
TEST(GatewayRuleWatcherTest, WarnsOncePerDisappearance) {
  CommandRecorder recorder;
  bool missing = true;
  recorder.SetDefault([&missing](const std::string& command) {
    return missing && command.find("MASQUERADE") != std::string::npos ? 256 : 0;
  });
  PublishAppliedGateway({"larkspire0", {"eth0"}});
  GatewayRuleWatcher watcher;
  StdoutCapture log;
  watcher.CheckNow();
  watcher.CheckNow();
  missing = false;
  watcher.CheckNow();
  missing = true;
  watcher.CheckNow();
  watcher.CheckNow();
  WithdrawAppliedGateway();
  watcher.CheckNow();  // nothing applied: nothing checked
  const std::string logged = log.Stop();
  EXPECT_EQ(CountOccurrences(logged, "WARN Gateway rule missing: iptables " + kMasquerade + "."), 2)
      << logged;
  EXPECT_EQ(CountOccurrences(logged, "INFO Gateway rule present again"), 1) << logged;
  EXPECT_EQ(recorder.Commands().size(), 15u);  // three rules, five checks while applied
  EXPECT_EQ(recorder.Commands().front(),
            "iptables -C FORWARD -i 'larkspire0' -o 'eth0' -j ACCEPT 2>/dev/null");
}

TEST(GatewayRuleWatcherTest, ThreadChecksPeriodicallyAndStopsPromptly) {
  CommandRecorder recorder;
  PublishAppliedGateway({"larkspire0", {"eth0"}});
  GatewayRuleWatcher watcher(1);
  watcher.Start();
  for (int i = 0; i < 100 && recorder.Commands().size() < 6; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  watcher.Stop();
  WithdrawAppliedGateway();
  EXPECT_GE(recorder.Commands().size(), 6u) << "two rounds of checks";
}

}  // namespace
}  // namespace larkspire
