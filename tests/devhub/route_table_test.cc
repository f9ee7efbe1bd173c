#include "devhub/route_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "devhub/hub_tun.h"

namespace larkspire {
namespace {

uint32_t Ip(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return ntohl(address.s_addr);
}

TEST(Ipv4Cidr, ParsesOnlyWellFormedNetworksAndClearsHostBits) {
  struct Case {
    const char* text;
    bool valid;
    const char* normalised;
  } cases[] = {
      {"192.168.50.0/24", true, "192.168.50.0/24"},
      {"192.168.50.77/24", true, "192.168.50.0/24"},
      {"10.1.2.3/32", true, "10.1.2.3/32"},
      {"0.0.0.0/0", true, "0.0.0.0/0"},
      {"192.168.50.0/33", false, ""},
      {"192.168.50.0", false, ""},
      {"192.168.50.0/", false, ""},
      {"192.168.50.0/2x", false, ""},
      {"192.168.50.0/-1", false, ""},
      {"192.168.500.0/24", false, ""},
      {"fd00::/8", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<Ipv4Network> network = ParseIpv4Cidr(c.text);
    ASSERT_EQ(network.has_value(), c.valid);
    if (network) {
      EXPECT_EQ(FormatIpv4Cidr(*network), c.normalised);
    }
  }
}

TEST(RouteTable, MostSpecificNetworkWinsAndRemovalFallsBack) {
  RouteTable table;
  EXPECT_EQ(table.SetDevice("1", {"192.168.0.0/16", "bogus"}).size(), 1u);
  table.SetDevice("2", {"192.168.50.0/24"});
  table.SetDevice("3", {"192.168.50.10/32"});

  ASSERT_NE(table.Lookup(Ip("192.168.50.10")), nullptr);
  EXPECT_EQ(*table.Lookup(Ip("192.168.50.10")), "3");
  EXPECT_EQ(*table.Lookup(Ip("192.168.50.11")), "2");
  EXPECT_EQ(*table.Lookup(Ip("192.168.7.1")), "1");
  EXPECT_EQ(table.Lookup(Ip("10.0.0.1")), nullptr);

  table.RemoveDevice("3");
  EXPECT_EQ(*table.Lookup(Ip("192.168.50.10")), "2");
  // New networks replace the device's old ones.
  table.SetDevice("2", {"172.16.0.0/12"});
  EXPECT_EQ(*table.Lookup(Ip("192.168.50.10")), "1");
  EXPECT_EQ(*table.Lookup(Ip("172.20.0.1")), "2");
}

TEST(HubTunCommands, BringUpTheInterfaceWithTheOverlayAddress) {
  EXPECT_EQ(HubTunSetupCommands("lshub0"),
            (std::vector<std::string>{
                "ip link set dev 'lshub0' mtu 1400", "ip addr replace 10.250.0.1/16 dev 'lshub0'",
                "ip link set dev 'lshub0' up", "ip route replace 10.250.0.0/16 dev 'lshub0'"}));
  EXPECT_EQ(HubTunSetupCommands("it's")[0], "ip link set dev 'it'\\''s' mtu 1400");
}

TEST(HubTunCommands, RouteSharedNetworksButNeverTheOverlayOrEverything) {
  struct Case {
    const char* network;
    const char* command;
  } cases[] = {
      {"192.168.50.0/24", "ip route add 192.168.50.0/24 dev 'lshub0'"},
      {"10.251.0.0/16", "ip route add 10.251.0.0/16 dev 'lshub0'"},
      {"10.250.3.0/24", ""},  // inside the overlay
      {"10.0.0.0/8", ""},     // contains the overlay
      {"0.0.0.0/0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.network);
    EXPECT_EQ(HubTunRouteCommand("lshub0", *ParseIpv4Cidr(c.network)), c.command);
  }
}

}  // namespace
}  // namespace larkspire
