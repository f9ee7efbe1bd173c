#include "relay/relay_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <numeric>
#include <thread>

#include "hub/byte_stream.h"
#include "hub/http_reader.h"
#include "relay/ingress_filter.h"
#include "relay/test_packets.h"
#include "relay/udp_datagram.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"
#include "support/resource_count.h"
#include "util/metrics.h"
#include "util/run_flag.h"
#include "util/socket_io.h"
#include "util/thread_start.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;
using Packet = std::vector<uint8_t>;

using IpAddress = std::array<uint8_t, 4>;
constexpr IpAddress kClient = {10, 250, 0, 9};
constexpr IpAddress kLanHost = {192, 168, 50, 10};

// `length` bytes of `marker` behind an IP header that has only its version, protocol and addresses.
Packet IpPacket(size_t length, uint8_t protocol, uint8_t marker, IpAddress source = kClient,
                IpAddress destination = kLanHost, uint8_t version = 4) {
  Packet packet(std::max<size_t>(length, 20), marker);
  packet[0] = static_cast<uint8_t>(version << 4 | 5);
  packet[9] = protocol;
  std::copy(source.begin(), source.end(), packet.begin() + 12);
  std::copy(destination.begin(), destination.end(), packet.begin() + 16);
  packet.resize(length);  // a packet cut short keeps only what fits
  return packet;
}

TEST(IngressFilterTest, LetsInOnlyOverlayTrafficToSharedNetworksOrTheTunnelAddress) {
  using enum IngressFilter::Verdict;
  const IngressFilter filter({"192.168.50.0/24", "10.1.0.0/16", "not a network"});
  const IpAddress client = {10, 250, 3, 4};
  auto packet = [](IpAddress source, IpAddress destination, uint8_t version = 4,
                   size_t length = 40) {
    return IpPacket(length, 6, 0, source, destination, version);
  };
  const struct {
    const char* name;
    std::vector<uint8_t> packet;
    IngressFilter::Verdict verdict;
  } cases[] = {
      {"to a LAN host", packet(client, kLanHost), kPass},
      {"to the second shared network", packet(client, {10, 1, 255, 255}), kPass},
      {"to the tunnel address", packet(client, {100, 79, 255, 1}), kPass},
      {"overlay's edges", packet({10, 250, 255, 255}, {10, 1, 0, 0}), kPass},
      {"bare header", packet(client, kLanHost, 4, 20), kPass},
      {"forged source", packet({8, 8, 8, 8}, kLanHost), kSourceOutsideOverlay},
      {"source next to the overlay", packet({10, 251, 0, 1}, kLanHost), kSourceOutsideOverlay},
      {"source a shared host", packet(kLanHost, kLanHost), kSourceOutsideOverlay},
      {"outside the shared networks", packet(client, {192, 168, 51, 1}), kDestinationNotShared},
      {"next to the tunnel address", packet(client, {100, 79, 255, 2}), kDestinationNotShared},
      {"the overlay itself", packet(client, {10, 250, 0, 1}), kDestinationNotShared},
      {"IPv6", packet(client, kLanHost, 6), kNotIpv4},
      {"too short", packet(client, kLanHost, 4, 19), kNotIpv4},
      {"empty", {}, kNotIpv4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(filter.Check(c.packet), c.verdict);
  }
  EXPECT_EQ(IngressFilter({}).Check(packet(client, kLanHost)), kDestinationNotShared);
}

size_t Bytes(const std::vector<Packet>& packets) {
  return std::accumulate(packets.begin(), packets.end(), size_t{0},
                         [](size_t sum, const Packet& packet) { return sum + packet.size(); });
}

Packet Frame(uint8_t firstByte, Packet payload, const MaskKey* key = nullptr) {
  Packet frame(kMaxFrameHeaderSize);
  frame.resize(WriteFrameHeader(frame.data(), firstByte, payload.size(), key));
  ApplyMask(payload.data(), key ? payload.size() : 0, key ? *key : MaskKey{});
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

sockaddr* Address(sockaddr_in& address) {
  return reinterpret_cast<sockaddr*>(&address);
}

// The descriptors a program the agent runs would inherit.
int Inheritable() {
  int found = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    found += fd > 2 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0 ? 1 : 0;
  }
  return found;
}

std::vector<uint64_t> RelayCounts() {
  const MetricsSnapshot s = TakeMetricsSnapshot();
  return {s.webSocket.packetsFromHub, s.webSocket.bytesFromHub,
          s.webSocket.packetsToHub,   s.webSocket.bytesToHub,
          s.udp.packetsFromHub,       s.udp.bytesFromHub,
          s.udp.packetsToHub,         s.udp.bytesToHub,
          s.relayConnectionsMade,     s.relayConnectionsLost,
          s.udpProbesAccepted,        s.hubPacketsRefused.sourceOutsideOverlay};
}

// Refuses a marked datagram as a kernel does after an ICMP error; those before it leave.
constexpr uint8_t kRefusedMarker = 0xF0;

int RefuseMarkedDatagrams(int fd, mmsghdr* messages, unsigned int count, int flags) {
  unsigned int before = 0;
  for (; before < count; ++before) {
    const auto* datagram = static_cast<uint8_t*>(messages[before].msg_hdr.msg_iov[0].iov_base);
    if (datagram[kUdpDataHeaderSize + 1] == kRefusedMarker) {
      break;
    }
  }
  if (before == 0) {
    errno = ECONNREFUSED;
    return -1;
  }
  return ::sendmmsg(fd, messages, before, flags);
}

// The relay on its own thread, a socket pair as TUN device, a Hub played on one local port.
class RelayConnectionTest : public ::testing::Test {
 protected:
  struct HubFrame {
    FrameHeader header;
    Packet payload;  // unmasked
    bool received = false;
  };

  void SetUp() override {
    while (port_ == 0) {
      listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      hubUdp_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
      socklen_t length = sizeof address;
      ::bind(hubUdp_.get(), Address(address), length);
      ::getsockname(hubUdp_.get(), Address(address), &length);
      if (::bind(listener_.get(), Address(address), length) == 0 &&
          ::listen(listener_.get(), 8) == 0) {
        port_ = ntohs(address.sin_port);
      }
    }
    SetTimeout(hubUdp_.get(), SO_RCVTIMEO, 10s);
    SetTimeout(listener_.get(), SO_RCVTIMEO, 10s);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, device_.data()), 0);
    SetTimeout(device_[1], SO_RCVTIMEO, 10s);
  }

  void TearDown() override {
    connection_.reset();
    if (relay_.valid()) {
      relay_.get();
    }
    webSocket_.Close();
    listener_.Reset();
    hubUdp_.Reset();
    ::close(device_[0]);
    ::close(device_[1]);
    g_running = true;
    EXPECT_EQ(testing::OpenDescriptors(), descriptors_);
    EXPECT_EQ(testing::RunningThreads(), threads_);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  void Start(bool offloadHeader = false) {
    relay_ = std::async(std::launch::async, [this, offloadHeader] {
      RelayOneConnection({device_[0], offloadHeader}, {Url(), "7", "a b/c"}, filter_, webSocket_,
                         udpRelay_);
    });
  }

  void Connect(bool offloadHeader = false) {
    Start(offloadHeader);
    ASSERT_EQ(Accept(), "GET /api/relay/edge/7?secret=a%20b%2Fc HTTP/1.1");
    ASSERT_TRUE(TakeProbe());
    // The gauge goes up after the channel does: once it is up, so are both.
    for (int wait = 0; wait < 500 && !g_metrics.udp.up; ++wait) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(udpRelay_.IsConnected());
  }

  // Accepts the next upgrade; returns its request line.
  std::string Accept() {
    connection_ = std::make_unique<SocketStream>(
        UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)));
    SetTimeout(connection_->fd(), SO_RCVTIMEO, 10s);
    const std::string head = ReadHttpHeaders(*connection_);
    const std::string reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
    Send({reply.begin(), reply.end()});
    return head.substr(0, head.find("\r\n"));
  }

  void Send(const Packet& bytes) { connection_->SendAll(bytes.data(), bytes.size()); }

  HubFrame NextFrame() {
    uint8_t head[kMaxFrameHeaderSize];
    HubFrame frame;
    for (size_t have = 0; !ParseFrameHeader({head, have}, frame.header); ++have) {
      if (!connection_ || !RecvExact(*connection_, head + have, 1)) {
        return {};
      }
    }
    frame.payload.resize(frame.header.payloadLength);
    frame.received = RecvExact(*connection_, frame.payload.data(), frame.payload.size());
    ApplyMask(frame.payload.data(), frame.header.masked ? frame.payload.size() : 0,
              frame.header.key);
    return frame;
  }

  bool TakeProbe(bool answer = true, bool wait = true) {
    uint8_t datagram[2048];
    socklen_t length = sizeof edge_;
    const ssize_t n = ::recvfrom(hubUdp_.get(), datagram, sizeof datagram, wait ? 0 : MSG_DONTWAIT,
                                 Address(edge_), &length);
    UdpProbe probe;
    if (n <= 0 || !ParseUdpProbe({datagram, static_cast<size_t>(n)}, probe) || !answer) {
      return n > 0;
    }
    uint8_t reply[kUdpProbeReplySize];
    WriteUdpProbeReply(reply, ++channelId_);
    return ::sendto(hubUdp_.get(), reply, sizeof reply, 0, Address(edge_), length) > 0;
  }

  // Several packets go as one segmented send; a stranger sends from 127.0.0.2.
  void SendUdp(const std::vector<Packet>& packets, uint64_t channelId = 0, bool stranger = false) {
    Packet run;
    for (const Packet& packet : packets) {
      run.resize(run.size() + kUdpDataHeaderSize);
      WriteUdpDataHeader(&run[run.size() - kUdpDataHeaderSize], channelId ? channelId : channelId_);
      run.insert(run.end(), packet.begin(), packet.end());
    }
    UniqueFd other(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK + 1)}, {}};
    ASSERT_TRUE(!stranger || ::bind(other.get(), Address(address), sizeof address) == 0);
    iovec part{run.data(), run.size()};
    msghdr message{&edge_, sizeof edge_, &part, 1, nullptr, 0, 0};
    UdpSegmentControl control;
    if (packets.size() > 1) {
      RequestUdpSegments(message, control, kUdpDataHeaderSize + packets.front().size());
    }
    ::sendmsg(stranger ? other.get() : hubUdp_.get(), &message, 0);
  }

  void DeviceSends(const Packet& packet) {
    ASSERT_EQ(::write(device_[1], packet.data(), packet.size()),
              static_cast<ssize_t>(packet.size()));
  }

  Packet DeviceReceives() {
    Packet packet(65535);
    const ssize_t n = ::read(device_[1], packet.data(), packet.size());
    packet.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return packet;
  }

  // Feeds packets until the Hub's buffers are full, then waits for the connection to end.
  bool StalledConnectionEndsWithin(std::chrono::seconds patience, bool stop = false) {
    const Packet packet = IpPacket(60000, 6, 0x5A);
    pollfd room{device_[1], POLLOUT, 0};
    for (int sent = 0; sent < 4000 && ::poll(&room, 1, 2000) == 1; ++sent) {
      ::send(device_[1], packet.data(), packet.size(), MSG_DONTWAIT);
    }
    g_running = !stop;
    return relay_.wait_for(patience) == std::future_status::ready;
  }

  const int descriptors_ = testing::OpenDescriptors();
  const int threads_ = testing::RunningThreads();
  int port_ = 0;
  UniqueFd listener_;
  UniqueFd hubUdp_;
  std::unique_ptr<SocketStream> connection_;
  sockaddr_in edge_{};  // the edge's UDP address
  uint64_t channelId_ = 0;
  std::array<int, 2> device_{-1, -1};
  const IngressFilter filter_{{"192.168.50.0/24"}};
  WebSocketRelay webSocket_;
  UdpRelay udpRelay_{RefuseMarkedDatagrams};
  std::future<void> relay_;
};

TEST_F(RelayConnectionTest, CarriesAndCountsPacketsBothWaysOnTheRightChannel) {
  const int inheritable = Inheritable();
  const std::vector<uint64_t> before = RelayCounts();
  Connect();
  EXPECT_TRUE(g_metrics.webSocket.up && g_metrics.udp.up);
  EXPECT_EQ(Inheritable(), inheritable) << "a relay socket would leak into commands";
  Send(Frame(0x82, IpPacket(60, 6, 0x99, {8, 8, 8, 8})));  // a forged source: dropped
  const Packet fromHub = IpPacket(1400, 6, 0x11);
  Send(Frame(0x82, fromHub));
  EXPECT_EQ(DeviceReceives(), fromHub);

  // Small UDP packets take UDP; one the kernel refuses takes the WebSocket, later ones UDP.
  std::vector<Packet> datagrams;
  for (uint8_t i = 0; i < 40; ++i) {
    datagrams.push_back(IpPacket(i == 30 ? 1350 : 200 + i / 10, 17, i));
  }
  const Packet refused = IpPacket(333, 17, kRefusedMarker);
  datagrams.insert(datagrams.begin() + 15, refused);
  datagrams.push_back(IpPacket(20, 17, 40));
  for (const Packet& packet : datagrams) {
    DeviceSends(packet);
  }
  for (const Packet& packet : datagrams) {
    if (packet == refused) {
      continue;
    }
    uint8_t datagram[2048];
    const ssize_t n = ::recv(hubUdp_.get(), datagram, sizeof datagram, 0);
    UdpData data;
    ASSERT_TRUE(n > 0 && ParseUdpData({datagram, size_t(n)}, data));
    EXPECT_EQ(data.channelId, channelId_);
    ASSERT_EQ(Packet(data.packet.begin(), data.packet.end()), packet);
  }
  // Large, truncated or IPv6 UDP packets take the WebSocket too.
  std::vector<Packet> framed = {refused, IpPacket(19, 17, 0x19),
                                IpPacket(60, 17, 0x66, kClient, kLanHost, /*version=*/6)};
  for (size_t i = 0; i < 100; ++i) {
    framed.push_back(i % 2 ? IpPacket(1351, 17, 0x33) : IpPacket(60 + i, 6, uint8_t(i)));
  }
  for (size_t i = 1; i < framed.size(); ++i) {
    DeviceSends(framed[i]);
  }
  for (size_t i = 0; i < framed.size(); ++i) {
    const HubFrame frame = NextFrame();
    EXPECT_EQ(frame.payload, framed[i]);
    ASSERT_EQ(frame.header.key, MaskKeyFor(static_cast<uint32_t>(i + 1), kDataMaskMultiplier));
  }

  // Another channel's, a stranger's and oversized datagrams are dropped; a run is split.
  SendUdp({IpPacket(100, 17, 0xEE)}, channelId_ + 1);
  SendUdp({IpPacket(100, 17, 0xEE)}, 0, /*stranger=*/true);
  SendUdp({IpPacket(kMaxUdpPacket + 1, 17, 0xEE)});
  std::vector<Packet> run;
  for (uint8_t i = 0; i < 20; ++i) {
    run.push_back(IpPacket(i < 19 ? 300 : 120, 17, i));
  }
  SendUdp(run);
  for (const Packet& packet : run) {
    ASSERT_EQ(DeviceReceives(), packet);
  }

  Send(Frame(0x88, {}));  // a close frame ends the connection
  relay_.get();
  EXPECT_FALSE(webSocket_.IsConnected() || udpRelay_.IsConnected() || udpRelay_.channelId());
  EXPECT_FALSE(g_metrics.webSocket.up || g_metrics.udp.up);
  std::vector<uint64_t> rise = RelayCounts();
  std::transform(rise.begin(), rise.end(), before.begin(), rise.begin(), std::minus<>());
  EXPECT_EQ(rise, (std::vector<uint64_t>{1, 1400, 103, Bytes(framed), 20, Bytes(run), 41,
                                         Bytes(datagrams) - 333, 1, 1, 1, 1}));
}

TEST_F(RelayConnectionTest, ProbesCutShortOrUnansweredLeaveEverythingToTheWebSocket) {
  Start();
  Accept();
  ASSERT_TRUE(TakeProbe(false));
  connection_.reset();
  relay_.get();
  TakeProbe(false, false);  // the attempt under way may still send; no other follows
  EXPECT_FALSE(TakeProbe(false, false));

  Start();
  Accept();
  for (int probe = 0; probe < 4; ++probe) {
    ASSERT_TRUE(TakeProbe(false)) << probe;
  }
  const Packet smallUdp = IpPacket(100, 17, 0x22);
  DeviceSends(smallUdp);
  EXPECT_EQ(NextFrame().payload, smallUdp);
  EXPECT_FALSE(TakeProbe(false, false)) << "a fifth probe";
}

TEST_F(RelayConnectionTest, AHubThatStopsReadingIsDroppedAndCannotDelayAStop) {
  Connect();
  EXPECT_TRUE(StalledConnectionEndsWithin(30s));
  EXPECT_FALSE(webSocket_.IsConnected());
  relay_.get();
  const uint64_t lost = g_metrics.relayConnectionsLost;
  Connect();
  EXPECT_TRUE(StalledConnectionEndsWithin(5s, /*stop=*/true));
  EXPECT_EQ(g_metrics.relayConnectionsLost, lost) << "a stop is no lost connection";
}

// A packet held back for merging is written when the read that brought it ends in a ping.
TEST_F(RelayConnectionTest, WithOffloadHeadersAPacketFollowedByAPingIsWrittenAtOnce) {
  Connect(/*offloadHeader=*/true);
  const Packet segment = testing::TcpSegment(testing::Flow{}, 0, 1000, 1);
  Packet withHeader(sizeof(OffloadHeader), 0);
  withHeader.insert(withHeader.end(), segment.begin(), segment.end());
  DeviceSends(withHeader);
  EXPECT_EQ(NextFrame().payload, segment);
  Packet bytes = Frame(0x82, segment);
  bytes.insert(bytes.end(), {kFinBit | kOpcodePing, 0});
  Send(bytes);
  EXPECT_EQ(DeviceReceives(), withHeader);
}

// Each protocol fault brings the WebSocket down, without a close reply or a pong.
TEST_F(RelayConnectionTest, TheWebSocketReadsFramesSplitAnywhereAndDropsAFaultyHub) {
  auto reconnect = [this] {
    auto edge = std::async(std::launch::async, [this] { webSocket_.Connect(Url(), "7", "s"); });
    Accept();
  };
  auto read = [this] {
    std::span<const uint8_t> message;
    return webSocket_.ReadMessage(message) ? std::string(message.begin(), message.end()) : "<down>";
  };
  reconnect();
  // Frames straddle the receive buffer's end; then a masked frame a byte at a time.
  Packet stream;
  for (int i = 0; i < 400; ++i) {
    const Packet frame = Frame(0x82, Packet(i % 3 ? 1400 : 100, uint8_t('a' + i % 26)));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  Send(stream);
  for (int i = 0; i < 400; ++i) {
    ASSERT_EQ(read(), std::string(i % 3 ? 1400 : 100, char('a' + i % 26))) << i;
  }
  const MaskKey key{1, 2, 3, 4};
  for (uint8_t byte : Frame(0x82, Packet(300, 'z'), &key)) {
    Send(Packet{byte});
  }
  EXPECT_EQ(read(), std::string(300, 'z'));
  Send(Frame(0x89, {'h', 'i'}));
  Send(Frame(0x82, Packet(kMaxFramePayload, 'L')));
  EXPECT_EQ(read(), std::string(kMaxFramePayload, 'L'));
  const HubFrame pong = NextFrame();
  EXPECT_EQ(pong.header.opcode, kOpcodePong);
  EXPECT_EQ(pong.header.key, MaskKeyFor(1, kPongMaskMultiplier));
  EXPECT_EQ(pong.payload, (Packet{'h', 'i'}));

  const std::pair<const char*, Packet> faults[] = {
      {"close frame", Frame(0x88, {0x03, 0xE8})},
      {"frame over 4 MiB", {0x82, 0x7F, 0, 0, 0, 0, 0, 0x40, 0, 1}},
      {"assembler violation", Frame(0x89, Packet(126))},
      {"peer gone mid-message", {0x02, 0x01, 'a', 0x80, 0x05, 'a', 'b'}},
  };
  for (const auto& [name, bytes] : faults) {
    SCOPED_TRACE(name);
    Send(bytes);
    if (std::string(name) == "peer gone mid-message") {
      connection_.reset();
    }
    EXPECT_EQ(read(), "<down>");
    EXPECT_FALSE(webSocket_.IsConnected());
    webSocket_.Close();
    EXPECT_FALSE(NextFrame().received) << "no close reply, no pong";
    reconnect();
    Send(Frame(0x82, {'x'}));
    EXPECT_EQ(read(), "x") << "the last connection's leftovers";
  }
}

// A reader that cannot start ends the service (not a connection to retry), its channel closed.
TEST_F(RelayConnectionTest, AReaderThatCannotStartEndsTheConnectionWithThreadStartError) {
  const pid_t child = ::fork();
  if (child == 0) {
    std::thread hubSide([this] { Accept(); });
    // From here on clone and clone3 fail, as when the system is out of threads.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
    };
    sock_fprog filter{sizeof program / sizeof program[0], program};
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter);
    try {
      RelayOneConnection(device_[0], {Url(), "7", "s"}, filter_, webSocket_, udpRelay_);
    } catch (const ThreadStartError&) {
      hubSide.join();
      ::_exit(webSocket_.IsConnected() ? 2 : 0);
    }
    ::_exit(3);  // any other exception ends the child abnormally
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace larkspire
