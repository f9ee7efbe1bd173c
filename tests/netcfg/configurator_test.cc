#include "netcfg/configurator.h"

#include <gtest/gtest.h>

#include "util/command.h"

namespace larkspire {
namespace {

using Commands = std::vector<std::string>;

// Keeps the command lines instead of running them; every command "fails" so that the
// configurator is seen to go on regardless.
class CommandRecorder {
 public:
  CommandRecorder() {
    previous_ = ReplaceCommandRunner([this](const std::string& command) {
      commands.push_back(command);
      return 256;
    });
  }
  ~CommandRecorder() { ReplaceCommandRunner(std::move(previous_)); }
  CommandRecorder(const CommandRecorder&) = delete;
  CommandRecorder& operator=(const CommandRecorder&) = delete;

  Commands TakeCommands() { return std::exchange(commands, {}); }

  Commands commands;

 private:
  CommandRunner previous_;
};

const Commands kApplyEth0Wlan0 = {
    "ip link set dev 'larkspire0' up",
    "ip link set dev 'larkspire0' mtu 1400",
    "ip addr replace 100.79.255.1/32 dev 'larkspire0'",
    "ip route replace 10.250.0.0/16 dev 'larkspire0'",
    "sysctl -w net.ipv4.ip_forward=1",
    "sysctl -w net.ipv4.conf.all.rp_filter=0",
    "sysctl -w net.ipv4.conf.'larkspire0'.rp_filter=0",
    "sysctl -w net.ipv4.conf.'eth0'.rp_filter=0",
    "iptables -C FORWARD -i 'larkspire0' -o 'eth0' -j ACCEPT 2>/dev/null || "
    "iptables -A FORWARD -i 'larkspire0' -o 'eth0' -j ACCEPT",
    "iptables -C FORWARD -i 'eth0' -o 'larkspire0' -m state --state RELATED,ESTABLISHED -j ACCEPT "
    "2>/dev/null || iptables -A FORWARD -i 'eth0' -o 'larkspire0' -m state --state "
    "RELATED,ESTABLISHED -j ACCEPT",
    "iptables -t nat -C POSTROUTING -s 10.250.0.0/16 -o 'eth0' -j MASQUERADE 2>/dev/null || "
    "iptables -t nat -A POSTROUTING -s 10.250.0.0/16 -o 'eth0' -j MASQUERADE",
    "sysctl -w net.ipv4.conf.'wlan0'.rp_filter=0",
    "iptables -C FORWARD -i 'larkspire0' -o 'wlan0' -j ACCEPT 2>/dev/null || "
    "iptables -A FORWARD -i 'larkspire0' -o 'wlan0' -j ACCEPT",
    "iptables -C FORWARD -i 'wlan0' -o 'larkspire0' -m state --state RELATED,ESTABLISHED -j "
    "ACCEPT 2>/dev/null || iptables -A FORWARD -i 'wlan0' -o 'larkspire0' -m state --state "
    "RELATED,ESTABLISHED -j ACCEPT",
    "iptables -t nat -C POSTROUTING -s 10.250.0.0/16 -o 'wlan0' -j MASQUERADE 2>/dev/null || "
    "iptables -t nat -A POSTROUTING -s 10.250.0.0/16 -o 'wlan0' -j MASQUERADE",
};

const Commands kCleanupEth0Wlan0 = {
    "iptables -t nat -D POSTROUTING -s 10.250.0.0/16 -o 'eth0' -j MASQUERADE 2>/dev/null || true",
    "iptables -D FORWARD -i 'eth0' -o 'larkspire0' -m state --state RELATED,ESTABLISHED -j ACCEPT "
    "2>/dev/null || true",
    "iptables -D FORWARD -i 'larkspire0' -o 'eth0' -j ACCEPT 2>/dev/null || true",
    "iptables -t nat -D POSTROUTING -s 10.250.0.0/16 -o 'wlan0' -j MASQUERADE 2>/dev/null || true",
    "iptables -D FORWARD -i 'wlan0' -o 'larkspire0' -m state --state RELATED,ESTABLISHED -j "
    "ACCEPT 2>/dev/null || true",
    "iptables -D FORWARD -i 'larkspire0' -o 'wlan0' -j ACCEPT 2>/dev/null || true",
    "ip route del 10.250.0.0/16 dev 'larkspire0'",
    "ip addr flush dev 'larkspire0'",
};

TEST(LinuxNetworkConfiguratorTest, ApplyThenCleanupRunExactCommandListsDespiteFailures) {
  CommandRecorder recorder;
  LinuxNetworkConfigurator configurator;

  testing::internal::CaptureStdout();
  configurator.Apply("larkspire0", {"eth0", "wlan0"});
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(recorder.TakeCommands(), kApplyEth0Wlan0);
  EXPECT_TRUE(configurator.applied());
  // Logged although every command failed: the line reports what was attempted.
  EXPECT_NE(log.find("INFO Linux forwarding and NAT rules applied for larkspire0 -> eth0, wlan0\n"),
            std::string::npos)
      << log;

  configurator.Cleanup();
  EXPECT_EQ(recorder.TakeCommands(), kCleanupEth0Wlan0);
  EXPECT_FALSE(configurator.applied());
}

TEST(LinuxNetworkConfiguratorTest, CleanupRunsOnlyOncePerApply) {
  CommandRecorder recorder;
  {
    LinuxNetworkConfigurator configurator;
    configurator.Cleanup();
    EXPECT_TRUE(recorder.commands.empty()) << "Cleanup without Apply";

    configurator.Apply("larkspire0", {"eth0", "wlan0"});
    recorder.TakeCommands();
    configurator.Cleanup();
    EXPECT_EQ(recorder.TakeCommands().size(), 8u);
    configurator.Cleanup();
    EXPECT_TRUE(recorder.commands.empty()) << "second Cleanup";

    configurator.Apply("larkspire0", {"eth0"});
    recorder.TakeCommands();
  }
  // The destructor removes what a still-applied configurator set up.
  EXPECT_EQ(recorder.TakeCommands().size(), 5u);
  { LinuxNetworkConfigurator unused; }
  EXPECT_TRUE(recorder.commands.empty()) << "destructor without Apply";
}

TEST(LinuxNetworkConfiguratorTest, ApplyWithoutUplinksConfiguresOnlyTheDevice) {
  CommandRecorder recorder;
  LinuxNetworkConfigurator configurator;
  testing::internal::CaptureStdout();
  configurator.Apply("larkspire0", {});
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(recorder.TakeCommands(),
            Commands(kApplyEth0Wlan0.begin(), kApplyEth0Wlan0.begin() + 7));
  EXPECT_NE(log.find("applied for larkspire0 -> \n"), std::string::npos) << log;
  configurator.Cleanup();
  EXPECT_EQ(recorder.TakeCommands(),
            Commands(kCleanupEth0Wlan0.end() - 2, kCleanupEth0Wlan0.end()));
}

TEST(LinuxNetworkConfiguratorTest, ReapplyingWithOtherNamesFirstRemovesTheEarlierRules) {
  CommandRecorder recorder;
  LinuxNetworkConfigurator configurator;
  configurator.Apply("larkspire0", {"eth0", "wlan0"});
  recorder.TakeCommands();
  configurator.Apply("larkspire0", {"eth0", "wlan0"});
  EXPECT_EQ(recorder.TakeCommands(), kApplyEth0Wlan0) << "same names: everything runs again";

  configurator.Apply("larkspire0", {"eth1"});
  Commands commands = recorder.TakeCommands();
  ASSERT_EQ(commands.size(), 8u + 7u + 4u);
  EXPECT_EQ(Commands(commands.begin(), commands.begin() + 8), kCleanupEth0Wlan0);
  EXPECT_EQ(commands.back(),
            "iptables -t nat -C POSTROUTING -s 10.250.0.0/16 -o 'eth1' -j MASQUERADE 2>/dev/null "
            "|| iptables -t nat -A POSTROUTING -s 10.250.0.0/16 -o 'eth1' -j MASQUERADE");

  configurator.Cleanup();
  EXPECT_EQ(recorder.TakeCommands().size(), 3u + 2u) << "only the latest uplink is left to remove";
}

TEST(LinuxNetworkConfiguratorTest, HostileNamesStaySingleShellWords) {
  const std::string uplink = "it's; reboot";
  const std::string quoted = "'it'\\''s; reboot'";
  struct Case {
    const char* what;
    Commands commands;
    size_t namingUplink;
  };
  const Case cases[] = {
      {"apply", BuildApplyCommands("larkspire0", {uplink}), 4},
      {"cleanup", BuildCleanupCommands("larkspire0", {uplink}), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t naming = 0;
    for (const std::string& command : c.commands) {
      EXPECT_EQ(command.find("it's"), std::string::npos) << "unquoted name in " << command;
      naming += command.find(quoted) != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(naming, c.namingUplink);
  }
  Commands apply = BuildApplyCommands("larkspire0", {uplink});
  EXPECT_EQ(apply[7], "sysctl -w net.ipv4.conf." + quoted + ".rp_filter=0");
  EXPECT_EQ(apply[8], "iptables -C FORWARD -i 'larkspire0' -o " + quoted +
                          " -j ACCEPT 2>/dev/null || iptables -A FORWARD -i 'larkspire0' -o " +
                          quoted + " -j ACCEPT");
}

}  // namespace
}  // namespace larkspire
