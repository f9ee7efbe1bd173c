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

// The most specific network wins; removing or replacing a device's networks falls back to
// the next one; malformed networks are skipped.
TEST(RouteTable, MostSpecificNetworkWins) {
  RouteTable table;
  EXPECT_EQ(table.SetDevice("1", {"192.168.0.0/16", "192.168.50.0/33", "192.168.500.0/24"}).size(),
            1u);
  table.SetDevice("2", {"192.168.50.77/24"});
  table.SetDevice("3", {"192.168.50.10/32"});
  auto lookup = [&](const char* address) {
    const std::string* number = table.Lookup(Ip(address));
    return number != nullptr ? *number : "none";
  };
  EXPECT_EQ(lookup("192.168.50.10") + lookup("192.168.50.11") + lookup("192.168.7.1") +
                lookup("10.0.0.1"),
            "321none");
  table.RemoveDevice("3");
  table.SetDevice("2", {"172.16.0.0/12"});
  EXPECT_EQ(lookup("192.168.50.10") + lookup("172.20.0.1"), "12");
}

// The Hub's TUN takes the edge's MTU and routes an edge's network unless it lies in the
// overlay, holds it, or is everything.
TEST(RouteTable, SharedNetworksNeverCaptureTheOverlay) {
  EXPECT_EQ(HubTunSetupCommands("hub0")[0], "ip link set dev 'hub0' mtu 1400");
  const std::pair<const char*, bool> networks[] = {
      {"192.168.50.0/24", true}, {"10.251.0.0/16", true}, {"10.250.3.0/24", false},
      {"10.0.0.0/8", false},     {"0.0.0.0/0", false},
  };
  for (const auto& [network, routed] : networks) {
    EXPECT_EQ(HubTunRouteCommand("hub0", *ParseIpv4Cidr(network)),
              routed ? std::string("ip route add ") + network + " dev 'hub0'" : "")
        << network;
  }
}

}  // namespace
}  // namespace larkspire
