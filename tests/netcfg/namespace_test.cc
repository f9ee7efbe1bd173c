// These tests change interfaces, routes and iptables, so each runs in a fresh network
// namespace and private mount namespace of its own; they need root and fail without it.
#include <gtest/gtest.h>

#include <sstream>

#include "netcfg/configurator.h"
#include "netcfg/interfaces.h"
#include "support/namespaces.h"
#include "util/text.h"

namespace larkspire {
namespace {

using testing_support::CaptureOutput;
using testing_support::MarkAsHardware;
using testing_support::RunInFreshNamespaces;
using testing_support::RunOrThrow;

void AddVeth(const std::string& name, const std::string& peer) {
  RunOrThrow("ip link add " + ShellQuote(name) + " type veth peer name " + ShellQuote(peer));
}

void Up(const std::string& name) {
  RunOrThrow("ip link set dev " + ShellQuote(name) + " up");
}

void AddAddress(const std::string& name, const std::string& cidr) {
  RunOrThrow("ip addr add " + cidr + " dev " + ShellQuote(name));
}

TEST(DetectInNamespaceTest, FindsOnlyUpHardwareInterfacesWithTheirNetworks) {
  std::string detected = RunInFreshNamespaces([] {
    RunOrThrow("ip link set lo up");
    // Created in reverse name order, so the sorted answer cannot just be creation order.
    for (const char* name : {"eth3", "eth2", "eth1", "eth0"}) {
      AddVeth(name, std::string("peer-") + name);
    }
    RunOrThrow("ip link add docker0 type bridge");
    RunOrThrow("ip link add br-x type bridge");
    RunOrThrow("ip tuntap add dev larkspire0 mode tun");
    // Everything looks like hardware except eth3, so only the names and flags decide.
    for (const char* name : {"eth0", "eth1", "eth2", "docker0", "br-x", "larkspire0"}) {
      MarkAsHardware(name);
    }
    for (const char* name : {"eth0", "eth1", "eth3", "docker0", "br-x", "larkspire0"}) {
      Up(name);
    }
    AddAddress("eth0", "10.0.0.5/24");
    AddAddress("eth0", "10.0.0.6/24");
    AddAddress("eth0", "10.1.0.5/16");
    AddAddress("eth1", "192.168.1.10/24");
    AddAddress("eth1", "192.168.9.9/32");
    AddAddress("eth2", "192.168.2.1/24");
    AddAddress("eth3", "192.168.3.1/24");
    AddAddress("docker0", "172.17.0.1/16");
    AddAddress("br-x", "172.18.0.1/16");
    AddAddress("larkspire0", "100.79.255.1/32");
    std::string text;
    for (const InterfaceNetwork& network : DetectHardwareInterfaceNetworks()) {
      text += network.name + " " + network.cidr + "\n";
    }
    return text;
  });
  EXPECT_EQ(detected,
            "eth0 10.0.0.0/24\n"
            "eth0 10.1.0.0/16\n"
            "eth1 192.168.1.0/24\n"
            "eth1 192.168.9.9/32\n");
}

// The kernel state the configurator touches and must give back: the firewall without its
// comment lines (they carry a time stamp), the routes, and the IPv4 addresses.
std::string GatewayState() {
  std::string state;
  std::istringstream rules(CaptureOutput("iptables-save"));
  for (std::string line; std::getline(rules, line);) {
    if (!line.starts_with("#")) {
      state += line + "\n";
    }
  }
  return state + CaptureOutput("ip route show table all") + CaptureOutput("ip -o -4 addr show");
}

int CountLines(const std::string& text, const std::string& line) {
  int count = 0;
  std::istringstream lines(text);
  for (std::string current; std::getline(lines, current);) {
    count += current == line ? 1 : 0;
  }
  return count;
}

TEST(ConfiguratorInNamespaceTest, AddsEachRuleOnceAndCleanupRestoresTheFirewall) {
  const std::string kSeparator = "=====\n";
  std::string report = RunInFreshNamespaces([&] {
    RunOrThrow("ip link set lo up");
    RunOrThrow("ip tuntap add dev larkspire0 mode tun");
    // The second uplink's name needs quoting to reach the kernel intact.
    AddVeth("eth0", "peer0");
    AddVeth("up'1", "peer1");
    Up("eth0");
    Up("up'1");
    AddAddress("eth0", "192.168.50.1/24");
    // An operator's own firewall, which must survive untouched.
    RunOrThrow("iptables -A FORWARD -i peer0 -j DROP");
    RunOrThrow("iptables -t nat -A POSTROUTING -o peer0 -j MASQUERADE");
    const std::string before = GatewayState();
    const std::vector<std::string> uplinks = {"eth0", "up'1"};

    // A run that was killed leaves everything applied with nobody to clean it up.
    for (const std::string& command : BuildApplyCommands("larkspire0", uplinks)) {
      std::system(command.c_str());
    }
    LinuxNetworkConfigurator configurator;
    configurator.Apply("larkspire0", uplinks);
    configurator.Apply("larkspire0", uplinks);
    const std::string applied = GatewayState() + CaptureOutput("sysctl -n net.ipv4.ip_forward") +
                                CaptureOutput("sysctl -n net.ipv4.conf.up\\'1.rp_filter");
    configurator.Cleanup();
    return before + kSeparator + applied + kSeparator + GatewayState();
  });

  std::vector<std::string> sections;
  for (size_t start = 0;;) {
    size_t end = report.find(kSeparator, start);
    sections.push_back(report.substr(start, end - start));
    if (end == std::string::npos) {
      break;
    }
    start = end + kSeparator.size();
  }
  ASSERT_EQ(sections.size(), 3u) << report;
  const std::string& before = sections[0];
  const std::string& applied = sections[1];
  const std::string& after = sections[2];

  for (const std::string uplink : {"eth0", "up'1"}) {
    SCOPED_TRACE(uplink);
    for (const std::string& rule :
         {"-A FORWARD -i larkspire0 -o " + uplink + " -j ACCEPT",
          "-A FORWARD -i " + uplink +
              " -o larkspire0 -m state --state RELATED,ESTABLISHED -j ACCEPT",
          "-A POSTROUTING -s 10.250.0.0/16 -o " + uplink + " -j MASQUERADE"}) {
      EXPECT_EQ(CountLines(applied, rule), 1) << rule << "\n" << applied;
    }
  }
  EXPECT_EQ(CountLines(applied, "-A FORWARD -i peer0 -j DROP"), 1) << applied;
  EXPECT_NE(applied.find("10.250.0.0/16 dev larkspire0"), std::string::npos) << applied;
  EXPECT_NE(applied.find("inet 100.79.255.1/32"), std::string::npos) << applied;
  EXPECT_TRUE(applied.ends_with("1\n0\n")) << "forwarding on, rp_filter off:\n" << applied;
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace larkspire
