#include "devhub/relay_hub.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "devhub/hub_tun.h"
#include "devhub/relay_upgrade.h"
#include "devhub/server.h"
#include "relay/relay_session.h"
#include "relay/udp_datagram.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"
#include "support/resource_count.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
using Packet = std::vector<uint8_t>;

// From 10.250.0.1 to `destination`; byte 4 (the identification) tells packets apart.
Packet Ipv4Packet(const char* destination, uint8_t protocol, size_t size, uint8_t id = 0) {
  Packet packet(size, 0xA5);
  packet[0] = 0x45;
  packet[2] = static_cast<uint8_t>(size >> 8);
  packet[3] = static_cast<uint8_t>(size);
  packet[4] = id;
  packet[8] = 64;
  packet[9] = protocol;
  inet_pton(AF_INET, "10.250.0.1", packet.data() + 12);
  inet_pton(AF_INET, destination, packet.data() + 16);
  return packet;
}

std::optional<Packet> ReadPacket(int fd) {
  pollfd poller{fd, POLLIN, 0};
  Packet packet(65536);
  const ssize_t n = ::poll(&poller, 1, 5000) > 0 ? ::read(fd, packet.data(), packet.size()) : -1;
  return n > 0 ? std::optional(Packet(packet.begin(), packet.begin() + n)) : std::nullopt;
}

void Write(int fd, const Packet& packet) {
  ASSERT_EQ(::write(fd, packet.data(), packet.size()), static_cast<ssize_t>(packet.size()));
}

std::pair<UniqueFd, UniqueFd> SocketPair() {
  int pair[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  return {UniqueFd(pair[0]), UniqueFd(pair[1])};
}

// The edge's own relay connection on a thread; the test holds the LAN end of its TUN.
struct Edge {
  Edge(int port, const std::string& number, const std::string& secret) {
    std::tie(tun, lan) = SocketPair();
    thread = std::jthread([this, port, number, secret] {
      try {
        RelayOneConnection(tun.get(), {"http://127.0.0.1:" + std::to_string(port), number, secret},
                           filter, webSocket, udp);
      } catch (const std::exception& refusal) {
        error = refusal.what();
      }
    });
  }

  UniqueFd tun;
  UniqueFd lan;
  const IngressFilter filter{{"192.168.50.0/24", "172.16.0.0/12"}};
  WebSocketRelay webSocket;
  UdpRelay udp;
  std::string error;
  std::jthread thread;
};

// Device 7 ("s e+cret") shares 192.168.50.0/24, 8 ("x") 172.16.0.0/12; no descriptor or
// thread may outlive the hub.
class RelayHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::tie(device_, hubSide_) = SocketPair();
    RelayHubOptions options;
    options.packetFd = hubSide_.get();
    options.authorize = [](const std::string& number, const std::string& secret) {
      return (number == "7" && secret == "s e+cret") || (number == "8" && secret == "x");
    };
    options.sharedNetworks = [](const std::string& number) {
      return std::vector<std::string>{number == "7" ? "192.168.50.0/24" : "172.16.0.0/12"};
    };
    options.closeGrace = 500ms;
    hub_ = std::make_unique<RelayHub>(options);
    AddRelayRoutes(server_, *hub_);
    server_.Start();
    hub_->EnableUdp("127.0.0.1", server_.Port());
    hub_->Start();
  }

  void TearDown() override {
    hub_->Stop();  // the edges read the close frame and end their connections
    edges_.clear();
    server_.Stop();
    hub_.reset();
    device_.Reset();
    hubSide_.Reset();
    for (int i = 0; i < 100 && testing::RunningThreads() != threads_; ++i) {
      std::this_thread::sleep_for(10ms);  // detached connection threads need a moment
    }
    EXPECT_EQ(testing::OpenDescriptors(), descriptors_);
    EXPECT_EQ(testing::RunningThreads(), threads_);
  }

  Edge& Connect(const std::string& number, const std::string& secret) {
    Edge& edge = *edges_.emplace_back(std::make_unique<Edge>(server_.Port(), number, secret));
    for (int i = 0; i < 250 && !edge.udp.IsConnected(); ++i) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(edge.udp.IsConnected());
    return edge;
  }

  // True when a datagram from a stranger's socket got any answer within 300 ms.
  bool UdpAnswered(const Packet& datagram) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in hub{
        AF_INET, htons(static_cast<uint16_t>(hub_->UdpPort())), {htonl(INADDR_LOOPBACK)}, {}};
    ::sendto(socket.get(), datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&hub), sizeof hub);
    pollfd poller{socket.get(), POLLIN, 0};
    return ::poll(&poller, 1, 300) > 0;
  }

  const int descriptors_ = testing::OpenDescriptors();
  const int threads_ = testing::RunningThreads();
  UniqueFd device_;
  UniqueFd hubSide_;
  std::unique_ptr<RelayHub> hub_;
  DevHubServer server_{"127.0.0.1", 0};
  std::vector<std::unique_ptr<Edge>> edges_;
};

// A relay or UDP channel needs the device's secret; a newer connection retires the older
// one's channel.
TEST_F(RelayHubTest, OnlyTheDevicesSecretOpensARelayOrAUdpChannel) {
  {
    Edge wrongSecret(server_.Port(), "7", "nope");
    wrongSecret.thread.join();
    EXPECT_EQ(wrongSecret.error, "WebSocket upgrade failed, status 403");
  }
  EXPECT_FALSE(UdpAnswered(BuildUdpProbe("7", "s e+cret")));
  Edge& first = Connect("7", "s e+cret");
  EXPECT_FALSE(UdpAnswered(BuildUdpProbe("7", "nope")));
  EXPECT_TRUE(UdpAnswered(BuildUdpProbe("7", "s e+cret")));
  const std::string status = hub_->StatusJson("7");
  const size_t at = status.find("\"udpChannelId\":\"") + 16;
  Packet stale(kUdpDataHeaderSize);
  WriteUdpDataHeader(stale.data(), std::stoull(status.substr(at, status.find('"', at) - at)));
  const Packet dropped = Ipv4Packet("10.250.0.1", kUdp, 50);
  stale.insert(stale.end(), dropped.begin(), dropped.end());
  Edge& second = Connect("7", "s e+cret");
  first.thread.join();  // the replaced connection was closed by the hub
  EXPECT_FALSE(UdpAnswered(stale));
  const Packet valid = Ipv4Packet("10.250.0.1", kUdp, 60);
  Write(second.lan.get(), valid);
  EXPECT_EQ(ReadPacket(device_.get()), valid) << "the stale channel's packet got through";
}

// Batched per edge and channel, nothing is lost, merged or reordered: runs of equal-sized UDP
// packets (one segmented send), TCP and UDP one byte too large on the WebSocket, cut by
// packets for device 8 and for nobody (8.8.8.8).
TEST_F(RelayHubTest, EachEdgeGetsItsOwnPacketsOnTheRightChannelInOrder) {
  Edge& seven = Connect("7", "s e+cret");
  Edge& eight = Connect("8", "x");
  std::map<bool, std::vector<Packet>> sevenByChannel;  // true: UDP
  std::vector<Packet> toEight;
  for (size_t i = 0; i < 120; ++i) {
    const bool tcp = i % 8 == 3;
    const bool overUdp = i % 4 != 3;
    const size_t size = tcp ? 1400 - i : !overUdp ? 1351 : i == 0 ? 20 : i < 80 ? 128 : 1350;
    sevenByChannel[overUdp].push_back(
        Ipv4Packet("192.168.50.10", tcp ? kTcp : kUdp, size, static_cast<uint8_t>(i)));
    Write(device_.get(), sevenByChannel[overUdp].back());
    if (i % 12 == 0) {
      toEight.push_back(Ipv4Packet("172.16.0.9", kTcp, 100 + i));
      Write(device_.get(), toEight.back());
      Write(device_.get(), Ipv4Packet("8.8.8.8", kTcp, 60));
    }
  }
  std::map<bool, std::vector<Packet>> arrived;
  for (size_t i = 0; i < 120; ++i) {
    std::optional<Packet> packet = ReadPacket(seven.lan.get());
    ASSERT_TRUE(packet) << i;
    arrived[(*packet)[9] == kUdp && packet->size() <= 1350].push_back(*packet);
  }
  EXPECT_EQ(arrived, sevenByChannel);
  for (const Packet& packet : toEight) {
    EXPECT_EQ(ReadPacket(eight.lan.get()), packet);
  }
  EXPECT_EQ(hub_->unroutable(), toEight.size());
  for (const Packet& fromLan :
       {Ipv4Packet("10.250.0.1", kTcp, 1200, 1), Ipv4Packet("10.250.0.1", kUdp, 200, 2)}) {
    Write(seven.lan.get(), fromLan);
    EXPECT_EQ(ReadPacket(device_.get()), fromLan);
  }
}

// The most specific network wins; the Hub's TUN never routes the overlay or everything.
TEST(RouteTable, MostSpecificNetworkWinsAndTheOverlayIsNeverCaptured) {
  RouteTable table;
  EXPECT_EQ(table.SetDevice("1", {"192.168.0.0/16", "192.168.50.0/33"}).size(), 1u);
  table.SetDevice("2", {"192.168.50.77/24"});
  table.SetDevice("3", {"192.168.50.10/32"});
  auto lookup = [&](const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    const std::string* number = table.Lookup(ntohl(address.s_addr));
    return number != nullptr ? *number : "-";
  };
  EXPECT_EQ(lookup("192.168.50.10") + lookup("192.168.50.11") + lookup("10.0.0.1"), "32-");
  table.SetDevice("3", {"172.16.0.0/12"});
  EXPECT_EQ(lookup("192.168.50.10") + lookup("172.20.0.1"), "23");
  const std::pair<const char*, bool> networks[] = {
      {"192.168.50.0/24", true}, {"10.251.0.0/16", true}, {"10.250.3.0/24", false},
      {"10.0.0.0/8", false},     {"0.0.0.0/0", false},
  };
  for (const auto& [network, routed] : networks) {
    EXPECT_EQ(HubTunRouteCommand("hub0", *ParseIpv4Cidr(network)).empty(), !routed) << network;
  }
}

}  // namespace
}  // namespace larkspire
