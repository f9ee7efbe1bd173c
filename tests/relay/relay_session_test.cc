#include "relay/relay_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "relay/test_packets.h"
#include "relay/udp_datagram.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"
#include "support/prometheus_text.h"
#include "support/resource_count.h"
#include "util/fd.h"
#include "util/metrics.h"
#include "util/run_flag.h"
#include "util/socket_io.h"
#include "util/thread_start.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;
using Packet = std::vector<uint8_t>;

// From `source` (an overlay client unless told otherwise) to a host in the shared network.
Packet Ipv4Packet(size_t length, uint8_t protocol, uint8_t marker, uint8_t sourceFirst = 10) {
  Packet packet(length, marker);
  const uint8_t addresses[] = {sourceFirst, 250, 0, 9, 192, 168, 50, 10};
  packet[0] = 0x45;
  packet[9] = protocol;
  std::copy(std::begin(addresses), std::end(addresses), packet.begin() + 12);
  return packet;
}

// A frame as the Hub sends it: unmasked unless given a key.
Packet Frame(uint8_t firstByte, const Packet& payload, const MaskKey* key = nullptr) {
  Packet frame(kMaxFrameHeaderSize);
  frame.resize(WriteFrameHeader(frame.data(), firstByte, payload.size(), key));
  frame.insert(frame.end(), payload.begin(), payload.end());
  ApplyMask(frame.data() + frame.size() - payload.size(), key ? payload.size() : 0,
            key ? *key : MaskKey{});
  return frame;
}

// A stand-in Hub on 127.0.0.1: a TCP listener for the WebSocket upgrade and a UDP socket on the
// same port number. The test plays the Hub step by step while the edge runs on a thread of its own;
// every wait gives up after 10 s (generous, for sanitizer builds), so a step the edge never takes
// fails the test instead of hanging it.
class FakeHub {
 public:
  struct Frame {
    FrameHeader header;
    Packet payload;  // unmasked
  };

  FakeHub() {
    for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
      listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      udp_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
      socklen_t length = sizeof address;
      ::bind(listener_.get(), Address(address), length);
      ::getsockname(listener_.get(), Address(address), &length);
      if (::bind(udp_.get(), Address(address), length) == 0 && ::listen(listener_.get(), 8) == 0) {
        port_ = ntohs(address.sin_port);
      }
    }
    SetTimeout(udp_.get(), SO_RCVTIMEO, 10s);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Takes the next connection and accepts its upgrade; the request line, or empty when no
  // connection came.
  std::string Accept() {
    pollfd waiting{listener_.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) {
      return {};
    }
    connection_.Reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    SetTimeout(connection_.get(), SO_RCVTIMEO, 10s);
    std::string head;
    for (char byte; head.find("\r\n\r\n") == std::string::npos &&
                    ::recv(connection_.get(), &byte, 1, 0) == 1;) {
      head += byte;
    }
    const std::string reply =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: "
        "websocket\r\nConnection: Upgrade\r\n\r\n";
    Send({reply.begin(), reply.end()});
    return head.substr(0, head.find("\r\n"));
  }

  void Send(const Packet& bytes) {
    ::send(connection_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  // The edge's next frame; nothing when the connection ended or nothing came.
  std::optional<Frame> NextFrame() {
    auto read = [this](uint8_t* out, size_t count) {
      return ::recv(connection_.get(), out, count, MSG_WAITALL) == static_cast<ssize_t>(count);
    };
    uint8_t head[kMaxFrameHeaderSize];
    Frame frame;
    size_t have = 0;
    do {
      if (!read(head + have++, 1)) {
        return std::nullopt;
      }
    } while (!ParseFrameHeader({head, have}, frame.header));
    frame.payload.resize(frame.header.payloadLength);
    if (!read(frame.payload.data(), frame.payload.size())) {
      return std::nullopt;
    }
    ApplyMask(frame.payload.data(), frame.header.masked ? frame.payload.size() : 0,
              frame.header.key);
    return frame;
  }

  void Disconnect() { connection_.Reset(); }

  // Takes the edge's next UDP probe (waiting for it, or only looking) and answers it with a new
  // channel unless told not to; false when none came.
  bool TakeProbe(bool answer = true, bool wait = true) {
    uint8_t datagram[2048];
    socklen_t length = sizeof edge_;
    const ssize_t n = ::recvfrom(udp_.get(), datagram, sizeof datagram, wait ? 0 : MSG_DONTWAIT,
                                 Address(edge_), &length);
    UdpProbe probe;
    if (n <= 0 || !ParseUdpProbe({datagram, static_cast<size_t>(n)}, probe)) {
      return false;
    }
    if (answer) {
      uint8_t reply[kUdpProbeReplySize];
      WriteUdpProbeReply(reply, ++channelId_);
      ::sendto(udp_.get(), reply, sizeof reply, 0, Address(edge_), sizeof edge_);
    }
    return true;
  }

  uint64_t channelId() const { return channelId_; }

  // The packet of the edge's next data datagram.
  std::optional<Packet> NextUdpPacket() {
    uint8_t datagram[2048];
    const ssize_t n = ::recv(udp_.get(), datagram, sizeof datagram, 0);
    UdpData data;
    if (n <= 0 || !ParseUdpData({datagram, static_cast<size_t>(n)}, data) ||
        data.channelId != channelId_) {
      return std::nullopt;
    }
    return Packet(data.packet.begin(), data.packet.end());
  }

  // Data datagrams of the current channel (or of `channelId`) to the edge: several packets of
  // one size (the last may be shorter) as one segmented send, which a receiver that asked for
  // it gets as one coalesced message. Given `from`, a stranger on that loopback address sends.
  void SendUdp(const std::vector<Packet>& packets, uint64_t channelId = 0,
               const char* from = nullptr) {
    Packet run;
    for (const Packet& packet : packets) {
      run.resize(run.size() + kUdpDataHeaderSize);
      WriteUdpDataHeader(&run[run.size() - kUdpDataHeaderSize], channelId ? channelId : channelId_);
      run.insert(run.end(), packet.begin(), packet.end());
    }
    UniqueFd stranger(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, from != nullptr ? from : "127.0.0.1", &address.sin_addr);
    ASSERT_TRUE(from == nullptr || ::bind(stranger.get(), Address(address), sizeof address) == 0);
    const auto segment = static_cast<uint16_t>(kUdpDataHeaderSize + packets.front().size());
    iovec part{run.data(), run.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof segment)] = {};
    msghdr message{&edge_, sizeof edge_, &part, 1, control, sizeof control, 0};
    *CMSG_FIRSTHDR(&message) = {CMSG_LEN(sizeof segment), SOL_UDP, UDP_SEGMENT};
    std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&message)), &segment, sizeof segment);
    message.msg_controllen = packets.size() > 1 ? sizeof control : 0;
    ::sendmsg(from != nullptr ? stranger.get() : udp_.get(), &message, 0);
  }

 private:
  static sockaddr* Address(sockaddr_in& address) { return reinterpret_cast<sockaddr*>(&address); }

  int port_ = 0;
  UniqueFd listener_;
  UniqueFd udp_;
  UniqueFd connection_;
  sockaddr_in edge_{};  // the edge's UDP address
  uint64_t channelId_ = 0;
};

auto Scrape() {
  return testing::ParsePrometheusText(RenderPrometheusText(TakeMetricsSnapshot()));
}

// The descriptors a program the agent runs would inherit.
std::set<int> Inheritable() {
  std::set<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    if (fd > 2 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
      found.insert(fd);
    }
  }
  return found;
}

// The packet whose bytes after the IP version are this marker is refused by the stand-in
// for sendmmsg below, as a kernel refuses a datagram after an ICMP error: the messages
// before it leave, the call reports them, and the next call starts with the refused one.
constexpr uint8_t kRefusedMarker = 0xF0;

int RefuseMarkedDatagrams(int fd, mmsghdr* messages, unsigned int count, int flags) {
  for (unsigned int i = 0; i < count; ++i) {
    const auto* datagram = static_cast<const uint8_t*>(messages[i].msg_hdr.msg_iov[0].iov_base);
    if (datagram[kUdpDataHeaderSize + 1] == kRefusedMarker) {
      if (i == 0) {
        errno = ECONNREFUSED;
        return -1;
      }
      return ::sendmmsg(fd, messages, i, flags);
    }
  }
  return ::sendmmsg(fd, messages, count, flags);
}

// One relay connection on its own thread against a stand-in Hub that the test plays, with
// one end of a packet-preserving socket pair standing in for the TUN device. Whatever a test
// does, descriptors and threads must be back to what they were.
class RelayConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptors_ = testing::OpenDescriptors();
    threads_ = testing::RunningThreads();
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, device_.data()), 0);
    timeval patience{10, 0};  // a missing packet fails the test instead of hanging it
    ::setsockopt(device_[1], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  }

  void TearDown() override {
    hub_.Disconnect();
    if (relay_.joinable()) {
      relay_.join();
    }
    webSocket_.Close();
    ::close(device_[0]);
    ::close(device_[1]);
    g_running = true;
    EXPECT_EQ(testing::OpenDescriptors(), descriptors_);
    EXPECT_EQ(testing::RunningThreads(), threads_);
  }

  void Start(bool offloadHeader = false) {
    relay_ = std::thread([this, offloadHeader] {
      try {
        RelayOneConnection({device_[0], offloadHeader}, {hub_.url(), "7", "secret"}, filter_,
                           webSocket_, udp_);
      } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
      }
      returned_ = true;
    });
  }

  // Starts the connection and lets both channels come up.
  void Connect(bool offloadHeader = false) {
    Start(offloadHeader);
    ASSERT_FALSE(hub_.Accept().empty());
    ASSERT_TRUE(hub_.TakeProbe());
    for (int wait = 0; wait < 500 && !udp_.IsConnected(); ++wait) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(udp_.IsConnected());
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

  // Feeds large packets until the pump stops taking them, which happens only when the Hub's socket
  // buffers are full; stops the program when told to; then waits for the connection to end.
  bool StalledConnectionEndsWithin(std::chrono::seconds patience, bool stop = false) {
    const Packet packet = Ipv4Packet(60000, 6, 0x5A);
    pollfd room{device_[1], POLLOUT, 0};
    for (int sent = 0; sent < 4000 && ::poll(&room, 1, 2000) == 1; ++sent) {
      ::send(device_[1], packet.data(), packet.size(), MSG_DONTWAIT);
    }
    g_running = !stop;
    for (auto waited = 0ms; waited < patience && !returned_; waited += 100ms) {
      std::this_thread::sleep_for(100ms);
    }
    return returned_;
  }

  std::array<int, 2> device_{-1, -1};
  FakeHub hub_;
  const IngressFilter filter_{{"192.168.50.0/24"}};
  WebSocketRelay webSocket_;
  UdpRelay udp_{RefuseMarkedDatagrams};
  std::thread relay_;
  std::atomic<bool> returned_{false};
  int descriptors_ = 0;
  int threads_ = 0;
};

TEST_F(RelayConnectionTest, CarriesAndCountsPacketsBothWaysOnTheRightChannel) {
  const std::set<int> inheritable = Inheritable();
  const auto before = Scrape();
  Connect();
  // A forged source is dropped and not counted as carried.
  hub_.Send(Frame(0x82, Ipv4Packet(60, 6, 0x99, 8)));
  const Packet fromHub = Ipv4Packet(1400, 6, 0x11);
  hub_.Send(Frame(0x82, fromHub));
  EXPECT_EQ(DeviceReceives(), fromHub);
  EXPECT_EQ(Inheritable(), inheritable) << "a relay socket would leak into commands";
  auto during = Scrape();
  EXPECT_EQ(during["larkspire_edge_relay_channel_up{channel=\"websocket\"}"], 1);
  EXPECT_EQ(during["larkspire_edge_relay_channel_up{channel=\"udp\"}"], 1);

  const Packet smallUdp = Ipv4Packet(1350, 17, 0x22);
  DeviceSends(smallUdp);
  EXPECT_EQ(hub_.NextUdpPacket(), smallUdp);
  // Everything else goes as frames, in order, each with the next masking key, in batches.
  size_t framedBytes = 0;
  for (size_t i = 0; i < 100; ++i) {
    DeviceSends(i % 2 ? Ipv4Packet(1351, 17, 0x33) : Ipv4Packet(60 + i, 6, uint8_t(i)));
    framedBytes += i % 2 ? 1351 : 60 + i;
  }
  for (size_t i = 0; i < 100; ++i) {
    auto frame = hub_.NextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload,
              i % 2 ? Ipv4Packet(1351, 17, 0x33) : Ipv4Packet(60 + i, 6, uint8_t(i)));
    ASSERT_EQ(frame->header.key, MaskKeyFor(static_cast<uint32_t>(i + 1), kDataMaskMultiplier));
  }

  // Datagrams of another channel, from another host or too long are dropped; a run sent as one
  // segmented send arrives datagram by datagram, in order.
  hub_.SendUdp({Ipv4Packet(100, 17, 0xEE)}, hub_.channelId() + 1);
  hub_.SendUdp({Ipv4Packet(100, 17, 0xEE)}, 0, "127.0.0.2");
  hub_.SendUdp({Ipv4Packet(kMaxUdpPacket + 1, 17, 0xEE)});
  std::vector<Packet> run;
  for (uint8_t i = 0; i < 20; ++i) {
    run.push_back(Ipv4Packet(i < 19 ? 300 : 120, 17, i));
  }
  hub_.SendUdp(run);
  for (const Packet& packet : run) {
    EXPECT_EQ(DeviceReceives(), packet);
  }

  hub_.Send(std::vector<uint8_t>{0x88, 0x00});  // a close frame ends the connection
  relay_.join();
  EXPECT_FALSE(webSocket_.IsConnected() || udp_.IsConnected() || udp_.channelId() != 0);
  auto after = Scrape();
  auto rise = [&](const std::string& sample) { return after[sample] - before.at(sample); };
  auto traffic = [&](const char* channel, const char* direction) {
    const std::string labels =
        std::string("{channel=\"") + channel + "\",direction=\"" + direction + "\"}";
    return std::pair{rise("larkspire_edge_relay_packets_total" + labels),
                     rise("larkspire_edge_relay_bytes_total" + labels)};
  };
  EXPECT_EQ(traffic("websocket", "from_hub"), std::pair(1.0, 1400.0));
  EXPECT_EQ(traffic("websocket", "to_hub"), std::pair(100.0, double(framedBytes)));
  EXPECT_EQ(traffic("udp", "to_hub"), std::pair(1.0, 1350.0));
  EXPECT_EQ(traffic("udp", "from_hub"), std::pair(20.0, 19 * 300 + 120.0));
  EXPECT_EQ(rise("larkspire_edge_relay_connections_made_total"), 1);
  EXPECT_EQ(rise("larkspire_edge_relay_connections_lost_total"), 1);
  EXPECT_EQ(rise("larkspire_edge_udp_probes_total{result=\"accepted\"}"), 1);
  EXPECT_EQ(after["larkspire_edge_relay_channel_up{channel=\"websocket\"}"], 0);
  EXPECT_EQ(after["larkspire_edge_relay_channel_up{channel=\"udp\"}"], 0);
}

// A burst leaves in batches, with runs of one size as segmented sends; a datagram the
// kernel refuses goes over WebSocket instead, and the ones after it still go over UDP.
TEST_F(RelayConnectionTest, ABurstToTheHubTakesTheUdpChannelAndWhatItRefusesTheWebSocket) {
  Connect();
  std::vector<Packet> burst;
  for (uint8_t i = 0; i < 40; ++i) {
    burst.push_back(Ipv4Packet(i == 30 ? 700 : 200 + i / 10, 17, i));
  }
  const Packet refused = Ipv4Packet(333, 17, kRefusedMarker);
  burst.insert(burst.begin() + 15, refused);
  for (const Packet& packet : burst) {
    DeviceSends(packet);
  }
  for (const Packet& packet : burst) {
    if (packet != refused) {
      EXPECT_EQ(hub_.NextUdpPacket(), packet);
    }
  }
  auto frame = hub_.NextFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload, refused);
  hub_.Disconnect();
  relay_.join();
}

TEST_F(RelayConnectionTest, UnansweredProbesLeaveEverythingToTheWebSocket) {
  Start();
  ASSERT_FALSE(hub_.Accept().empty());
  for (int probe = 0; probe < 4; ++probe) {
    ASSERT_TRUE(hub_.TakeProbe(false)) << probe;
  }
  const Packet smallUdp = Ipv4Packet(100, 17, 0x22);
  DeviceSends(smallUdp);
  auto frame = hub_.NextFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload, smallUdp);
  EXPECT_FALSE(hub_.TakeProbe(false, false)) << "a fifth probe";
}

TEST_F(RelayConnectionTest, AHubLostDuringTheProbeCutsItShort) {
  Start();
  ASSERT_FALSE(hub_.Accept().empty());
  ASSERT_TRUE(hub_.TakeProbe(false));
  hub_.Disconnect();
  relay_.join();
  // The attempt under way may still send; no other follows.
  hub_.TakeProbe(false, false);
  EXPECT_FALSE(hub_.TakeProbe(false, false));
}

TEST_F(RelayConnectionTest, AHubThatStopsReadingIsDroppedAfterTheStallLimit) {
  Connect();
  EXPECT_TRUE(StalledConnectionEndsWithin(30s));
  EXPECT_FALSE(webSocket_.IsConnected());
}

TEST_F(RelayConnectionTest, AHubThatStopsReadingCannotDelayAStop) {
  const auto before = Scrape();
  Connect();
  EXPECT_TRUE(StalledConnectionEndsWithin(5s, /*stop=*/true));
  const std::string lost = "larkspire_edge_relay_connections_lost_total";
  EXPECT_EQ(Scrape()[lost], before.at(lost)) << "a stop is no lost connection";
}

// With offload headers the device's reads and writes carry a header the Hub never sees. A packet
// that could start a merged run is held back; on an idle link it must not wait for more data just
// because a ping came in the same read.
TEST_F(RelayConnectionTest, WithOffloadHeadersAPacketFollowedByAPingIsWrittenAtOnce) {
  Connect(/*offloadHeader=*/true);
  const Packet segment = testing::TcpSegment(testing::Flow{}, 0, 1000, 1);
  Packet withHeader(sizeof(OffloadHeader), 0);
  withHeader.insert(withHeader.end(), segment.begin(), segment.end());
  DeviceSends(withHeader);
  auto frame = hub_.NextFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload, segment);
  Packet bytes = Frame(0x82, segment);
  bytes.insert(bytes.end(), {kFinBit | kOpcodePing, 0});
  hub_.Send(bytes);
  EXPECT_EQ(DeviceReceives(), withHeader);
}

using WebSocketRelayTest = RelayConnectionTest;

std::string RequestLine(WebSocketRelay& relay, FakeHub& hub, const std::string& secret = "s") {
  std::thread edge([&] { relay.Connect(hub.url(), "7", secret); });
  const std::string request = hub.Accept();
  edge.join();
  return request;
}

std::string Read(WebSocketRelay& relay) {
  std::span<const uint8_t> message;
  return relay.ReadMessage(message) ? std::string(message.begin(), message.end()) : "<down>";
}

TEST_F(WebSocketRelayTest, ReadsFramesSplitAnywhereAndAnswersPings) {
  EXPECT_EQ(RequestLine(webSocket_, hub_, "a b/c"),
            "GET /api/relay/edge/7?secret=a%20b%2Fc HTTP/1.1");
  // Far more than one receive buffer, so frames straddle its end, with 16-bit and 7-bit lengths
  // mixed; then a masked frame a byte at a time, a ping, and the largest frame.
  Packet stream;
  for (int i = 0; i < 400; ++i) {
    const Packet frame = Frame(0x82, Packet(i % 3 ? 1400 : 100, uint8_t('a' + i % 26)));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  hub_.Send(stream);
  for (int i = 0; i < 400; ++i) {
    ASSERT_EQ(Read(webSocket_), std::string(i % 3 ? 1400 : 100, char('a' + i % 26))) << i;
  }
  const MaskKey key{1, 2, 3, 4};
  for (uint8_t byte : Frame(0x82, Packet(300, 'z'), &key)) {
    hub_.Send(Packet{byte});
  }
  EXPECT_EQ(Read(webSocket_), std::string(300, 'z'));
  hub_.Send(Frame(0x89, {'h', 'i'}));
  Packet largest(kMaxFramePayload, 'L');
  largest.back() = 'Z';
  hub_.Send(Frame(0x82, largest));
  EXPECT_TRUE(Read(webSocket_) == std::string(largest.begin(), largest.end()));
  auto pong = hub_.NextFrame();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->header.opcode, kOpcodePong);
  EXPECT_EQ(pong->header.key, MaskKeyFor(1, kPongMaskMultiplier));
  EXPECT_EQ(pong->payload, (Packet{'h', 'i'}));
}

TEST_F(WebSocketRelayTest, ProtocolFaultsBringTheChannelDownUntilItReconnects) {
  const struct {
    const char* name;
    Packet bytes;
  } cases[] = {
      {"close frame", Frame(0x88, {0x03, 0xE8})},
      {"frame over 4 MiB", {0x82, 0x7F, 0, 0, 0, 0, 0, 0x40, 0, 1}},
      {"assembler violation", Frame(0x89, Packet(126))},
      {"peer gone mid-frame", {0x82, 0x05, 'a', 'b'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RequestLine(webSocket_, hub_);
    hub_.Send(c.bytes);
    if (std::string(c.name) == "peer gone mid-frame") {
      hub_.Disconnect();
    }
    EXPECT_EQ(Read(webSocket_), "<down>");
    EXPECT_FALSE(webSocket_.IsConnected());
    webSocket_.Close();
    EXPECT_FALSE(hub_.NextFrame()) << "no close reply, no pong";
  }
}

// From here on this process can start no thread: clone and clone3 fail as when the system is out of
// threads.
void ForbidNewThreads() {
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
}

// A reader that cannot start is not a lost connection to retry but the end of the service: it
// surfaces as ThreadStartError, with the channel closed behind it.
TEST(RelayThreadsTest, AReaderThatCannotStartEndsTheConnectionWithThreadStartError) {
  const pid_t child = ::fork();
  if (child == 0) {
    FakeHub hub;
    int device[2];
    ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, device);
    WebSocketRelay webSocket;
    UdpRelay udp;
    std::thread hubSide([&hub] { hub.Accept(); });  // started before the ban
    ForbidNewThreads();
    int outcome = 1;
    try {
      RelayOneConnection(device[0], {hub.url(), "7", "s"}, IngressFilter({}), webSocket, udp);
    } catch (const ThreadStartError& error) {
      const bool named =
          std::string(error.what()).rfind("Failed to start the WebSocket reader thread: ", 0) == 0;
      outcome = named && !webSocket.IsConnected() ? 0 : 2;
    } catch (...) {
      outcome = 3;
    }
    hubSide.join();
    ::_exit(outcome);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace larkspire
