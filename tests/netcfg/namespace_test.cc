// Each test runs in fresh network and mount namespaces; they need root and fail without it.
#include <gtest/gtest.h>

#include <sstream>

#include "netcfg/configurator.h"
#include "netcfg/health.h"
#include "netcfg/interfaces.h"
#include "support/namespaces.h"

namespace larkspire {
namespace {

using testing_support::CaptureOutput;
using testing_support::MarkAsHardware;
using testing_support::RunInFreshNamespaces;
using testing_support::RunOrThrow;

TEST(InNamespace, DetectionFindsOnlyUpHardwareInterfacesWithTheirNetworks) {
  const std::string detected = RunInFreshNamespaces([] {
    for (const std::string name : {"eth2", "eth1", "eth0"}) {
      RunOrThrow("ip link add " + name + " type veth peer name peer-" + name);
    }
    RunOrThrow("ip link add docker0 type bridge && ip tuntap add dev larkspire0 mode tun");
    // Created in reverse order; all but eth2 look like hardware, so names and flags decide.
    for (const char* name : {"eth0", "eth1", "docker0", "larkspire0"}) {
      MarkAsHardware(name);
    }
    RunOrThrow(
        "for i in eth0 eth2 docker0 larkspire0; do ip link set dev $i up; done && "
        "ip addr add 10.0.0.5/24 dev eth0 && ip addr add 10.0.0.6/24 dev eth0 && "
        "ip addr add 10.1.0.5/16 dev eth0 && ip addr add 192.168.9.9/32 dev eth0 && "
        "ip addr add 192.168.1.10/24 dev eth1 && ip addr add 192.168.2.1/24 dev eth2 && "
        "ip addr add 172.17.0.1/16 dev docker0 && ip addr add 100.79.255.1/32 dev larkspire0");
    std::string text;
    for (const InterfaceNetwork& network : DetectHardwareInterfaceNetworks()) {
      text += network.name + " " + network.cidr + "\n";
    }
    return text;
  });
  EXPECT_EQ(detected, "eth0 10.0.0.0/24\neth0 10.1.0.0/16\neth0 192.168.9.9/32\n");
}

// Firewall (without its time-stamped comments), routes and IPv4 addresses.
std::string GatewayState() {
  std::string state;
  std::istringstream rules(CaptureOutput("iptables-save"));
  for (std::string line; std::getline(rules, line);) {
    state += line.starts_with("#") ? "" : line + "\n";
  }
  return state + CaptureOutput("ip route show table all") + CaptureOutput("ip -o -4 addr show");
}

// The kinds and subjects of the failing health checks.
std::string Failing(const GatewayTarget& target) {
  std::string failing;
  for (const HealthCheck& check : CheckGatewayHealth(target, true, {}, 100).checks) {
    failing += check.ok ? "" : check.kind + check.subject + " ";
  }
  return failing;
}

// The real iptables takes every rule as written (a name that needs quoting too), once after a
// killed run and two applies; the health report agrees; Cleanup gives the state back.
TEST(InNamespace, ApplyConfiguresTheKernelAndCleanupRestoresIt) {
  const std::string verdict = RunInFreshNamespaces([] {
    RunOrThrow(
        "ip link set lo up && ip tuntap add dev larkspire0 mode tun && "
        "ip link add eth0 type veth peer name peer0 && ip link add \"up'1\" type veth peer name "
        "peer1 && ip link set eth0 up && ip link set \"up'1\" up && "
        "ip addr add 192.168.50.1/24 dev eth0 && sysctl -qw net.ipv4.conf.eth0.rp_filter=1 && "
        "iptables -A INPUT -i peer0 -j ACCEPT && "
        "iptables -t nat -A POSTROUTING -o peer0 -j MASQUERADE");
    const std::string before = GatewayState();
    const std::string countRules = "iptables-save | grep -c '^-A '";
    const int rulesBefore = std::stoi(CaptureOutput(countRules));
    const GatewayTarget target{"larkspire0", {"eth0", "up'1"}, false};
    // A killed run: never destroyed, so its rules stay.
    (new LinuxNetworkConfigurator)->Apply(target);
    LinuxNetworkConfigurator configurator;
    configurator.Apply(target);
    configurator.Apply(target);
    std::string verdict =
        "rules added: " + std::to_string(std::stoi(CaptureOutput(countRules)) - rulesBefore) +
        "\nmtu " + CaptureOutput("cat /sys/class/net/larkspire0/mtu") +
        "failing: " + Failing(target);
    RunOrThrow("sysctl -qw net.ipv4.conf.eth0.rp_filter=2");  // loose filtering lets replies in
    verdict += "\nloose: " + Failing(target);
    RunOrThrow("sysctl -qw net.ipv4.conf.eth0.rp_filter=1");
    verdict += "\nstrict: " + Failing(target);
    configurator.Cleanup();
    return verdict + "\n" + (GatewayState() == before ? "restored" : "left:\n" + GatewayState());
  });
  EXPECT_EQ(verdict,
            "rules added: 10\nmtu 1400\nfailing: webSocket udp heartbeat \nloose: webSocket udp "
            "heartbeat "
            "\nstrict: rpFiltereth0 webSocket udp heartbeat \nrestored");
}

}  // namespace
}  // namespace larkspire
