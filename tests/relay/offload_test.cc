#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>
#include <vector>

#include "relay/offload_segmenter.h"
#include "relay/packet_device.h"
#include "relay/segment_merger.h"
#include "relay/test_packets.h"
#include "relay/tun_writer.h"
#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

using testing::Flow;
using testing::TcpSegment;
using testing::UdpDatagram;
using Packet = std::vector<uint8_t>;

std::vector<int> HeaderOf(const Packet& write) {
  OffloadHeader h;
  std::memcpy(&h, write.data(), sizeof h);
  return {h.flags, h.gsoType, h.headerLength, h.segmentSize, h.checksumStart, h.checksumOffset};
}

std::vector<Packet> Burst(size_t count, size_t size, bool udp = false, uint16_t firstId = 100) {
  std::vector<Packet> run;
  for (uint16_t i = 0; i < count; ++i) {
    run.push_back(udp ? UdpDatagram(Flow{}, size, firstId + i, static_cast<uint8_t>(i))
                      : TcpSegment(Flow{}, static_cast<uint32_t>(i * size), size, firstId + i));
  }
  return run;
}

// A kernel without UDP segmentation for TUN devices; a broken device refuses every write.
int g_refusals = 0;
bool g_broken = false;
ssize_t RefuseMergedUdp(int fd, const iovec* parts, int count) {
  const bool refused = g_broken || static_cast<const uint8_t*>(parts[0].iov_base)[1] == 5;
  g_refusals += refused && !g_broken ? 1 : 0;
  errno = EINVAL;
  return refused ? -1 : ::writev(fd, parts, count);
}

// A packet-preserving socket pair: the TUN device and the kernel behind it.
class OffloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    device_.Reset(pair[0]);
    kernel_.Reset(pair[1]);
    SetNonBlocking(kernel_.get());
  }

  std::vector<Packet> Written() {
    std::vector<Packet> writes;
    Packet buffer(70000);
    for (ssize_t n; (n = ::read(kernel_.get(), buffer.data(), buffer.size())) > 0;) {
      writes.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    return writes;
  }

  std::vector<Packet> Writes(TunWriter& writer, const std::vector<Packet>& packets) {
    for (const Packet& packet : packets) {
      writer.Write(packet);
    }
    writer.Flush();
    return Written();
  }

  // Cutting the merged writes as the kernel does must give back exactly what went in.
  std::vector<Packet> MergedRoundTrip(const std::vector<Packet>& packets) {
    TunWriter writer({device_.get(), true, true}, [](bool, size_t, size_t) {});
    const std::vector<Packet> writes = Writes(writer, packets);
    std::vector<Packet> leaving;
    std::vector<uint8_t> scratch;
    for (const Packet& write : writes) {
      SplitMergedWrite(write, scratch, [&](std::span<const uint8_t> piece) {
        leaving.emplace_back(piece.begin() + sizeof(OffloadHeader), piece.end());
      });
    }
    EXPECT_EQ(leaving, packets);
    return writes;
  }

  UniqueFd device_;
  UniqueFd kernel_;
};

TEST_F(OffloadTest, JoinsOnlyWhatLeavesExactlyAsItCame) {
  const Flow flow;
  const std::vector<uint8_t> timestamps = {1, 1, 8, 10, 0, 0, 0, 9, 0, 0, 0, 4};
  std::vector<Packet> tcpBurst;
  std::vector<Packet> udpBurst;
  for (uint16_t i = 0; i < 5; ++i) {
    const bool last = i == 4;  // shorter, pushed for TCP: still joins; UDP sizes odd
    const uint32_t sequence = 0xFFFFF000 + i * 1388u;  // wraps around inside the burst
    tcpBurst.push_back(TcpSegment(flow, sequence, last ? 300 : 1388, static_cast<uint16_t>(7 + i),
                                  last ? 0x18 : 0x10, timestamps));
    udpBurst.push_back(UdpDatagram(flow, last ? 11 : 73, 50 + i, static_cast<uint8_t>(i)));
  }
  // Raising the last payload word by the checksum makes it zero, which is sent as all ones.
  Packet& zeroSum = udpBurst[2];
  const uint64_t word = LoadBigEndian(&zeroSum[98], 2) + LoadBigEndian(&zeroSum[26], 2);
  testing::Store16(zeroSum, 98, (word & 0xFFFF) + (word >> 16));
  testing::FixChecksums(zeroSum, 26);
  ASSERT_EQ(LoadBigEndian(&zeroSum[26], 2), 0u);
  zeroSum[26] = zeroSum[27] = 0xFF;
  const Packet first = TcpSegment(flow, 0, 1400, 1);
  const Packet second = TcpSegment(flow, 1400, 1400, 2);
  Packet damaged = second;
  damaged.back() ^= 1;
  Packet noChecksum = UdpDatagram(flow, 100, 1);
  noChecksum[26] = noChecksum[27] = 0;
  const struct {
    const char* what;
    std::vector<Packet> packets;
    size_t writes;
    std::vector<int> header = {};  // of the first write: flags, type, headers, segment, checksum
  } cases[] = {
      {"a TCP burst", tcpBurst, 1, {1, 1, 52, 1388, 20, 16}},
      {"a UDP burst", udpBurst, 1, {1, 5, 28, 73, 20, 6}},
      {"a gap in the stream", {first, TcpSegment(flow, 1401, 1400, 2)}, 2},
      {"another connection", {first, TcpSegment({.destinationPort = 5202}, 1400, 1400, 2)}, 2},
      {"a FIN", {first, TcpSegment(flow, 1400, 1400, 2, 0x11)}, 2},
      {"ECN signals", {first, TcpSegment(flow, 1400, 1400, 2, 0x90)}, 2},
      {"anything after a push", {TcpSegment(flow, 0, 1400, 1, 0x18), second}, 2},
      {"a longer segment", {TcpSegment(flow, 0, 1000, 1), TcpSegment(flow, 1000, 1400, 2)}, 2},
      {"a short segment, then more",
       {first, TcpSegment(flow, 1400, 1000, 2), TcpSegment(flow, 2400, 1000, 3)},
       2},
      {"a damaged segment", {first, damaged}, 2},
      {"identification not counting up", {first, TcpSegment(flow, 1400, 1400, 3)}, 2},
      {"no don't-fragment", {first, TcpSegment({.fragmentField = 0}, 1400, 1400, 2)}, 2},
      {"a longer datagram", {UdpDatagram(flow, 100, 1), UdpDatagram(flow, 101, 2)}, 2},
      {"datagrams without checksum", {noChecksum, noChecksum}, 2},
      {"past 64 KiB with the 47th", Burst(50, 1400), 2},
      {"past the segment limit", Burst(SegmentMerger::kMaxSegments + 1, 100), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Packet> writes = MergedRoundTrip(c.packets);
    ASSERT_EQ(writes.size(), c.writes);
    if (!c.header.empty()) {
      EXPECT_EQ(HeaderOf(writes[0]), c.header);
      const uint8_t* ip = writes[0].data() + sizeof(OffloadHeader);
      EXPECT_EQ(LoadBigEndian(ip + 20 + c.header[5], 2),
                testing::PseudoHeaderSum(ip, writes[0].size() - sizeof(OffloadHeader) - 20));
    }
  }
}

TEST_F(OffloadTest, TheWriterHoldsRunsUntilFlushAndWritesWhatTheDeviceRefusesOneByOne) {
  std::vector<std::tuple<bool, size_t, size_t>> reports;
  TunWriter writer(
      {device_.get(), true, true},
      [&](bool written, size_t packets, size_t bytes) {
        reports.emplace_back(written, packets, bytes);
      },
      RefuseMergedUdp);
  writer.Write(TcpSegment(Flow{}, 0, 1000, 1));
  writer.Write(TcpSegment(Flow{}, 1000, 1000, 2));
  EXPECT_TRUE(Written().empty()) << "a mergeable segment went out before the flush";
  Packet icmp = TcpSegment(Flow{}, 0, 50, 3);
  icmp[9] = 1;
  writer.Write(icmp);  // ends the run: both go out, the run first
  std::vector<Packet> writes = Written();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(HeaderOf(writes[0])[1], 1);
  EXPECT_EQ(Packet(writes[1].begin() + sizeof(OffloadHeader), writes[1].end()), icmp);

  // A refused merged UDP write goes out packet by packet, and UDP is not merged again; TCP is.
  g_refusals = 0;
  for (uint16_t run = 0; run < 2; ++run) {
    EXPECT_EQ(Writes(writer, Burst(4, 500, /*udp=*/true, run * 4)).size(), 4u);
  }
  EXPECT_EQ(g_refusals, 1) << "a refused kind was merged again";
  EXPECT_EQ(Writes(writer, Burst(4, 500)).size(), 1u) << "TCP is still merged";
  // Those a broken device refuses are each reported lost.
  g_broken = true;
  Writes(writer, Burst(2, 500));
  g_broken = false;
  std::vector<std::tuple<bool, size_t, size_t>> expected = {{true, 2, 2080}, {true, 1, 90}};
  expected.insert(expected.end(), 8, {true, 1, 528});
  expected.push_back({true, 4, 2160});
  expected.insert(expected.end(), 2, {false, 1, 540});
  EXPECT_EQ(reports, expected);
}

constexpr uint8_t kAck = 0x10, kPush = 0x08, kFin = 0x01, kCwr = 0x80;

// A read whose header does not fit its packet is dropped; a TCP one is cut at our MTU.
TEST_F(OffloadTest, AnOffloadedReadIsCutAtTheMtuOrDroppedWhenItsHeaderDoesNotFit) {
  const Packet tcp = TcpSegment(Flow{}, 0xFFFFF000, 3000, 9, kAck | kPush | kFin | kCwr,
                                std::vector<uint8_t>(12, 1));
  const Packet udp = UdpDatagram(Flow{}, 3000, 9);
  const struct {
    const char* what;
    OffloadHeader header;
    const Packet& packet;
    size_t pieces;
  } cases[] = {
      {"IPv6 segments of an IPv4 packet", {1, 4, 52, 1000, 20, 16}, tcp, 0},
      {"UDP segments of a TCP packet", {1, 5, 52, 1000, 20, 6}, tcp, 0},
      {"no segment size", {1, 1, 52, 0, 20, 16}, tcp, 0},
      {"checksum not at the TCP header", {1, 1, 52, 1000, 24, 16}, tcp, 0},
      {"header length beyond the packet", {1, 1, 4000, 1000, 20, 16}, tcp, 0},
      {"datagrams larger than the MTU", {1, 5, 28, 1380, 20, 6}, udp, 0},
      {"checksum beyond the packet", {1, 0, 0, 0, 3020, 16}, udp, 0},
      {"TCP segments", {1, 1, 52, 1348, 20, 16}, tcp, 4},
  };
  OffloadedReader reader(1000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    OffloadHeader header = c.header;
    iovec parts[2] = {{&header, sizeof header},
                      {const_cast<uint8_t*>(c.packet.data()), c.packet.size()}};
    ASSERT_GT(::writev(kernel_.get(), parts, 2), 0);
    EXPECT_GT(reader.Read(device_.get()), 0);
    ASSERT_EQ(reader.pieces(), c.pieces);
  }
  // FIN and PSH stay with the last piece, CWR with the first.
  size_t offset = 52;
  for (size_t i = 0; i < reader.pieces(); ++i) {
    Packet piece(65535);
    piece.resize(reader.WritePiece(i, piece.data()));
    ASSERT_LE(piece.size(), 1000u);
    EXPECT_EQ(LoadBigEndian(&piece[4], 2), 9 + i);
    EXPECT_EQ(LoadBigEndian(&piece[24], 4), (0xFFFFF000 + offset - 52) & 0xFFFFFFFF);
    const bool first = i == 0, last = i + 1 == reader.pieces();
    EXPECT_EQ(piece[33], kAck | (first ? kCwr : 0) | (last ? kPush | kFin : 0));
    EXPECT_TRUE(std::equal(piece.begin() + 52, piece.end(), tcp.begin() + offset));
    Packet refixed = piece;  // with right checksums, computing them again changes nothing
    testing::FixChecksums(refixed, 36);
    EXPECT_EQ(refixed, piece);
    offset += piece.size() - 52;
  }
  EXPECT_EQ(offset, tcp.size());
}

}  // namespace
}  // namespace larkspire
