#include "devhub/relay_hub.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <thread>

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
  if (::poll(&poller, 1, 5000) <= 0) {
    return std::nullopt;
  }
  Packet packet(65536);
  const ssize_t n = ::read(fd, packet.data(), packet.size());
  packet.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return packet;
}

// The edge's own relay connection on a thread, its TUN a socket pair whose other end (the
// LAN) the test holds: both ends' framing, masking, channel choice and probe must agree.
struct Edge {
  Edge(int port, const std::string& number, const std::string& secret) {
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    tun.Reset(pair[0]);
    lan.Reset(pair[1]);
    thread = std::thread([this, port, number, secret] {
      try {
        RelayOneConnection(tun.get(), {"http://127.0.0.1:" + std::to_string(port), number, secret},
                           filter, webSocket, udp);
      } catch (const std::exception& refusal) {
        error = refusal.what();
      }
      ended = true;
    });
  }
  ~Edge() { Join(); }
  void Join() {
    if (thread.joinable()) {
      thread.join();
    }
  }

  UniqueFd tun;
  const IngressFilter filter{{"192.168.50.0/24", "172.16.0.0/12"}};
  UniqueFd lan;
  WebSocketRelay webSocket;
  UdpRelay udp;
  std::string error;
  std::atomic<bool> ended{false};
  std::thread thread;
};

// A relay hub whose packet device is a socket pair; device 7 ("s e+cret") shares the LAN,
// device 8 ("x") 172.16.0.0/12.
class RelayHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baselineFds_ = testing::OpenDescriptors();
    baselineThreads_ = testing::RunningThreads();
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    device_.Reset(pair[0]);
    hubSide_.Reset(pair[1]);
    RelayHubOptions options;
    options.packetFd = hubSide_.get();
    options.authorize = [](const std::string& number, const std::string& secret) {
      return (number == "7" && secret == "s e+cret") || (number == "8" && secret == "x");
    };
    options.sharedNetworks = [](const std::string& number) {
      return number == "7" ? std::vector<std::string>{"192.168.50.0/24"}
                           : std::vector<std::string>{"172.16.0.0/12"};
    };
    options.networkAnnounced = [this](const Ipv4Network& network) {
      std::lock_guard<std::mutex> lock(mutex_);
      announced_.push_back(network.prefixLength);
    };
    options.closeGrace = 500ms;
    hub_ = std::make_unique<RelayHub>(options);
    server_ = std::make_unique<DevHubServer>("127.0.0.1", 0);
    AddRelayRoutes(*server_, *hub_);
    server_->Start();
    // The UDP relay listens on the same port number as the HTTP side, as edges expect.
    hub_->EnableUdp("127.0.0.1", server_->Port());
    hub_->Start();
  }

  // An edge whose UDP channel is up. The hub outlives it: a connection ends only when
  // its Hub closes it.
  Edge& Connect(const std::string& number, const std::string& secret) {
    Edge& edge = *edges_.emplace_back(std::make_unique<Edge>(server_->Port(), number, secret));
    for (int i = 0; i < 250 && !edge.udp.IsConnected() && !edge.ended; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(edge.udp.IsConnected());
    return edge;
  }

  std::string ChannelId(const std::string& number) {
    const std::string status = hub_->StatusJson(number);
    const std::string key = "\"udpChannelId\":\"";
    const size_t at = status.find(key) + key.size();
    return status.substr(at, status.find('"', at) - at);
  }

  // Sends one datagram to the hub's UDP port from a socket of its own, as an attacker
  // would; true when anything came back within 300 ms.
  bool UdpAnswered(const Packet& datagram) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in hub{};
    hub.sin_family = AF_INET;
    hub.sin_port = htons(static_cast<uint16_t>(hub_->UdpPort()));
    hub.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(socket.get(), datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&hub), sizeof hub);
    pollfd poller{socket.get(), POLLIN, 0};
    return ::poll(&poller, 1, 300) > 0;
  }

  // Writes a packet into the hub as the kernel would from its TUN.
  void FromDevice(const Packet& packet) {
    ASSERT_EQ(::write(device_.get(), packet.data(), packet.size()),
              static_cast<ssize_t>(packet.size()));
  }

  // Counters are bumped right after a packet is handed over, so the test may see the packet
  // first: poll the listing until it shows `text`.
  bool StatusShows(const std::string& number, const std::string& text) {
    for (int i = 0; i < 250; ++i) {
      if (hub_->StatusJson(number).find(text) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "status never showed " << text << ": " << hub_->StatusJson(number);
    return false;
  }

  void TearDown() override {
    hub_->Stop();
    edges_.clear();
    server_.reset();
    hub_.reset();
    device_.Reset();
    hubSide_.Reset();
    // The server's connection threads are detached: give the last one a moment to exit.
    for (int i = 0; i < 100 && testing::RunningThreads() != baselineThreads_; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(testing::OpenDescriptors(), baselineFds_);
    EXPECT_EQ(testing::RunningThreads(), baselineThreads_);
  }

  UniqueFd device_;
  UniqueFd hubSide_;
  std::unique_ptr<RelayHub> hub_;
  std::unique_ptr<DevHubServer> server_;
  std::vector<std::unique_ptr<Edge>> edges_;
  std::mutex mutex_;
  std::vector<int> announced_;
  int baselineFds_ = 0;
  int baselineThreads_ = 0;
};

TEST_F(RelayHubTest, RefusesWrongSecretsAndRequestsThatAreNoUpgrade) {
  Edge wrongSecret(server_->Port(), "7", "nope");
  wrongSecret.Join();
  EXPECT_EQ(wrongSecret.error, "WebSocket upgrade failed, status 403");
  // A probe needs the secret and the device's own relay connection.
  EXPECT_FALSE(UdpAnswered(BuildUdpProbe("7", "s e+cret")));
  Connect("7", "s e+cret");
  EXPECT_FALSE(UdpAnswered(BuildUdpProbe("7", "nope")));
  EXPECT_TRUE(UdpAnswered(BuildUdpProbe("7", "s e+cret")));

  auto parse = [](const std::string& target, const std::string& headers) {
    HttpRequest request;
    request.headers = "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n";
    EXPECT_TRUE(ParseRequestLine(request.headers, request));
    std::string error;
    return ParseRelayUpgrade(request, error);
  };
  const std::string upgrade = "Upgrade: WebSocket\r\nSec-WebSocket-Key: k\r\n";
  EXPECT_FALSE(parse("/api/relay/edge/7?secret=x", "Host: a\r\n"));
  EXPECT_FALSE(parse("/api/relay/edge/7?secret=x", "Upgrade: websocket\r\n"));
  EXPECT_FALSE(parse("/api/relay/edge/?secret=x", upgrade));
  EXPECT_FALSE(parse("/api/relay/edge/7/x?secret=x", upgrade));
  EXPECT_FALSE(parse("/api/relay/edge/%zz?secret=x", upgrade));
  std::optional<RelayUpgradeRequest> request =
      parse("/api/relay/edge/%37?secret=a%20b%2Bc+d&x=1", upgrade);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->deviceNumber, "7");
  EXPECT_EQ(request->deviceSecret, "a b+c+d");
}

// Packets are read from the device in passes and sent per edge and channel in batches:
// nothing may be lost, merged or reordered within a channel. Device 7 gets runs of
// equal-sized UDP packets (one segmented send, yet each must arrive as its own datagram), and
// every fourth packet takes the WebSocket: TCP, or UDP one byte too large. Device 8's packets
// now and then cut 7's run of frames; nobody serves 8.8.8.8.
TEST_F(RelayHubTest, RealEdgesGetTheirPacketsOnTheRightChannelInOrder) {
  Edge& seven = Connect("7", "s e+cret");
  Edge& eight = Connect("8", "x");
  std::map<bool, std::vector<Packet>> sevenByChannel;  // true: UDP
  std::vector<Packet> toEight;
  size_t udpBytes = 0;
  size_t frameBytes = 0;
  for (size_t i = 0; i < 120; ++i) {
    const bool tcp = i % 8 == 3;
    const bool overUdp = i % 4 != 3;
    const size_t size = tcp ? 1400 - i : !overUdp ? 1351 : i == 0 ? 20 : i < 80 ? 128 : 1350;
    const auto id = static_cast<uint8_t>(i);
    sevenByChannel[overUdp].push_back(Ipv4Packet("192.168.50.10", tcp ? kTcp : kUdp, size, id));
    (overUdp ? udpBytes : frameBytes) += size;
    FromDevice(sevenByChannel[overUdp].back());
    if (i % 12 == 0) {
      toEight.push_back(Ipv4Packet("172.16.0.9", kTcp, 100 + i));
      FromDevice(toEight.back());
      FromDevice(Ipv4Packet("8.8.8.8", kTcp, 60));
    }
  }
  std::map<bool, std::vector<Packet>> arrived;
  for (size_t i = 0; i < 120; ++i) {
    std::optional<Packet> packet = ReadPacket(seven.lan.get());
    ASSERT_TRUE(packet) << i;
    const bool overUdp = (*packet)[9] == kUdp && packet->size() <= 1350;
    arrived[overUdp].push_back(*packet);
  }
  EXPECT_EQ(arrived, sevenByChannel);
  for (const Packet& packet : toEight) {
    EXPECT_EQ(ReadPacket(eight.lan.get()), packet);
  }
  EXPECT_EQ(hub_->unroutable(), toEight.size());

  for (const Packet& fromLan :
       {Ipv4Packet("10.250.0.1", kTcp, 1200, 1), Ipv4Packet("10.250.0.1", kUdp, 200, 2)}) {
    ASSERT_EQ(::write(seven.lan.get(), fromLan.data(), fromLan.size()),
              static_cast<ssize_t>(fromLan.size()));
    EXPECT_EQ(ReadPacket(device_.get()), fromLan);
  }
  EXPECT_TRUE(StatusShows("7", "\"webSocket\":{\"packetsToEdge\":30,\"bytesToEdge\":" +
                                   std::to_string(frameBytes) + ",\"packetsFromEdge\":1,"));
  EXPECT_TRUE(
      StatusShows("7", "\"udp\":{\"packetsToEdge\":90,\"bytesToEdge\":" + std::to_string(udpBytes) +
                           ",\"packetsFromEdge\":1,\"bytesFromEdge\":200}"));
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(announced_, (std::vector<int>{24, 12}));
}

TEST_F(RelayHubTest, NewerConnectionReplacesOlderAndStopEndsTheRest) {
  Edge& first = Connect("7", "s e+cret");
  const std::string firstChannel = ChannelId("7");
  Edge& second = Connect("7", "s e+cret");
  first.Join();  // the replaced connection was closed by the hub
  EXPECT_TRUE(StatusShows("7", "\"webSocketConnections\":2,\"udpChannels\":2"));
  EXPECT_NE(ChannelId("7"), firstChannel);
  // The old channel's identifier no longer carries anything into the device.
  Packet stale(kUdpDataHeaderSize);
  WriteUdpDataHeader(stale.data(), std::stoull(firstChannel));
  const Packet dropped = Ipv4Packet("10.250.0.1", kUdp, 50);
  stale.insert(stale.end(), dropped.begin(), dropped.end());
  EXPECT_FALSE(UdpAnswered(stale));
  const Packet valid = Ipv4Packet("10.250.0.1", kUdp, 60);
  ASSERT_EQ(::write(second.lan.get(), valid.data(), valid.size()), 60);
  EXPECT_EQ(ReadPacket(device_.get()), valid);
  for (const uint8_t protocol : {kTcp, kUdp}) {
    const Packet packet = Ipv4Packet("192.168.50.10", protocol, 80);
    FromDevice(packet);
    EXPECT_EQ(ReadPacket(second.lan.get()), packet);
  }

  hub_->Stop();  // the edge reads the close frame and ends its connection
  second.Join();
  EXPECT_FALSE(second.webSocket.IsConnected());
  EXPECT_TRUE(StatusShows("7", "\"connected\":false"));
}

}  // namespace
}  // namespace larkspire
