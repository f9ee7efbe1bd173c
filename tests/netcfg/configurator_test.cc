#include "netcfg/configurator.h"

#include <gtest/gtest.h>

#include "support/command_recorder.h"
#include "support/stdout_capture.h"

namespace larkspire {
namespace {

using Commands = std::vector<std::string>;

Commands Concat(std::initializer_list<Commands> parts) {
  Commands all;
  for (const Commands& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

const Commands kDeviceApply = {
    "ip link set dev 'larkspire0' up",
    "ip link set dev 'larkspire0' mtu 1400",
    "ip addr replace 100.79.255.1/32 dev 'larkspire0'",
    "ip route replace 10.250.0.0/16 dev 'larkspire0'",
    "sysctl -w net.ipv4.ip_forward=1",
    "sysctl -w net.ipv4.conf.all.rp_filter=0",
    "sysctl -w net.ipv4.conf.'larkspire0'.rp_filter=0",
};
const Commands kDeviceCleanup = {"ip route del 10.250.0.0/16 dev 'larkspire0'",
                                 "ip addr flush dev 'larkspire0'"};

// What Apply adds for one uplink, given as the shell word that names it.
Commands UplinkApply(const std::string& uplink) {
  const std::string out = "FORWARD -i 'larkspire0' -o " + uplink + " -j ACCEPT";
  const std::string back =
      "FORWARD -i " + uplink + " -o 'larkspire0' -m state --state RELATED,ESTABLISHED -j ACCEPT";
  const std::string nat = "-t nat -C POSTROUTING -s 10.250.0.0/16 -o " + uplink + " -j MASQUERADE";
  return {"sysctl -w net.ipv4.conf." + uplink + ".rp_filter=0",
          "iptables -C " + out + " 2>/dev/null || iptables -A " + out,
          "iptables -C " + back + " 2>/dev/null || iptables -A " + back,
          "iptables " + nat +
              " 2>/dev/null || iptables -t nat -A POSTROUTING -s 10.250.0.0/16 -o " + uplink +
              " -j MASQUERADE"};
}

// What Cleanup removes for one uplink: its rules in the reverse order of adding.
Commands UplinkCleanup(const std::string& uplink) {
  return {"iptables -t nat -D POSTROUTING -s 10.250.0.0/16 -o " + uplink +
              " -j MASQUERADE 2>/dev/null || true",
          "iptables -D FORWARD -i " + uplink +
              " -o 'larkspire0' -m state --state RELATED,ESTABLISHED -j ACCEPT 2>/dev/null || true",
          "iptables -D FORWARD -i 'larkspire0' -o " + uplink + " -j ACCEPT 2>/dev/null || true"};
}

// Every command "fails", so that the configurator is seen to go on regardless.
class ConfiguratorTest : public ::testing::Test {
 protected:
  void SetUp() override { recorder.FailWhenContains("", 256); }

  Commands Take() {
    Commands commands = recorder.Commands();
    recorder.Clear();
    return commands;
  }

  CommandRecorder recorder;
};

TEST_F(ConfiguratorTest, ApplyThenCleanupRunExactCommandListsDespiteFailures) {
  struct Case {
    std::vector<std::string> uplinks;
    Commands apply, cleanup;
    std::string logged;
  };
  const Case cases[] = {
      {{"eth0", "wlan0"},
       Concat({kDeviceApply, UplinkApply("'eth0'"), UplinkApply("'wlan0'")}),
       Concat({UplinkCleanup("'eth0'"), UplinkCleanup("'wlan0'"), kDeviceCleanup}),
       "INFO Linux forwarding and NAT rules applied for larkspire0 -> eth0, wlan0\n"},
      {{}, kDeviceApply, kDeviceCleanup, "applied for larkspire0 -> \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    LinuxNetworkConfigurator configurator;
    StdoutCapture capture;
    configurator.Apply("larkspire0", c.uplinks);
    const std::string log = capture.Stop();
    EXPECT_EQ(Take(), c.apply);
    EXPECT_TRUE(configurator.applied());
    // Logged although every command failed: the line reports what was attempted.
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;

    configurator.Cleanup();
    EXPECT_EQ(Take(), c.cleanup);
    EXPECT_FALSE(configurator.applied());
    configurator.Cleanup();
    EXPECT_TRUE(Take().empty()) << "second Cleanup";
  }
}

TEST_F(ConfiguratorTest, OnlyAnAppliedConfiguratorCleansUpAndTheDestructorDoesIt) {
  {
    LinuxNetworkConfigurator configurator;
    configurator.Cleanup();
    EXPECT_TRUE(Take().empty()) << "Cleanup without Apply";
    configurator.Apply("larkspire0", {"eth0"});
    Take();
  }
  EXPECT_EQ(Take(), Concat({UplinkCleanup("'eth0'"), kDeviceCleanup}));
  { LinuxNetworkConfigurator unused; }
  EXPECT_TRUE(Take().empty()) << "destructor without Apply";
}

TEST_F(ConfiguratorTest, ReapplyingWithOtherNamesFirstRemovesTheEarlierRules) {
  LinuxNetworkConfigurator configurator;
  configurator.Apply("larkspire0", {"eth0", "wlan0"});
  const Commands first = Take();
  configurator.Apply("larkspire0", {"eth0", "wlan0"});
  EXPECT_EQ(Take(), first) << "same names: everything runs again";

  configurator.Apply("larkspire0", {"eth1"});
  EXPECT_EQ(Take(), Concat({UplinkCleanup("'eth0'"), UplinkCleanup("'wlan0'"), kDeviceCleanup,
                            kDeviceApply, UplinkApply("'eth1'")}));
  configurator.Cleanup();
  EXPECT_EQ(Take(), Concat({UplinkCleanup("'eth1'"), kDeviceCleanup}))
      << "only the latest uplink is left to remove";
}

TEST(ConfiguratorCommandsTest, HostileNamesStaySingleShellWords) {
  const std::string quoted = "'it'\\''s; reboot'";
  EXPECT_EQ(BuildApplyCommands("larkspire0", {"it's; reboot"}),
            Concat({kDeviceApply, UplinkApply(quoted)}));
  EXPECT_EQ(BuildCleanupCommands("larkspire0", {"it's; reboot"}),
            Concat({UplinkCleanup(quoted), kDeviceCleanup}));
}

}  // namespace
}  // namespace larkspire
