#include "relay/segment_merger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "relay/internet_checksum.h"
#include "relay/test_packets.h"
#include "relay/tun_writer.h"
#include "util/fd.h"

namespace larkspire {
namespace {

using testing::Flow;
using testing::TcpSegment;
using testing::UdpDatagram;
using Packet = std::vector<uint8_t>;

// The fields of the offload header in front of `write`.
std::vector<int> HeaderOf(std::span<const uint8_t> write) {
  OffloadHeader h;
  std::memcpy(&h, write.data(), sizeof h);
  return {h.flags, h.gsoType, h.headerLength, h.segmentSize, h.checksumStart, h.checksumOffset};
}

std::vector<Packet> TcpRun(size_t count, size_t size) {
  std::vector<Packet> run;
  for (size_t i = 0; i < count; ++i) {
    run.push_back(TcpSegment(Flow{}, static_cast<uint32_t>(i * size), size, 100 + i));
  }
  return run;
}

// Merges `packets` as the TUN writer does and checks that what the kernel then cuts from the writes
// is exactly what went in; returns the writes.
std::vector<Packet> MergedRoundTrip(const std::vector<Packet>& packets) {
  const std::vector<Packet> writes = testing::MergeLikeTheWriter(packets);
  std::vector<Packet> leaving;
  for (const Packet& write : writes) {
    for (Packet& piece : testing::CutLikeTheKernel(write)) {
      leaving.push_back(piece);
    }
  }
  EXPECT_EQ(leaving, packets);
  return writes;
}

TEST(SegmentMergerTest, JoinsABurstOfOneFlowThatLeavesExactlyAsItCame) {
  const std::vector<uint8_t> timestamps = {1, 1, 8, 10, 0, 0, 0, 9, 0, 0, 0, 4};
  std::vector<Packet> tcp;
  std::vector<Packet> udp;
  for (uint16_t i = 0; i < 5; ++i) {
    const bool last = i == 4;  // shorter, and for TCP pushed: it still joins
    const uint32_t sequence = 0xFFFFF000 + i * 1388u;  // wraps around inside the burst
    tcp.push_back(TcpSegment(Flow{}, sequence, last ? 300 : 1388, static_cast<uint16_t>(7 + i),
                             last ? 0x18 : 0x10, timestamps));
    udp.push_back(UdpDatagram(Flow{}, last ? 10 : 72, static_cast<uint16_t>(50 + i),
                              static_cast<uint8_t>(i)));
  }
  // Checksum left to the kernel; TCP or UDP segmentation; headers, segment and checksum place.
  const std::vector<int> tcpHeader = {1, 1, 52, 1388, 20, 16};
  const std::vector<int> udpHeader = {1, 5, 28, 72, 20, 6};
  for (const auto& [burst, header] : {std::pair{tcp, tcpHeader}, std::pair{udp, udpHeader}}) {
    SCOPED_TRACE(burst[0][9] == 6 ? "TCP" : "UDP");
    const std::vector<Packet> writes = MergedRoundTrip(burst);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(HeaderOf(writes[0]), header);
    // The kernel completes the checksum from the pseudo-header sum left in its field.
    const uint8_t* ip = writes[0].data() + sizeof(OffloadHeader);
    InternetChecksum pseudo;
    pseudo.AddPseudoHeader(ip, ip[9], writes[0].size() - sizeof(OffloadHeader) - 20);
    uint16_t left;
    std::memcpy(&left, ip + 20 + header[5], sizeof left);
    EXPECT_EQ(left, pseudo.Folded());
    // A device that refuses the merged write gets the very same pieces one by one.
    std::vector<Packet> pieces;
    std::vector<uint8_t> scratch;
    SplitMergedWrite(writes[0], scratch, [&](std::span<const uint8_t> piece) {
      pieces.emplace_back(piece.begin() + sizeof(OffloadHeader), piece.end());
    });
    EXPECT_EQ(pieces, burst);
  }
}

// Each case: a first segment, then one that must not be joined to it. Both still leave, unchanged
// and in order.
TEST(SegmentMergerTest, KeepsApartWhatMustNotBeJoined) {
  const Flow flow;
  Flow otherPort = flow;
  otherPort.destinationPort = 5202;
  Flow otherTtl = flow;
  otherTtl.ttl = 62;
  Flow mayFragment = flow;
  mayFragment.fragmentField = 0;
  const Packet first = TcpSegment(flow, 0, 1400, 1);
  Packet badChecksum = TcpSegment(flow, 1400, 1400, 2);
  badChecksum.back() ^= 1;
  Packet urgentPointer = TcpSegment(flow, 1400, 1400, 2);
  urgentPointer[39] = 1;  // meaningless without URG, but it must leave as it came
  testing::FixTransportChecksum(urgentPointer, 36);
  Packet ipOptions = TcpSegment(flow, 1400, 1400, 2);
  ipOptions[0] = 0x46;
  const struct {
    const char* what;
    Packet first;
    Packet second;
  } cases[] = {
      {"a gap in the stream", first, TcpSegment(flow, 1401, 1400, 2)},
      {"another connection", first, TcpSegment(otherPort, 1400, 1400, 2)},
      {"another time to live", first, TcpSegment(otherTtl, 1400, 1400, 2)},
      {"another acknowledgement", first, TcpSegment(flow, 1400, 1400, 2, 0x10, {}, 778)},
      {"a FIN", first, TcpSegment(flow, 1400, 1400, 2, 0x11)},
      {"ECN signals", first, TcpSegment(flow, 1400, 1400, 2, 0x90)},
      {"other TCP options", TcpSegment(flow, 0, 1400, 1, 0x10, {1, 1, 1, 1}),
       TcpSegment(flow, 1400, 1400, 2, 0x10, {1, 1, 1, 0})},
      {"a longer segment", TcpSegment(flow, 0, 1000, 1), TcpSegment(flow, 1000, 1400, 2)},
      {"anything after a push", TcpSegment(flow, 0, 1400, 1, 0x18),
       TcpSegment(flow, 1400, 1400, 2)},
      {"a damaged segment", first, badChecksum},
      {"another urgent pointer", first, urgentPointer},
      {"identification not counting up", first, TcpSegment(flow, 1400, 1400, 3)},
      {"IP options", first, ipOptions},
      {"no don't-fragment", first, TcpSegment(mayFragment, 1400, 1400, 2)},
      {"UDP after TCP", first, UdpDatagram(flow, 1400, 2)},
      {"a longer datagram", UdpDatagram(flow, 100, 1), UdpDatagram(flow, 101, 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Packet> writes = MergedRoundTrip({c.first, c.second});
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(HeaderOf(writes[1]), std::vector<int>(6, 0));
  }
  // A segment shorter than the first ends the packet: only the last piece may be short.
  EXPECT_EQ(
      MergedRoundTrip({first, TcpSegment(flow, 1400, 1000, 2), TcpSegment(flow, 2400, 1000, 3)})
          .size(),
      2u);

  Packet noChecksum = UdpDatagram(flow, 100, 1);
  noChecksum[26] = noChecksum[27] = 0;
  Packet icmp = TcpSegment(flow, 0, 100, 1);
  icmp[9] = 1;
  Packet truncated = TcpSegment(flow, 0, 100, 1);
  truncated.resize(30);
  SegmentMerger merger;
  for (const Packet& packet : {noChecksum, icmp, truncated, TcpSegment(flow, 0, 0, 1, 0x02)}) {
    EXPECT_FALSE(merger.Start(packet) || merger.holding()) << "never held: " << int(packet[9]);
  }
}

TEST(SegmentMergerTest, StopsAtTheSizeAndCountLimits) {
  // 1400-byte payloads: the 47th would take the packet past 65535 bytes.
  const std::vector<Packet> bySize = MergedRoundTrip(TcpRun(50, 1400));
  ASSERT_EQ(bySize.size(), 2u);
  EXPECT_EQ(bySize[0].size() - sizeof(OffloadHeader), 40 + 46 * 1400u);
  const std::vector<Packet> byCount = MergedRoundTrip(TcpRun(SegmentMerger::kMaxSegments + 1, 100));
  ASSERT_EQ(byCount.size(), 2u);
  EXPECT_EQ(byCount[1].size() - sizeof(OffloadHeader), 140u);
}

// The merger trusts this sum to tell damaged packets apart, and the test helpers use it too:
// it is checked against the textbook sum of big-endian 16-bit words, at every alignment and
// for every tail length of the word loops, with sums large enough to carry.
TEST(InternetChecksumTest, MatchesTheSumOfBigEndianWords) {
  std::vector<uint8_t> bytes(96 + 8);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(0xF7 - i * 13);
  }
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; length <= 96; ++length) {
      uint32_t expected = 0;
      for (size_t i = 0; i < length; ++i) {
        expected += (i % 2 == 0) ? bytes[offset + i] << 8 : bytes[offset + i];
      }
      while (expected >> 16 != 0) {
        expected = (expected & 0xFFFF) + (expected >> 16);
      }
      InternetChecksum sum;
      sum.Add(bytes.data() + offset, length);
      uint8_t stored[2];
      StoreChecksum(stored, sum.Folded());
      ASSERT_EQ(stored[0] << 8 | stored[1], expected)
          << "offset " << offset << " length " << length;
    }
  }
}

// A kernel without UDP segmentation for TUN devices: it takes offload headers but refuses a merged
// UDP run.
int g_refusals = 0;
ssize_t RefuseMergedUdp(int fd, const iovec* parts, int count) {
  if (static_cast<const uint8_t*>(parts[0].iov_base)[1] == 5) {
    ++g_refusals;
    errno = EINVAL;
    return -1;
  }
  return ::writev(fd, parts, count);
}

// The writer over one end of a packet-preserving socket pair standing in for the device.
class TunWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    writerEnd_.Reset(pair[0]);
    readerEnd_.Reset(pair[1]);
    ::fcntl(readerEnd_.get(), F_SETFL, O_NONBLOCK);
  }

  TunWriter Writer(bool offloadHeader, bool udpSegmentation = true,
                   TunWriter::DeviceWrite write = ::writev) {
    return TunWriter(
        {writerEnd_.get(), offloadHeader, udpSegmentation},
        [this](bool written, size_t packets, size_t bytes) {
          reports_.push_back({written, packets, bytes});
        },
        write);
  }

  // The next write the device received; empty when there is none.
  Packet Written() {
    Packet buffer(70000);
    const ssize_t n = ::read(readerEnd_.get(), buffer.data(), buffer.size());
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }

  static Packet Plain(const Packet& packet) {
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
  std::vector<Report> reports_;
  UniqueFd writerEnd_;
  UniqueFd readerEnd_;
};

TEST_F(TunWriterTest, HoldsABurstUntilFlushAndWritesOthersAtOnceInOrder) {
  TunWriter writer = Writer(true);
  writer.Write(TcpSegment(Flow{}, 0, 1000, 1));
  writer.Write(TcpSegment(Flow{}, 1000, 1000, 2));
  EXPECT_TRUE(Written().empty()) << "a mergeable segment went out before the flush";
  Packet icmp = TcpSegment(Flow{}, 0, 50, 3);
  icmp[9] = 1;
  writer.Write(icmp);  // ends the burst: both go out, the burst first
  EXPECT_EQ(HeaderOf(Written())[1], 1);
  EXPECT_EQ(Written(), Plain(icmp));
  const Packet lone = TcpSegment(Flow{}, 2000, 1000, 4);
  writer.Write(lone);
  writer.Flush();
  writer.Flush();
  EXPECT_EQ(Written(), Plain(lone));
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(reports_, (std::vector<Report>{{true, 2, 2080}, {true, 1, 90}, {true, 1, 1040}}));

  TunWriter bare = Writer(false);  // a device without offload headers takes packets as they are
  for (const Packet& packet : TcpRun(2, 1000)) {
    bare.Write(packet);
    EXPECT_EQ(Written(), packet);
  }
}

TEST_F(TunWriterTest, ARefusedMergedWriteGoesOutPacketByPacketAndThatKindIsNoLongerMerged) {
  g_refusals = 0;
  TunWriter writer = Writer(true, true, RefuseMergedUdp);
  TunWriter withoutUdpSegmentation = Writer(true, false, RefuseMergedUdp);
  for (TunWriter* w : {&writer, &writer, &withoutUdpSegmentation}) {
    std::vector<Packet> run;
    for (uint16_t i = 0; i < 4; ++i) {
      run.push_back(UdpDatagram(Flow{}, 500, 10 + i, static_cast<uint8_t>(i)));
      w->Write(run.back());
    }
    w->Flush();
    for (const Packet& packet : run) {
      EXPECT_EQ(Written(), Plain(packet));
    }
  }
  for (const Packet& packet : TcpRun(4, 500)) {
    writer.Write(packet);
  }
  writer.Flush();
  EXPECT_EQ(Written().size(), sizeof(OffloadHeader) + 40 + 2000) << "TCP is still merged";
  EXPECT_EQ(g_refusals, 1) << "a refused kind was merged again";
  // Every packet reported once as written; the refused merged write is not a loss. Those a broken
  // device refuses are each reported lost (the agent ignores SIGPIPE, so must this).
  std::vector<Report> expected(12, {true, 1, 528});
  expected.push_back({true, 4, 2160});
  expected.insert(expected.end(), 4, {false, 1, 540});
  readerEnd_.Reset();
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  for (const Packet& packet : TcpRun(4, 500)) {
    writer.Write(packet);
  }
  writer.Flush();
  ::sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(reports_, expected);
}

}  // namespace
}  // namespace larkspire
