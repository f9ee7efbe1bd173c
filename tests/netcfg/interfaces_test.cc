#include "netcfg/interfaces.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <set>

namespace larkspire {
namespace {

std::uint32_t Ip(const char* text) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
  return address.s_addr;
}

TEST(IsExcludedInterfaceNameTest, MatchesVirtualPrefixesOnly) {
  for (const char* name :
       {"lo", "lo0", "docker0", "br-1a2b", "veth12", "virbr0", "vmnet8", "vboxnet0", "tun0", "tap3",
        "wg0", "tailscale0", "zt7", "cni0", "flannel.1", "kube-ipvs0", "larkspire0"}) {
    EXPECT_TRUE(IsExcludedInterfaceName(name)) << name;
  }
  // Prefix match is byte-wise and case-sensitive; a plain bridge like br0 is a real uplink.
  for (const char* name : {"eth0", "enp3s0", "br0", "wlan0", "Docker0", "LO", "", "bond0"}) {
    EXPECT_FALSE(IsExcludedInterfaceName(name)) << name;
  }
}

TEST(NetworkCidrTest, MasksAddressAndCountsLeadingOnes) {
  struct Case {
    const char* address;
    const char* netmask;
    const char* expected;
  };
  const Case cases[] = {
      {"192.168.1.10", "255.255.255.0", "192.168.1.0/24"},
      {"10.1.0.5", "255.255.0.0", "10.1.0.0/16"},
      {"10.9.8.7", "255.255.255.255", "10.9.8.7/32"},
      {"172.20.5.1", "255.240.0.0", "172.16.0.0/12"},
      {"10.0.0.1", "255.255.255.254", "10.0.0.0/31"},
      {"10.0.0.1", "128.0.0.0", "0.0.0.0/1"},
      // A non-contiguous mask: only its leading run counts for the length, while the network
      // address is still the plain AND.
      {"10.255.255.255", "255.0.255.0", "10.0.255.0/8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address + std::string(" ") + c.netmask);
    EXPECT_EQ(NetworkCidr(Ip(c.address), Ip(c.netmask)), c.expected);
  }
  EXPECT_EQ(PrefixLength(Ip("0.0.0.0")), 0);
  EXPECT_EQ(PrefixLength(Ip("255.255.255.255")), 32);
}

class SelectHardwareNetworksTest : public ::testing::Test {
 protected:
  static constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

  std::vector<InterfaceNetwork> Select(const std::vector<InterfaceAddress>& entries) {
    return SelectHardwareNetworks(
        entries, [this](const std::string& name) { return withoutDevice.count(name) == 0; });
  }

  InterfaceAddress Entry(const char* name, const char* address, const char* netmask,
                         unsigned flags = kUp) {
    return {name, flags, Ip(address), Ip(netmask)};
  }

  std::set<std::string> withoutDevice;
};

TEST_F(SelectHardwareNetworksTest, KeepsUpPhysicalInterfacesOneRecordPerNetworkSortedAsBytes) {
  withoutDevice = {"eth9"};
  auto networks = Select({
      Entry("lo", "127.0.0.1", "255.0.0.0", kUp | IFF_LOOPBACK),
      Entry("eth1", "9.1.2.3", "255.0.0.0"),
      Entry("docker0", "172.17.0.1", "255.255.0.0"),
      Entry("eth1", "192.168.1.5", "255.255.255.0"),
      Entry("larkspire0", "100.79.255.1", "255.255.255.255"),
      Entry("eth1", "10.0.0.1", "255.0.0.0"),
      Entry("eth2", "192.168.2.1", "255.255.255.0", 0),
      Entry("enp3s0", "10.0.0.5", "255.255.255.0"),
      Entry("eth9", "192.168.9.1", "255.255.255.0"),
      Entry("enp3s0", "10.0.0.6", "255.255.255.0"),
      Entry("eth3", "0.0.0.0", "255.255.255.0"),
      Entry("enp3s0", "10.1.0.5", "255.255.0.0"),
      Entry("eth4", "192.168.4.1", "0.0.0.0"),
      Entry("enp10s0", "172.16.0.1", "255.255.0.0"),
      // A loopback flag on a name that is not excluded still disqualifies it.
      Entry("dummy0", "192.168.5.1", "255.255.255.0", kUp | IFF_LOOPBACK),
      Entry("eth0", "10.9.8.7", "255.255.255.255"),
  });
  EXPECT_EQ(networks, (std::vector<InterfaceNetwork>{
                          {"enp10s0", "172.16.0.0/16"},
                          {"enp3s0", "10.0.0.0/24"},
                          {"enp3s0", "10.1.0.0/16"},
                          {"eth0", "10.9.8.7/32"},
                          {"eth1", "10.0.0.0/8"},
                          {"eth1", "192.168.1.0/24"},
                          {"eth1", "9.0.0.0/8"},
                      }));
}

}  // namespace
}  // namespace larkspire
