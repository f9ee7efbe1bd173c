#include "relay/relay_session.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include "relay/test_packets.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"
#include "support/fake_hub.h"
#include "support/prometheus_text.h"
#include "support/resource_count.h"
#include "support/stdout_capture.h"
#include "util/metrics.h"
#include "util/run_flag.h"
#include "util/thread_start.h"

namespace larkspire {
namespace {

using testing::FakeHub;

auto ScrapeMetrics() {
  return testing::ParsePrometheusText(RenderPrometheusText(TakeMetricsSnapshot()));
}

// An unmasked binary frame as the Hub sends it.
void AppendFrame(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& packet) {
  uint8_t header[kMaxFrameHeaderSize];
  const size_t size = WriteFrameHeader(header, kFinBit | kOpcodeBinary, packet.size(), nullptr);
  bytes.insert(bytes.end(), header, header + size);
  bytes.insert(bytes.end(), packet.begin(), packet.end());
}

constexpr uint8_t kOverlayClient[] = {10, 250, 0, 9};
constexpr uint8_t kLanHost[] = {192, 168, 50, 10};

// From an overlay client to a host in the shared network 192.168.50.0/24 unless told otherwise.
std::vector<uint8_t> Ipv4Packet(size_t length, uint8_t protocol, uint8_t marker,
                                const uint8_t (&source)[4] = kOverlayClient) {
  std::vector<uint8_t> packet(length, marker);
  packet[0] = 0x45;
  packet[9] = protocol;
  std::copy(source, source + 4, packet.begin() + 12);
  std::copy(kLanHost, kLanHost + 4, packet.begin() + 16);
  return packet;
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

// Runs one relay connection on its own thread, with one end of a packet-preserving
// socket pair standing in for the TUN device; the test holds the other end.
class RelayConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baselineDescriptors_ = testing::OpenDescriptors();
    baselineThreads_ = testing::RunningThreads();
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, device_.data()), 0);
    // A missing packet fails the test instead of hanging it.
    timeval patience{10, 0};
    ::setsockopt(device_[1], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  }

  void TearDown() override {
    if (relay_.joinable()) {
      relay_.join();
    }
    ::close(device_[0]);
    ::close(device_[1]);
    g_running = true;
    EXPECT_EQ(testing::OpenDescriptors(), baselineDescriptors_);
    EXPECT_EQ(testing::RunningThreads(), baselineThreads_);
  }

  // Starts the connection on its thread; false when the Hub saw no upgrade.
  bool Connect(FakeHub& hub, bool offloadHeader = false) {
    relay_ = std::thread([this, &hub, offloadHeader] {
      RelayOneConnection({device_[0], offloadHeader}, {hub.url(), "7", "secret"}, filter_,
                         webSocket_, udp_);
      returned_ = true;
    });
    return !hub.WaitForUpgrade().empty();
  }

  // Connect, then wait until a packet came through over WebSocket and the UDP channel is up.
  bool ConnectWithUdp(FakeHub& hub) {
    if (!Connect(hub)) {
      return false;
    }
    hub.SendBinary(Ipv4Packet(40, 6, 0));
    return DeviceReceives().size() == 40 && WaitForUdpChannel();
  }

  void DeviceSends(const std::vector<uint8_t>& packet) {
    ASSERT_EQ(::write(device_[1], packet.data(), packet.size()),
              static_cast<ssize_t>(packet.size()));
  }

  std::vector<uint8_t> DeviceReceives() {
    std::vector<uint8_t> packet(65535);
    const ssize_t n = ::read(device_[1], packet.data(), packet.size());
    packet.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return packet;
  }

  // The UDP probe runs beside the WebSocket reader, so a packet from the Hub can arrive
  // before the UDP channel is up.
  bool WaitForUdpChannel() {
    for (int wait = 0; wait < 100 && !udp_.IsConnected(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return udp_.IsConnected();
  }

  // Feeds large packets until the pump stops taking them, which happens only when the Hub's
  // socket buffers are full. False when the device never pushed back.
  bool FeedUntilThePumpStalls() {
    const std::vector<uint8_t> packet = Ipv4Packet(60000, 6, 0x5A);
    for (int sent = 0; sent < 4000;) {
      if (::send(device_[1], packet.data(), packet.size(), MSG_DONTWAIT) > 0) {
        ++sent;
        continue;
      }
      pollfd room{device_[1], POLLOUT, 0};
      if (::poll(&room, 1, 2000) == 0) {
        return true;
      }
    }
    return false;
  }

  // Waits for the relay thread to return; when it does not, breaks the Hub connection so the
  // test fails instead of hanging.
  bool ReturnsWithin(FakeHub& hub, std::chrono::seconds patience) {
    for (auto waited = std::chrono::milliseconds(0); waited < patience;
         waited += std::chrono::milliseconds(100)) {
      if (returned_) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    hub.Disconnect();
    return false;
  }

  std::array<int, 2> device_{-1, -1};
  const IngressFilter filter_{{"192.168.50.0/24"}};
  WebSocketRelay webSocket_;
  UdpRelay udp_{RefuseMarkedDatagrams};
  std::thread relay_;
  std::atomic<bool> returned_{false};
  int baselineDescriptors_ = 0;
  int baselineThreads_ = 0;
};

TEST_F(RelayConnectionTest, CarriesAndCountsPacketsBothWaysOnTheRightChannel) {
  // The counters are process-wide, so the test compares the scraped text before and after.
  auto scrape = ScrapeMetrics;
  const auto before = scrape();
  FakeHub hub;
  ASSERT_TRUE(Connect(hub));

  // Hub to device over WebSocket works while the UDP probe is still under way.
  const std::vector<uint8_t> fromHub = Ipv4Packet(1400, 6, 0x11);
  hub.SendBinary(fromHub);
  EXPECT_EQ(DeviceReceives(), fromHub);
  ASSERT_TRUE(WaitForUdpChannel());

  const std::vector<uint8_t> smallUdp = Ipv4Packet(1350, 17, 0x22);
  DeviceSends(smallUdp);
  EXPECT_EQ(hub.NextUdpPacket(), smallUdp);
  // The pump is running, so both channels' states are published.
  auto during = scrape();
  EXPECT_EQ(during["larkspire_edge_relay_channel_up{channel=\"websocket\"}"], 1);
  EXPECT_EQ(during["larkspire_edge_relay_channel_up{channel=\"udp\"}"], 1);

  for (const auto& packet : {Ipv4Packet(1351, 17, 0x33), Ipv4Packet(60, 6, 0x44)}) {
    DeviceSends(packet);
    auto frame = hub.NextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, packet);
  }

  const std::vector<uint8_t> udpFromHub = Ipv4Packet(200, 17, 0x55);
  hub.SendUdpPacket(Ipv4Packet(200, 17, 0x66), hub.channelId() + 1);  // another channel: dropped
  hub.SendUdpPacket(Ipv4Packet(200, 17, 0x77), {}, "127.0.0.2");      // right channel, not the Hub
  hub.SendUdpPacket(udpFromHub);
  EXPECT_EQ(DeviceReceives(), udpFromHub);

  // A close frame ends the connection and both channels are closed.
  hub.SendRaw({0x88, 0x00});
  relay_.join();
  EXPECT_TRUE(returned_);
  EXPECT_FALSE(webSocket_.IsConnected());
  EXPECT_FALSE(udp_.IsConnected());
  EXPECT_EQ(udp_.channelId(), 0u);

  auto after = scrape();
  auto rise = [&](const std::string& sample) { return after[sample] - before.at(sample); };
  // Packets and bytes per channel and direction; the datagrams of another channel or another
  // host are not counted.
  auto traffic = [&](const char* channel, const char* direction) {
    const std::string labels =
        std::string("{channel=\"") + channel + "\",direction=\"" + direction + "\"}";
    return std::pair{rise("larkspire_edge_relay_packets_total" + labels),
                     rise("larkspire_edge_relay_bytes_total" + labels)};
  };
  EXPECT_EQ(traffic("websocket", "from_hub"), std::pair(1.0, 1400.0));
  EXPECT_EQ(traffic("websocket", "to_hub"), std::pair(2.0, 1411.0));
  EXPECT_EQ(traffic("udp", "to_hub"), std::pair(1.0, 1350.0));
  EXPECT_EQ(traffic("udp", "from_hub"), std::pair(1.0, 200.0));
  EXPECT_EQ(rise("larkspire_edge_relay_connections_made_total"), 1);
  EXPECT_EQ(rise("larkspire_edge_relay_connections_lost_total"), 1);
  EXPECT_EQ(rise("larkspire_edge_udp_probes_total{result=\"accepted\"}"), 1);
  EXPECT_EQ(after["larkspire_edge_relay_channel_up{channel=\"websocket\"}"], 0);
  EXPECT_EQ(after["larkspire_edge_relay_channel_up{channel=\"udp\"}"], 0);
}

// Datagrams are taken from the socket several at a time, and a run the Hub sent as one
// segmented send may arrive as one coalesced message: either way each datagram is checked
// on its own, a bad one is dropped without taking good ones along, and the order holds.
TEST_F(RelayConnectionTest, UdpFromTheHubArrivesInOrderAndAStopEndsTheConnectionQuietly) {
  FakeHub hub;
  ASSERT_TRUE(ConnectWithUdp(hub));
  std::vector<std::vector<uint8_t>> run;
  for (uint8_t i = 0; i < 20; ++i) {
    run.push_back(Ipv4Packet(i < 19 ? 300 : 120, 17, i));
  }
  hub.SendUdpPacketsTogether(run);
  for (const std::vector<uint8_t>& packet : run) {
    EXPECT_EQ(DeviceReceives(), packet);
  }

  for (size_t i = 0; i < 60; ++i) {
    hub.SendUdpPacket(Ipv4Packet(100 + i, 17, static_cast<uint8_t>(i)));
    if (i % 7 == 0) {
      hub.SendUdpPacket(Ipv4Packet(100, 17, 0xEE), hub.channelId() + 1);
      hub.SendUdpPacket(Ipv4Packet(kMaxUdpPacket + 1, 17, 0xEE));  // one byte too long
    }
  }
  for (size_t i = 0; i < 60; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(DeviceReceives(), Ipv4Packet(100 + i, 17, static_cast<uint8_t>(i)));
  }

  g_running = false;
  relay_.join();
  EXPECT_TRUE(returned_);
  // The Hub sees the socket closed, not a frame.
  EXPECT_FALSE(hub.NextFrame());
}

// A burst leaves in batches, with runs of one size as segmented sends; a datagram the
// kernel refuses goes over WebSocket instead, and the ones after it still go over UDP.
TEST_F(RelayConnectionTest, ABurstToTheHubTakesTheUdpChannelAndWhatItRefusesTheWebSocket) {
  FakeHub hub;
  ASSERT_TRUE(ConnectWithUdp(hub));
  std::vector<std::vector<uint8_t>> burst;
  for (uint8_t i = 0; i < 40; ++i) {
    burst.push_back(Ipv4Packet(i == 30 ? 700 : 200 + i / 10, 17, i));
  }
  const std::vector<uint8_t> refused = Ipv4Packet(333, 17, kRefusedMarker);
  burst.insert(burst.begin() + 15, refused);
  for (const std::vector<uint8_t>& packet : burst) {
    DeviceSends(packet);
  }
  for (const std::vector<uint8_t>& packet : burst) {
    if (packet != refused) {
      EXPECT_EQ(hub.NextUdpPacket(), packet);
    }
  }
  auto frame = hub.NextFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload, refused);
  hub.Disconnect();
  relay_.join();
}

TEST_F(RelayConnectionTest, WithoutUdpAQueuedBurstGoesOverWebSocketInOrderWithConsecutiveKeys) {
  FakeHub hub(FakeHub::Options{.answerProbes = false});
  ASSERT_TRUE(Connect(hub));
  // Queued while the probe times out, so the pump finds them all at once and sends them in
  // more than one batch; the small UDP packets among them have no UDP channel to take.
  constexpr size_t kBurst = 150;
  auto packet = [](size_t i) {
    return Ipv4Packet(100 + i, i % 3 == 0 ? 17 : 6, static_cast<uint8_t>(i));
  };
  for (size_t i = 0; i < kBurst; ++i) {
    DeviceSends(packet(i));
  }
  for (size_t i = 0; i < kBurst; ++i) {
    SCOPED_TRACE(i);
    auto frame = hub.NextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, packet(i));
    EXPECT_EQ(frame->header.key, MaskKeyFor(static_cast<uint32_t>(i + 1), kDataMaskMultiplier));
  }
  EXPECT_EQ(hub.probesSeen(), 4);
  EXPECT_FALSE(udp_.IsConnected());
  hub.Disconnect();
  relay_.join();
  EXPECT_TRUE(returned_);
}

TEST_F(RelayConnectionTest, AHubThatFailsDuringTheUdpProbeCutsTheProbeShort) {
  FakeHub hub(FakeHub::Options{.answerProbes = false});
  ASSERT_TRUE(Connect(hub));
  for (int wait = 0; wait < 100 && hub.probesSeen() == 0; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(hub.probesSeen(), 1);
  hub.Disconnect();
  relay_.join();
  EXPECT_TRUE(returned_);
  // An unanswered probe tries 4 times; the lost channel ends it after the current attempt.
  EXPECT_LT(hub.probesSeen(), 4);
}

// A Hub that keeps the connection open but reads nothing must neither keep the program from
// stopping nor hold the relay on a dead channel forever.
TEST_F(RelayConnectionTest, AHubThatStopsReadingCannotBlockAStop) {
  FakeHub hub;
  ASSERT_TRUE(Connect(hub));
  ASSERT_TRUE(FeedUntilThePumpStalls());
  g_running = false;
  EXPECT_TRUE(ReturnsWithin(hub, std::chrono::seconds(30)));
}

TEST_F(RelayConnectionTest, AHubThatStopsReadingEndsTheConnection) {
  FakeHub hub;
  ASSERT_TRUE(Connect(hub));
  ASSERT_TRUE(FeedUntilThePumpStalls());
  EXPECT_TRUE(ReturnsWithin(hub, std::chrono::seconds(60)));
  EXPECT_FALSE(webSocket_.IsConnected());
}

// With offload headers a packet that could start a merged run is held back; on an idle link it
// must not wait for more data just because a ping came in the same read.
TEST_F(RelayConnectionTest, OnAnIdleLinkAPacketFollowedByAPingIsWrittenAtOnce) {
  FakeHub hub;
  ASSERT_TRUE(Connect(hub, /*offloadHeader=*/true));
  const std::vector<uint8_t> segment = testing::TcpSegment(testing::Flow{}, 0, 1000, 1);
  std::vector<uint8_t> bytes;
  AppendFrame(bytes, segment);
  bytes.insert(bytes.end(), {kFinBit | kOpcodePing, 0});
  hub.SendRaw(bytes);
  std::vector<uint8_t> expected(sizeof(OffloadHeader), 0);
  expected.insert(expected.end(), segment.begin(), segment.end());
  EXPECT_EQ(DeviceReceives(), expected);
  hub.Disconnect();
}

// Forged packets are dropped and counted one by one, but the log gets one line, not 20,000.
TEST_F(RelayConnectionTest, AFloodOfForgedPacketsReachesNothingAndWarnsOnce) {
  const auto before = ScrapeMetrics();
  FakeHub hub;
  ASSERT_TRUE(Connect(hub));
  constexpr uint8_t kForged[] = {8, 8, 8, 8};
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 20000; ++i) {
    AppendFrame(bytes, Ipv4Packet(60, 17, static_cast<uint8_t>(i), kForged));
  }
  StdoutCapture console;
  hub.SendRaw(bytes);
  const std::vector<uint8_t> genuine = Ipv4Packet(60, 6, 0x77);
  hub.SendBinary(genuine);
  EXPECT_EQ(DeviceReceives(), genuine);
  const std::string out = console.Stop();
  size_t warnings = 0;
  for (size_t at = out.find("WARN Dropped"); at != std::string::npos;
       at = out.find("WARN Dropped", at + 1)) {
    ++warnings;
  }
  EXPECT_LE(warnings, 1u) << out.substr(0, 400);
  const std::string forged =
      "larkspire_edge_hub_packets_dropped_total{reason=\"source_outside_overlay\"}";
  EXPECT_EQ(ScrapeMetrics()[forged] - before.at(forged), 20000);
  hub.Disconnect();
}

TEST_F(RelayConnectionTest, RefusedHandshakeThrowsBeforeAnyThreadStarts) {
  FakeHub hub(FakeHub::Options{.upgradeStatus = 403});
  const int threads = testing::RunningThreads();
  try {
    RelayOneConnection(device_[0], {hub.url(), "7", "bad"}, filter_, webSocket_, udp_);
    FAIL() << "expected a refusal";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "WebSocket upgrade failed, status 403");
  }
  EXPECT_EQ(testing::RunningThreads(), threads);
  EXPECT_EQ(hub.probesSeen(), 0);
}

// From here on this process can start no thread: clone and clone3 fail as when the system
// is out of threads.
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
    FakeHub hub;  // its threads run before the ban
    int device[2];
    ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, device);
    WebSocketRelay webSocket;
    UdpRelay udp;
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
    ::_exit(outcome);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace larkspire
