#include "relay/segment_merger.h"

#include <gtest/gtest.h>

#include <cstdint>

#include <cstring>
#include <vector>

#include "fuzz/support/kernel_segmenter.h"
#include "relay/internet_checksum.h"
#include "relay/test_packets.h"

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

std::vector<Packet> TcpRun(const Flow& flow, uint32_t sequence, std::vector<size_t> sizes,
                           uint16_t firstId = 100) {
  std::vector<Packet> run;
  for (size_t size : sizes) {
    run.push_back(TcpSegment(flow, sequence, size, firstId++));
    sequence += static_cast<uint32_t>(size);
  }
  return run;
}

void ExpectSegmentsBackToOriginals(const std::vector<std::vector<uint8_t>>& writes,
                                   const std::vector<Packet>& originals) {
  std::vector<Packet> leaving;
  for (const auto& write : writes) {
    for (Packet& piece : testing::CutLikeTheKernel(write)) {
      leaving.push_back(piece);
    }
  }
  EXPECT_EQ(leaving, originals);
}

TEST(SegmentMergerTest, JoinsABurstOfOneFlowThatLeavesExactlyAsItCame) {
  Flow flow;
  const std::vector<uint8_t> timestamps = {1, 1, 8, 10, 0, 0, 0, 9, 0, 0, 0, 4};
  std::vector<Packet> tcp;
  uint32_t sequence = 0xFFFFF000;  // wraps around inside the burst
  std::vector<Packet> udp;
  for (uint16_t i = 0; i < 5; ++i) {
    const bool last = i == 4;  // shorter, and for TCP pushed: it still joins
    tcp.push_back(TcpSegment(flow, sequence, last ? 300 : 1388, static_cast<uint16_t>(7 + i),
                             last ? 0x18 : 0x10, timestamps));
    sequence += 1388;
    udp.push_back(
        UdpDatagram(flow, last ? 10 : 72, static_cast<uint16_t>(50 + i), static_cast<uint8_t>(i)));
  }
  // Checksum left to the kernel; TCP or UDP segmentation; headers, segment and checksum place.
  const std::vector<int> tcpHeader = {1, 1, 52, 1388, 20, 16};
  const std::vector<int> udpHeader = {1, 5, 28, 72, 20, 6};
  for (const auto& [burst, header] : {std::pair{tcp, tcpHeader}, std::pair{udp, udpHeader}}) {
    SCOPED_TRACE(burst[0][9] == 6 ? "TCP" : "UDP");
    const auto writes = testing::MergeLikeTheWriter(burst);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(HeaderOf(writes[0]), header);
    ExpectSegmentsBackToOriginals(writes, burst);
  }
}

// Each case: a first segment, then one that must not be joined to it. Both still leave,
// unchanged and in order.
TEST(SegmentMergerTest, KeepsApartWhatMustNotBeJoined) {
  Flow flow;
  Flow otherPort = flow;
  otherPort.destinationPort = 5202;
  Flow otherTtl = flow;
  otherTtl.ttl = 62;
  Flow mayFragment = flow;
  mayFragment.fragmentField = 0;
  Packet badChecksum = TcpSegment(flow, 1400, 1400, 2);
  badChecksum.back() ^= 1;
  Packet urgentPointer = TcpSegment(flow, 1400, 1400, 2);
  urgentPointer[39] = 1;  // meaningless without URG, but it must leave as it came
  testing::FixTransportChecksum(urgentPointer, 36);
  Packet ipOptions = TcpSegment(flow, 1400, 1400, 2);
  ipOptions[0] = 0x46;
  struct Case {
    const char* what;
    Packet first;
    Packet second;
  };
  const std::vector<Case> cases = {
      {"a gap in the stream", TcpSegment(flow, 0, 1400, 1), TcpSegment(flow, 1401, 1400, 2)},
      {"another connection", TcpSegment(flow, 0, 1400, 1), TcpSegment(otherPort, 1400, 1400, 2)},
      {"another time to live", TcpSegment(flow, 0, 1400, 1), TcpSegment(otherTtl, 1400, 1400, 2)},
      {"another acknowledgement", TcpSegment(flow, 0, 1400, 1),
       TcpSegment(flow, 1400, 1400, 2, 0x10, {}, 778)},
      {"a FIN", TcpSegment(flow, 0, 1400, 1), TcpSegment(flow, 1400, 1400, 2, 0x11)},
      {"ECN signals", TcpSegment(flow, 0, 1400, 1), TcpSegment(flow, 1400, 1400, 2, 0x90)},
      {"other TCP options", TcpSegment(flow, 0, 1400, 1, 0x10, {1, 1, 1, 1}),
       TcpSegment(flow, 1400, 1400, 2, 0x10, {1, 1, 1, 0})},
      {"a longer segment", TcpSegment(flow, 0, 1000, 1), TcpSegment(flow, 1000, 1400, 2)},
      {"anything after a push", TcpSegment(flow, 0, 1400, 1, 0x18),
       TcpSegment(flow, 1400, 1400, 2)},
      {"a damaged segment", TcpSegment(flow, 0, 1400, 1), badChecksum},
      {"another urgent pointer", TcpSegment(flow, 0, 1400, 1), urgentPointer},
      {"identification not counting up", TcpSegment(flow, 0, 1400, 1),
       TcpSegment(flow, 1400, 1400, 3)},
      {"IP options", TcpSegment(flow, 0, 1400, 1), ipOptions},
      {"no don't-fragment", TcpSegment(flow, 0, 1400, 1), TcpSegment(mayFragment, 1400, 1400, 2)},
      {"UDP after TCP", TcpSegment(flow, 0, 1400, 1), UdpDatagram(flow, 1400, 2)},
      {"a longer datagram", UdpDatagram(flow, 100, 1), UdpDatagram(flow, 101, 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto writes = testing::MergeLikeTheWriter({c.first, c.second});
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(HeaderOf(writes[1]), std::vector<int>(6, 0));
    ExpectSegmentsBackToOriginals(writes, {c.first, c.second});
  }
  // A segment shorter than the first ends the packet: only the last piece may be short.
  const std::vector<Packet> shortInside = TcpRun(flow, 0, {1400, 1000, 1000});
  const auto writes = testing::MergeLikeTheWriter(shortInside);
  EXPECT_EQ(writes.size(), 2u);
  ExpectSegmentsBackToOriginals(writes, shortInside);
}

TEST(SegmentMergerTest, UnjoinablePacketsAreNeverHeld) {
  Packet noChecksum = UdpDatagram(Flow{}, 100, 1);
  noChecksum[26] = noChecksum[27] = 0;
  Packet icmp = TcpSegment(Flow{}, 0, 100, 1);
  icmp[9] = 1;
  Packet truncated = TcpSegment(Flow{}, 0, 100, 1);
  truncated.resize(30);
  SegmentMerger merger;
  for (const Packet& packet : {noChecksum, icmp, truncated, TcpSegment(Flow{}, 0, 0, 1, 0x02)}) {
    EXPECT_FALSE(merger.Start(packet));
    EXPECT_FALSE(merger.holding());
  }
}

TEST(SegmentMergerTest, StopsAtTheSizeAndCountLimits) {
  // 1400-byte payloads: the 47th would take the packet past 65535 bytes.
  const auto bySize = testing::MergeLikeTheWriter(TcpRun(Flow{}, 0, std::vector<size_t>(50, 1400)));
  ASSERT_EQ(bySize.size(), 2u);
  EXPECT_EQ(bySize[0].size() - sizeof(OffloadHeader), 40 + 46 * 1400u);
  ExpectSegmentsBackToOriginals(bySize, TcpRun(Flow{}, 0, std::vector<size_t>(50, 1400)));

  const auto byCount = testing::MergeLikeTheWriter(
      TcpRun(Flow{}, 0, std::vector<size_t>(SegmentMerger::kMaxSegments + 1, 100)));
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
      ASSERT_EQ(stored[0] << 8 | stored[1], expected) << "offset " << offset << " length " << length;
    }
  }
}

}  // namespace
}  // namespace larkspire
