#include "relay/offload_segmenter.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "relay/packet_device.h"
#include "relay/test_packets.h"
#include "util/fd.h"

namespace larkspire {
namespace {

using testing::Flow;
using Packet = std::vector<uint8_t>;

constexpr uint8_t kAck = 0x10, kPush = 0x08, kFin = 0x01, kCwr = 0x80;

// What the kernel hands over for a TCP super-packet: every checksum is left to us, the
// TCP field holding only the pseudo-header's sum.
OffloadHeader TcpOffload(uint16_t segmentSize) {
  return {1, 1, 52, segmentSize, 20, 16};
}

std::vector<Packet> Cut(const OffloadHeader& header, const Packet& packet, size_t mtu) {
  std::vector<Packet> pieces;
  const std::optional<SegmentPlan> plan = PlanSegments(header, packet, mtu);
  for (size_t i = 0; plan && i < plan->count; ++i) {
    Packet piece(65535);
    piece.resize(WriteSegment(*plan, i, piece.data()));
    pieces.push_back(piece);
  }
  return pieces;
}

// A piece whose checksums are right stays the same when they are computed again.
void ExpectChecksumsRight(Packet piece, size_t checksumAt) {
  const Packet before = piece;
  testing::FixIpChecksum(piece);
  testing::FixTransportChecksum(piece, checksumAt);
  EXPECT_EQ(piece, before);
}

TEST(OffloadSegmenterTest, CutsATcpSuperPacketAsTheKernelWould) {
  const Packet whole = testing::TcpSegment(Flow{}, 0xFFFFF000, 3000, 9, kAck | kPush | kFin | kCwr,
                                           std::vector<uint8_t>(12, 1));
  // The kernel's segment size is 1400 - 52; a smaller MTU cuts smaller pieces.
  for (const size_t mtu : {1400, 1000}) {
    SCOPED_TRACE(mtu);
    const std::vector<Packet> pieces = Cut(TcpOffload(1348), whole, mtu);
    const size_t size = std::min<size_t>(1348, mtu - 52);
    ASSERT_EQ(pieces.size(), (3000 + size - 1) / size);
    size_t offset = 52;
    for (size_t i = 0; i < pieces.size(); ++i) {
      const Packet& piece = pieces[i];
      ASSERT_LE(piece.size(), mtu);
      EXPECT_EQ(testing::Load16(&piece[4]), 9 + i);
      EXPECT_EQ(testing::Load16(&piece[24]) << 16 | testing::Load16(&piece[26]),
                static_cast<uint32_t>(0xFFFFF000 + offset - 52));
      const bool first = i == 0, last = i + 1 == pieces.size();
      EXPECT_EQ(piece[33], kAck | (first ? kCwr : 0) | (last ? kPush | kFin : 0));
      EXPECT_TRUE(std::equal(piece.begin() + 52, piece.end(), whole.begin() + offset));
      ExpectChecksumsRight(piece, 36);
      offset += piece.size() - 52;
    }
    EXPECT_EQ(offset, whole.size());
  }
}

TEST(OffloadSegmenterTest, RefusesHeadersThatDoNotFitThePacket) {
  const Packet tcp = testing::TcpSegment(Flow{}, 1, 3000, 9, kAck);
  const Packet udp = testing::UdpDatagram(Flow{}, 3000, 9);
  const struct {
    const char* what;
    OffloadHeader header;
    const Packet& packet;
  } cases[] = {
      {"IPv6 segments of an IPv4 packet", {1, 4, 40, 1000, 20, 16}, tcp},
      {"UDP segments of a TCP packet", {1, 5, 40, 1000, 20, 6}, tcp},
      {"no segment size", {1, 1, 40, 0, 20, 16}, tcp},
      {"checksum not at the TCP header", {1, 1, 40, 1000, 24, 16}, tcp},
      {"header length beyond the packet", {1, 1, 4000, 1000, 20, 16}, tcp},
      {"datagrams larger than the MTU", {1, 5, 28, 1380, 20, 6}, udp},
      {"checksum beyond the packet", {1, 0, 0, 0, 3020, 16}, udp},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(PlanSegments(c.header, c.packet, 1400));
  }
  Packet cutShort = tcp;
  cutShort.resize(1000);
  EXPECT_FALSE(PlanSegments({1, 1, 40, 500, 20, 16}, cutShort, 1400)) << "IP length beyond it";
}

// The reader of a device with read offloads drops a read whose header makes no sense and
// carries on with the next.
TEST(OffloadSegmenterTest, AReaderDropsANonsenseReadAndCutsTheNext) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
  const UniqueFd device(ends[0]), kernel(ends[1]);
  const Packet tcp = testing::TcpSegment(Flow{}, 1, 3000, 9, kAck);
  for (const OffloadHeader& header : {OffloadHeader{1, 4, 40, 1000, 20, 16}, TcpOffload(1000)}) {
    iovec parts[2] = {{const_cast<OffloadHeader*>(&header), sizeof header},
                      {const_cast<uint8_t*>(tcp.data()), tcp.size()}};
    ASSERT_EQ(::writev(kernel.get(), parts, 2), static_cast<ssize_t>(sizeof header + tcp.size()));
  }
  OffloadedReader reader(1400);
  EXPECT_GT(reader.Read(device.get()), 0);
  EXPECT_EQ(reader.pieces(), 0u);
  EXPECT_GT(reader.Read(device.get()), 0);
  ASSERT_EQ(reader.pieces(), 3u);
  Packet last(65535);
  last.resize(reader.WritePiece(2, last.data()));
  EXPECT_EQ(last.size(), 40u + 1000u);
  EXPECT_TRUE(std::equal(last.begin() + 40, last.end(), tcp.begin() + 2040));
}

}  // namespace
}  // namespace larkspire
