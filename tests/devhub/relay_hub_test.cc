#include "devhub/relay_hub.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "devhub/relay_upgrade.h"
#include "devhub/server.h"
#include "relay/relay_session.h"
#include "relay/udp_relay.h"
#include "relay/websocket_frame.h"
#include "relay/websocket_relay.h"
#include "support/fake_edge.h"
#include "support/resource_count.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;
using testing::FakeEdge;
using testing::Ipv4Packet;

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
const char* const kLanHost = "192.168.50.10";
using Packets = std::vector<std::vector<uint8_t>>;

// A relay hub whose packet device is a socket pair; device 7 ("s e+cret") shares the LAN.
class RelayHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baselineFds_ = testing::OpenDescriptors();
    baselineThreads_ = testing::RunningThreads();
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    device_.Reset(pair[0]);
    hubSide_.Reset(pair[1]);
  }

  void StartHub(std::chrono::milliseconds pingInterval = 20s) {
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
    options.pingInterval = pingInterval;
    options.closeGrace = 500ms;
    hub_ = std::make_unique<RelayHub>(options);
    server_ = std::make_unique<DevHubServer>("127.0.0.1", 0);
    AddRelayRoutes(*server_, *hub_);
    server_->Start();
    // The UDP relay listens on the same port number as the HTTP side, as edges expect.
    hub_->EnableUdp("127.0.0.1", server_->Port());
    hub_->Start();
  }

  std::unique_ptr<FakeEdge> Connect(const std::string& number = "7",
                                    const std::string& secret = "s%20e%2Bcret") {
    auto edge = std::make_unique<FakeEdge>(server_->Port(), number, secret);
    EXPECT_EQ(edge->replyHead().substr(0, 12), "HTTP/1.1 101") << edge->replyHead();
    return edge;
  }

  // Writes a packet into the hub as the kernel would from its TUN.
  void FromDevice(const std::vector<uint8_t>& packet) {
    ASSERT_EQ(::write(device_.get(), packet.data(), packet.size()),
              static_cast<ssize_t>(packet.size()));
  }

  std::optional<std::vector<uint8_t>> IntoDevice() { return ReadPacket(device_.get()); }

  static std::optional<std::vector<uint8_t>> ReadPacket(int fd) {
    pollfd poller{fd, POLLIN, 0};
    if (::poll(&poller, 1, 5000) <= 0) {
      return std::nullopt;
    }
    std::vector<uint8_t> packet(65536);
    ssize_t n = ::read(fd, packet.data(), packet.size());
    packet.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return packet;
  }

  static void ExpectFrames(FakeEdge& edge, const Packets& packets) {
    for (size_t i = 0; i < packets.size(); ++i) {
      std::optional<FakeEdge::Frame> frame = edge.NextNonPingFrame();
      ASSERT_TRUE(frame) << i;
      EXPECT_EQ(frame->payload, packets[i]) << i;
    }
  }

  static void ExpectDatagrams(FakeEdge& edge, uint64_t channelId, const Packets& packets) {
    for (size_t i = 0; i < packets.size(); ++i) {
      uint64_t channel = 0;
      EXPECT_EQ(edge.NextUdpPacket(channel), packets[i]) << i;
      EXPECT_EQ(channel, channelId);
    }
  }

  static void ExpectClose(FakeEdge& edge, uint16_t code) {
    std::optional<FakeEdge::Frame> close = edge.NextNonPingFrame();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->opcode, kOpcodeClose);
    EXPECT_EQ(close->payload, (std::vector<uint8_t>{static_cast<uint8_t>(code >> 8),
                                                    static_cast<uint8_t>(code & 0xFF)}));
  }

  // Counters are bumped right after a packet is handed over, so the test may see the packet
  // first: poll the listing until it shows `text`.
  bool StatusShows(const std::string& text) {
    for (int i = 0; i < 100; ++i) {
      if (hub_->StatusJson("7").find(text) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "status never showed " << text << ": " << hub_->StatusJson("7");
    return false;
  }

  void TearDown() override {
    if (hub_) {
      hub_->Stop();
    }
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
  std::mutex mutex_;
  std::vector<int> announced_;
  int baselineFds_ = 0;
  int baselineThreads_ = 0;
};

TEST_F(RelayHubTest, RefusesWrongSecretsAndRequestsThatAreNoUpgrade) {
  StartHub();
  FakeEdge wrongSecret(server_->Port(), "7", "nope");
  EXPECT_EQ(wrongSecret.replyHead().substr(0, 12), "HTTP/1.1 403");
  EXPECT_NE(wrongSecret.ReadRest().find("\"success\":false"), std::string::npos);

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

TEST_F(RelayHubTest, CarriesPacketsOverWebSocketPingsAndDropsProtocolBreakers) {
  StartHub(50ms);
  std::unique_ptr<FakeEdge> edge = Connect();
  EXPECT_NE(edge->replyHead().find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="),
            std::string::npos);
  std::optional<FakeEdge::Frame> frame = edge->NextFrame();  // an idle edge is pinged
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->opcode, kOpcodePing);

  // Hub to edge: an unmasked binary frame holding exactly the packet.
  std::vector<uint8_t> toEdge = Ipv4Packet(kLanHost, kTcp, 1400);
  FromDevice(toEdge);
  frame = edge->NextNonPingFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->opcode, kOpcodeBinary);
  EXPECT_TRUE(frame->fin);
  EXPECT_FALSE(frame->masked);
  EXPECT_EQ(frame->payload, toEdge);

  // Edge to hub in fragments with a ping between them (whole frames: the real edge test).
  std::vector<uint8_t> fromEdge = Ipv4Packet("10.250.0.1", kTcp, 100);
  edge->SendFrame(kOpcodeBinary, {fromEdge.begin(), fromEdge.begin() + 30});
  edge->SendFrame(kFinBit | kOpcodePing, {'p', 'i', 'n', 'g'});
  edge->SendFrame(kFinBit | kOpcodeContinuation, {fromEdge.begin() + 30, fromEdge.end()});
  frame = edge->NextNonPingFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->opcode, kOpcodePong);
  EXPECT_EQ(frame->payload, (std::vector<uint8_t>{'p', 'i', 'n', 'g'}));
  EXPECT_EQ(IntoDevice(), fromEdge);

  // Nobody serves this destination.
  FromDevice(Ipv4Packet("8.8.8.8", kTcp, 60));
  FromDevice(toEdge);
  ASSERT_TRUE(edge->NextNonPingFrame());
  EXPECT_EQ(hub_->unroutable(), 1u);

  EXPECT_TRUE(StatusShows("{\"connected\":true,\"udpChannelId\":\"\""));
  EXPECT_TRUE(
      StatusShows("\"webSocket\":{\"packetsToEdge\":2,\"bytesToEdge\":2800,"
                  "\"packetsFromEdge\":1,\"bytesFromEdge\":100}"));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(announced_, std::vector<int>{24});
  }

  // 65536 bytes is more than any packet: closed with a protocol error.
  edge->SendRaw({kFinBit | kOpcodeBinary, 127, 0, 0, 0, 0, 0, 1, 0, 0});
  ExpectClose(*edge, 1002);
  EXPECT_FALSE(edge->NextNonPingFrame());  // the hub hangs up after the grace
}

TEST_F(RelayHubTest, SmallUdpPacketsTakeTheUdpChannelAndBurstsKeepTheirOrder) {
  StartHub();
  std::unique_ptr<FakeEdge> eight = Connect("8", "x");
  // Without its own relay connection, or with a wrong secret, a probe gets no answer.
  EXPECT_FALSE(eight->Probe(hub_->UdpPort(), "7", "s e+cret", 300ms));
  std::unique_ptr<FakeEdge> seven = Connect();
  EXPECT_FALSE(seven->Probe(hub_->UdpPort(), "7", "wrong", 300ms));
  std::optional<uint64_t> id = seven->Probe(hub_->UdpPort(), " 7 ", "s e+cret");
  ASSERT_TRUE(id);
  EXPECT_EQ(seven->Probe(hub_->UdpPort(), "7", "s e+cret"),
            id);  // a repeated probe of one connection keeps the identifier

  // Packets are read from the device in passes and sent per edge and channel in batches:
  // nothing may be lost, merged or reordered. Device 7 gets runs of equal-sized UDP packets
  // (one segmented send, yet each must arrive as its own datagram), and every fourth packet
  // takes the WebSocket: TCP, or UDP one byte too large. Device 8's packets now and then cut
  // 7's run of frames.
  Packets sevenUdp;
  Packets sevenFrames;
  Packets eightFrames;
  size_t udpBytes = 0;
  size_t frameBytes = 0;
  for (size_t i = 0; i < 120; ++i) {
    const bool tcp = i % 8 == 3;
    const bool overUdp = i % 4 != 3;
    const size_t size = tcp ? 1400 - i : !overUdp ? 1351 : i == 0 ? 20 : i < 80 ? 128 : 1350;
    std::vector<uint8_t> packet = Ipv4Packet(kLanHost, tcp ? kTcp : kUdp, size);
    packet[4] = static_cast<uint8_t>(i);  // the identification tells equal-sized packets apart
    (overUdp ? udpBytes : frameBytes) += size;
    (overUdp ? sevenUdp : sevenFrames).push_back(packet);
    FromDevice(packet);
    if (i % 12 == 0) {
      eightFrames.push_back(Ipv4Packet("172.16.0.9", kTcp, 100 + i));
      FromDevice(eightFrames.back());
    }
  }
  ExpectDatagrams(*seven, *id, sevenUdp);
  ExpectFrames(*seven, sevenFrames);
  ExpectFrames(*eight, eightFrames);

  std::vector<uint8_t> fromEdge = Ipv4Packet("10.250.0.1", kUdp, 200);
  seven->SendUdp(hub_->UdpPort(), *id + 1, Ipv4Packet("10.250.0.1", kUdp, 99));  // dropped
  seven->SendUdp(hub_->UdpPort(), *id, fromEdge);
  EXPECT_EQ(IntoDevice(), fromEdge);
  EXPECT_TRUE(StatusShows("\"udpChannelId\":\"" + std::to_string(*id) + "\""));
  EXPECT_TRUE(StatusShows(
      "\"webSocket\":{\"packetsToEdge\":30,\"bytesToEdge\":" + std::to_string(frameBytes) + ","));
  EXPECT_TRUE(
      StatusShows("\"udp\":{\"packetsToEdge\":90,\"bytesToEdge\":" + std::to_string(udpBytes) +
                  ",\"packetsFromEdge\":1,\"bytesFromEdge\":200}"));
}

TEST_F(RelayHubTest, NewerConnectionReplacesOlderAndStopSaysGoingAway) {
  StartHub();
  std::unique_ptr<FakeEdge> first = Connect();
  std::optional<uint64_t> firstId = first->Probe(hub_->UdpPort(), "7", "s e+cret");
  ASSERT_TRUE(firstId);

  std::unique_ptr<FakeEdge> second = Connect();
  ExpectClose(*first, 1000);
  first->CloseSocket();

  std::optional<uint64_t> secondId = second->Probe(hub_->UdpPort(), "7", "s e+cret");
  ASSERT_TRUE(secondId);
  EXPECT_NE(secondId, firstId);
  const Packets packet = {Ipv4Packet(kLanHost, kTcp, 80)};
  FromDevice(packet[0]);
  ExpectFrames(*second, packet);

  // The old channel's identifier no longer carries anything.
  second->SendUdp(hub_->UdpPort(), *firstId, Ipv4Packet("10.250.0.1", kUdp, 50));
  std::vector<uint8_t> valid = Ipv4Packet("10.250.0.1", kUdp, 60);
  second->SendUdp(hub_->UdpPort(), *secondId, valid);
  EXPECT_EQ(IntoDevice(), valid);
  EXPECT_TRUE(StatusShows("\"webSocketConnections\":2,\"udpChannels\":2"));

  std::thread edgeSide([&] {
    ExpectClose(*second, 1001);
    second->CloseSocket();  // as the edge does when it reads a close frame
  });
  hub_->Stop();
  edgeSide.join();
  EXPECT_TRUE(StatusShows("\"connected\":false"));
}

// The edge's own relay code against the hub: both ends' framing, masking, channel choice and
// probe must agree.
TEST_F(RelayHubTest, RealEdgeRelayCarriesTrafficAndEndsWhenTheHubStops) {
  StartHub();
  int edgePair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, edgePair), 0);
  UniqueFd edgeTun(edgePair[0]);
  UniqueFd lan(edgePair[1]);
  WebSocketRelay webSocket;
  UdpRelay udp;
  std::thread edge([&] {
    RelayOneConnection(edgeTun.get(),
                       {"http://127.0.0.1:" + std::to_string(server_->Port()), "7", "s e+cret"},
                       IngressFilter({"192.168.50.0/24"}), webSocket, udp);
  });
  ASSERT_TRUE(StatusShows("\"udpChannels\":1"));
  for (const auto& [protocol, size] :
       {std::pair{kTcp, size_t{1400}}, std::pair{kUdp, size_t{100}}}) {
    std::vector<uint8_t> toLan = Ipv4Packet(kLanHost, protocol, size);
    FromDevice(toLan);
    EXPECT_EQ(ReadPacket(lan.get()), toLan);
  }
  std::vector<uint8_t> fromLan = Ipv4Packet("10.250.0.1", kTcp, 1200);
  ASSERT_EQ(::write(lan.get(), fromLan.data(), fromLan.size()), 1200);
  EXPECT_EQ(IntoDevice(), fromLan);
  EXPECT_TRUE(
      StatusShows("\"webSocket\":{\"packetsToEdge\":1,\"bytesToEdge\":1400,"
                  "\"packetsFromEdge\":1,"));
  EXPECT_TRUE(StatusShows("\"udp\":{\"packetsToEdge\":1,\"bytesToEdge\":100,"));

  hub_->Stop();  // the edge reads the close frame and ends its connection
  edge.join();
  EXPECT_FALSE(webSocket.IsConnected());
}

}  // namespace
}  // namespace larkspire
