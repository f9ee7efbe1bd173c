#include "relay/ingress_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace larkspire {
namespace {

using enum IngressFilter::Verdict;
using Address = std::vector<uint8_t>;

std::vector<uint8_t> Packet(Address source, Address destination, uint8_t version = 4,
                            size_t length = 40) {
  std::vector<uint8_t> packet(std::max<size_t>(length, 20));
  packet[0] = static_cast<uint8_t>(version << 4 | 5);
  std::copy(source.begin(), source.end(), packet.begin() + 12);
  std::copy(destination.begin(), destination.end(), packet.begin() + 16);
  packet.resize(length);  // a packet cut short keeps only what fits
  return packet;
}

TEST(IngressFilterTest, LetsInOnlyOverlayTrafficToSharedNetworksOrTheTunnelAddress) {
  const IngressFilter filter({"192.168.50.0/24", "10.1.0.0/16", "not a network"});
  const Address client = {10, 250, 3, 4};
  const Address lanHost = {192, 168, 50, 10};
  const struct {
    const char* name;
    std::vector<uint8_t> packet;
    IngressFilter::Verdict verdict;
  } cases[] = {
      {"to a LAN host", Packet(client, lanHost), kPass},
      {"to the second shared network", Packet(client, {10, 1, 255, 255}), kPass},
      {"to the tunnel address", Packet(client, {100, 79, 255, 1}), kPass},
      {"overlay's edges", Packet({10, 250, 255, 255}, {10, 1, 0, 0}), kPass},
      {"bare header", Packet(client, lanHost, 4, 20), kPass},
      {"forged source", Packet({8, 8, 8, 8}, lanHost), kSourceOutsideOverlay},
      {"source next to the overlay", Packet({10, 251, 0, 1}, lanHost), kSourceOutsideOverlay},
      {"source a shared host", Packet(lanHost, lanHost), kSourceOutsideOverlay},
      {"outside the shared networks", Packet(client, {192, 168, 51, 1}), kDestinationNotShared},
      {"next to the tunnel address", Packet(client, {100, 79, 255, 2}), kDestinationNotShared},
      {"the overlay itself", Packet(client, {10, 250, 0, 1}), kDestinationNotShared},
      {"IPv6", Packet(client, lanHost, 6), kNotIpv4},
      {"too short", Packet(client, lanHost, 4, 19), kNotIpv4},
      {"empty", {}, kNotIpv4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(filter.Check(c.packet), c.verdict);
  }
  // Without shared networks only the edge itself is reachable.
  EXPECT_EQ(IngressFilter({}).Check(Packet(client, lanHost)), kDestinationNotShared);
}

}  // namespace
}  // namespace larkspire
