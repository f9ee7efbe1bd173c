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
  const std::pair<const char*, const char*> valid[] = {
      {"192.168.50.0/24", "192.168.50.0/24"},
      {"192.168.50.77/24", "192.168.50.0/24"},
      {"10.1.2.3/32", "10.1.2.3/32"},
      {"0.0.0.0/0", "0.0.0.0/0"},
  };
  for (const auto& [text, normalised] : valid) {
    std::optional<Ipv4Network> network = ParseIpv4Cidr(text);
    ASSERT_TRUE(network) << text;
    EXPECT_EQ(FormatIpv4Cidr(*network), normalised);
  }
  for (const char* text : {"192.168.50.0/33", "192.168.50.0", "192.168.50.0/", "192.168.50.0/2x",
                           "192.168.50.0/-1", "192.168.500.0/24", "fd00::/8", ""}) {
    EXPECT_FALSE(ParseIpv4Cidr(text)) << text;
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

TEST(HubTunCommands, BringUpTheOverlayAndRouteSharedNetworksButNeverTheOverlayOrEverything) {
  EXPECT_EQ(HubTunSetupCommands("lshub0"),
            (std::vector<std::string>{
                "ip link set dev 'lshub0' mtu 1400", "ip addr replace 10.250.0.1/16 dev 'lshub0'",
                "ip link set dev 'lshub0' up", "ip route replace 10.250.0.0/16 dev 'lshub0'"}));
  EXPECT_EQ(HubTunSetupCommands("it's")[0], "ip link set dev 'it'\\''s' mtu 1400");

  const std::pair<const char*, const char*> routes[] = {
      {"192.168.50.0/24", "ip route add 192.168.50.0/24 dev 'lshub0'"},
      {"10.251.0.0/16", "ip route add 10.251.0.0/16 dev 'lshub0'"},
      {"10.250.3.0/24", ""},  // inside the overlay
      {"10.0.0.0/8", ""},     // contains the overlay
      {"0.0.0.0/0", ""},
  };
  for (const auto& [network, command] : routes) {
    EXPECT_EQ(HubTunRouteCommand("lshub0", *ParseIpv4Cidr(network)), command) << network;
  }
}

}  // namespace
}  // namespace larkspire
