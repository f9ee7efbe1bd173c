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

// How many rules iptables-save lists, in every table.
int CountRules() {
  return std::stoi(CaptureOutput("iptables-save | grep -c '^-A '"));
}

// The real iptables takes every rule as the configurator writes it (an uplink name that needs
// quoting included), each once after a killed run and two applies; Cleanup gives back the
// firewall, routes and addresses as they were, the host's own rules included.
TEST(ConfiguratorInNamespaceTest, AddsEachRuleOnceAndCleanupRestoresTheFirewall) {
  const std::string verdict = RunInFreshNamespaces([] {
    RunOrThrow("ip link set lo up");
    RunOrThrow("ip tuntap add dev larkspire0 mode tun");
    AddVeth("eth0", "peer0");
    AddVeth("up'1", "peer1");
    Up("eth0");
    Up("up'1");
    AddAddress("eth0", "192.168.50.1/24");
    // An operator's own firewall, which must survive untouched.
    RunOrThrow("iptables -A INPUT -i peer0 -j ACCEPT");
    RunOrThrow("iptables -t nat -A POSTROUTING -o peer0 -j MASQUERADE");
    const std::string before = GatewayState();
    const int rulesBefore = CountRules();
    const GatewayTarget target{"larkspire0", {"eth0", "up'1"}, false};

    // A run that was killed leaves everything applied with nobody to clean it up (the child
    // process ends without running destructors).
    (new LinuxNetworkConfigurator)->Apply(target);
    LinuxNetworkConfigurator configurator;
    configurator.Apply(target);
    configurator.Apply(target);
    std::string verdict;
    for (const GatewayRule& rule : BuildGatewayRules(target)) {
      verdict +=
          std::system(rule.CheckCommand().c_str()) == 0 ? "" : "missing " + rule.shown + "\n";
    }
    const std::string applied = GatewayState();
    verdict += "rules added: " + std::to_string(CountRules() - rulesBefore) + "\nroute, address: " +
               std::to_string(applied.find("10.250.0.0/16 dev larkspire0") != std::string::npos) +
               std::to_string(applied.find("inet 100.79.255.1/32") != std::string::npos) +
               "\nforwarding, rp_filter: " + CaptureOutput("sysctl -n net.ipv4.ip_forward") +
               CaptureOutput("sysctl -n net.ipv4.conf.up\\'1.rp_filter");
    configurator.Cleanup();
    return verdict + (GatewayState() == before ? "restored" : "left:\n" + GatewayState());
  });
  EXPECT_EQ(verdict, "rules added: 10\nroute, address: 11\nforwarding, rp_filter: 1\n0\nrestored");
}

}  // namespace
}  // namespace larkspire
