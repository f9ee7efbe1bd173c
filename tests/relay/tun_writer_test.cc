#include "relay/tun_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "relay/test_packets.h"
#include "util/fd.h"

namespace larkspire {
namespace {

using Packet = std::vector<uint8_t>;

class TunWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    writerEnd_.Reset(pair[0]);
    readerEnd_.Reset(pair[1]);
    ::fcntl(readerEnd_.get(), F_SETFL, O_NONBLOCK);
  }

  // The next write the device received; empty when there is none.
  Packet Written() {
    Packet buffer(70000);
    const ssize_t n = ::read(readerEnd_.get(), buffer.data(), buffer.size());
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }

  static Packet WithPlainHeader(const Packet& packet) {
    Packet framed(sizeof(OffloadHeader), 0);
    framed.insert(framed.end(), packet.begin(), packet.end());
    return framed;
  }

  struct Report {
    bool written;
    size_t packets;
    size_t bytes;
    bool operator==(const Report&) const = default;
  };
  TunWriter::Report Recorder() {
    return [this](bool written, size_t packets, size_t bytes) {
      reports_.push_back({written, packets, bytes});
    };
  }

  std::vector<Report> reports_;
  UniqueFd writerEnd_;
  UniqueFd readerEnd_;
};

TEST_F(TunWriterTest, HoldsABurstUntilFlushAndWritesOthersAtOnceInOrder) {
  testing::Flow flow;
  TunWriter writer({writerEnd_.get(), true}, Recorder());
  writer.Write(testing::TcpSegment(flow, 0, 1000, 1));
  writer.Write(testing::TcpSegment(flow, 1000, 1000, 2));
  EXPECT_TRUE(Written().empty()) << "a mergeable segment went out before the flush";

  Packet icmp = testing::TcpSegment(flow, 0, 50, 3);
  icmp[9] = 1;
  writer.Write(icmp);  // ends the burst: both go out, the burst first
  const Packet merged = Written();
  ASSERT_EQ(merged.size(), sizeof(OffloadHeader) + 40 + 2000);
  EXPECT_EQ(merged[1], 1);  // TCP segmentation
  EXPECT_EQ(Written(), WithPlainHeader(icmp));

  const Packet lone = testing::TcpSegment(flow, 2000, 1000, 4);
  writer.Write(lone);
  writer.Flush();
  EXPECT_EQ(Written(), WithPlainHeader(lone));
  writer.Flush();
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(reports_, (std::vector<Report>{{true, 2, 2080}, {true, 1, 90}, {true, 1, 1040}}));
}

TEST_F(TunWriterTest, WithoutOffloadHeadersEveryPacketGoesOutAloneAndAtOnce) {
  testing::Flow flow;
  TunWriter writer({writerEnd_.get(), false}, Recorder());
  for (uint32_t i = 0; i < 3; ++i) {
    const Packet segment = testing::TcpSegment(flow, i * 1000, 1000, static_cast<uint16_t>(i));
    writer.Write(segment);
    EXPECT_EQ(Written(), segment);
  }
}

// Like a kernel without UDP segmentation for TUN devices: it takes offload headers but refuses
// a merged UDP run.
int g_refusals = 0;
ssize_t RefuseMergedUdp(int fd, const iovec* parts, int count) {
  OffloadHeader header;
  std::memcpy(&header, parts[0].iov_base, sizeof header);
  if (header.gsoType == 5) {
    ++g_refusals;
    errno = EINVAL;
    return -1;
  }
  return ::writev(fd, parts, count);
}

TEST_F(TunWriterTest, ARefusedMergedWriteGoesOutPacketByPacketAndThatKindIsNoLongerMerged) {
  g_refusals = 0;
  TunWriter writer({writerEnd_.get(), true, true}, Recorder(), RefuseMergedUdp);
  testing::Flow flow;
  auto run = [&](uint16_t firstId, uint32_t sequence, bool udp) {
    std::vector<Packet> packets;
    for (uint16_t i = 0; i < 4; ++i) {
      packets.push_back(udp ? testing::UdpDatagram(flow, 500, firstId + i, static_cast<uint8_t>(i))
                            : testing::TcpSegment(flow, sequence + i * 500u, 500, firstId + i));
      writer.Write(packets.back());
    }
    writer.Flush();
    return packets;
  };
  for (const Packet& packet : run(10, 0, true)) {
    EXPECT_EQ(Written(), WithPlainHeader(packet));
  }
  for (const Packet& packet : run(20, 0, true)) {
    EXPECT_EQ(Written(), WithPlainHeader(packet));
  }
  run(30, 0, false);
  EXPECT_EQ(Written().size(), sizeof(OffloadHeader) + 40 + 2000) << "TCP is still merged";
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(g_refusals, 1) << "a refused kind was merged again";
  // Every packet reported once as written; the refused merged write is not a loss.
  std::vector<Report> expected(8, {true, 1, 528});
  expected.push_back({true, 4, 2160});
  EXPECT_EQ(reports_, expected);
}

TEST_F(TunWriterTest, PacketsOfAMergedWriteABrokenDeviceRefusesAreEachReportedLost) {
  readerEnd_.Reset();
  // The agent ignores SIGPIPE; so must this test, or the refused write would end it.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  TunWriter writer({writerEnd_.get(), true}, Recorder());
  testing::Flow flow;
  for (uint32_t i = 0; i < 3; ++i) {
    writer.Write(testing::TcpSegment(flow, i * 1000, 1000, static_cast<uint16_t>(i)));
  }
  writer.Flush();
  EXPECT_EQ(reports_, std::vector<Report>(3, {false, 1, 1040}));
  ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace larkspire
