#include "relay/segment_merger.h"

#include <algorithm>
#include <cstring>

#include "relay/internet_checksum.h"
#include "relay/offload_segmenter.h"
#include "relay/packet_fields.h"

namespace larkspire {
namespace {

constexpr size_t kIpHeaderLength = SegmentMerger::kIpHeaderLength;

uint16_t Read16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void Write16(uint8_t* p, size_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t offset, size_t count) {
  return std::memcmp(a + offset, b + offset, count) == 0;
}

// A plain IPv4 header: no options, not a fragment, "don't fragment" set (so the kernel may
// number the pieces it cuts without anyone reassembling them), right length and checksum.
bool IsJoinableIpv4(std::span<const uint8_t> packet) {
  if (packet.size() < kIpHeaderLength || packet[0] != 0x45 || Read16(&packet[2]) != packet.size() ||
      Read16(&packet[6]) != 0x4000) {
    return false;
  }
  InternetChecksum sum;
  sum.Add(packet.data(), kIpHeaderLength);
  return sum.Verifies();
}

bool TransportChecksumVerifies(std::span<const uint8_t> packet, uint8_t protocol) {
  InternetChecksum sum;
  sum.AddPseudoHeader(packet.data(), protocol, packet.size() - kIpHeaderLength);
  sum.Add(packet.data() + kIpHeaderLength, packet.size() - kIpHeaderLength);
  return sum.Verifies();
}

}  // namespace

bool SegmentMerger::Parse(std::span<const uint8_t> packet, Segment& segment) {
  if (!IsJoinableIpv4(packet)) {
    return false;
  }
  const uint8_t* transport = packet.data() + kIpHeaderLength;
  const size_t transportLength = packet.size() - kIpHeaderLength;
  if (packet[9] == kProtocolTcp) {
    if (transportLength < 20) {
      return false;
    }
    const size_t headerLength = static_cast<size_t>(transport[12] >> 4) * 4;
    const uint8_t flags = transport[13];
    // Only plain data segments: anything that opens, closes, resets, is urgent or signals
    // congestion keeps its own packet.
    if (headerLength < 20 || headerLength >= transportLength ||
        (flags != kTcpAck && flags != (kTcpAck | kTcpPush))) {
      return false;
    }
    segment = {Kind::kTcp, headerLength, transportLength - headerLength, Read32(transport + 4),
               (flags & kTcpPush) != 0};
  } else if (packet[9] == kProtocolUdp) {
    // A zero checksum means the sender computed none; joined pieces would all get one.
    if (transportLength <= kUdpHeaderLength || Read16(transport + 4) != transportLength ||
        Read16(transport + 6) == 0) {
      return false;
    }
    segment = {Kind::kUdp, kUdpHeaderLength, transportLength - kUdpHeaderLength, 0, false};
  } else {
    return false;
  }
  return TransportChecksumVerifies(packet, packet[9]);
}

bool SegmentMerger::Merges(std::span<const uint8_t> packet, Segment& segment) const {
  return Parse(packet, segment) && (segment.kind == Kind::kTcp ? mergeTcp_ : mergeUdp_);
}

bool SegmentMerger::Start(std::span<const uint8_t> packet) {
  segments_ = 0;
  if (packet.size() > kMaxPacket || !Merges(packet, first_)) {
    return false;
  }
  std::memcpy(this->packet(), packet.data(), packet.size());
  length_ = packet.size();
  segments_ = 1;
  nextSequence_ = first_.sequence + static_cast<uint32_t>(first_.payloadLength);
  closed_ = first_.push;
  return true;
}

// Same flow, same header fields apart from lengths, identification, sequence and checksums,
// and the next bytes of the stream.
bool SegmentMerger::Continues(std::span<const uint8_t> candidate, const Segment& segment) const {
  const uint8_t* held = buffer_.data() + sizeof(OffloadHeader);
  const uint8_t* next = candidate.data();
  // The kernel numbers the pieces it cuts upwards from the first; other numbering would not
  // survive the round trip.
  const auto expectedId = static_cast<uint16_t>(Read16(held + 4) + segments_);
  if (segment.kind != first_.kind || segment.payloadLength > first_.payloadLength ||
      Read16(next + 4) != expectedId || !SameBytes(held, next, 1, 1) ||  // type of service and ECN
      !SameBytes(held, next, 8, 2) ||   // time to live and protocol
      !SameBytes(held, next, 12, 8)) {  // addresses
    return false;
  }
  const uint8_t* heldTransport = held + kIpHeaderLength;
  const uint8_t* nextTransport = next + kIpHeaderLength;
  if (!SameBytes(heldTransport, nextTransport, 0, 4)) {  // ports
    return false;
  }
  if (segment.kind == Kind::kUdp) {
    return true;
  }
  return segment.sequence == nextSequence_ &&
         segment.transportHeaderLength == first_.transportHeaderLength &&
         SameBytes(heldTransport, nextTransport, 8, 5) &&   // acknowledgement, offset, AE bit
         SameBytes(heldTransport, nextTransport, 14, 2) &&  // window
         SameBytes(heldTransport, nextTransport, 18, 2) &&  // urgent pointer, unused as it is
         SameBytes(heldTransport, nextTransport, 20, segment.transportHeaderLength - 20);
}

bool SegmentMerger::Append(std::span<const uint8_t> candidate) {
  Segment segment;
  if (segments_ == 0 || closed_ || segments_ == kMaxSegments || !Merges(candidate, segment) ||
      !Continues(candidate, segment) || length_ + segment.payloadLength > kMaxPacket) {
    return false;
  }
  const size_t headers = kIpHeaderLength + segment.transportHeaderLength;
  std::memcpy(packet() + length_, candidate.data() + headers, segment.payloadLength);
  length_ += segment.payloadLength;
  ++segments_;
  nextSequence_ += static_cast<uint32_t>(segment.payloadLength);
  if (segment.push) {
    packet()[kIpHeaderLength + 13] |= kTcpPush;
  }
  // Every piece but the last is as long as the first.
  closed_ = segment.push || segment.payloadLength < first_.payloadLength;
  return true;
}

std::span<const uint8_t> SegmentMerger::Finish() {
  OffloadHeader header{};
  if (segments_ > 1) {
    uint8_t* ip = packet();
    uint8_t* transport = ip + kIpHeaderLength;
    const size_t transportLength = length_ - kIpHeaderLength;
    Write16(ip + 2, length_);
    StoreChecksum(ip + 10, 0);
    InternetChecksum ipSum;
    ipSum.Add(ip, kIpHeaderLength);
    StoreChecksum(ip + 10, static_cast<uint16_t>(~ipSum.Folded()));

    const bool tcp = first_.kind == Kind::kTcp;
    const size_t checksumOffset = tcp ? kTcpChecksumOffset : kUdpChecksumOffset;
    if (!tcp) {
      Write16(transport + 4, transportLength);
    }
    // The kernel completes the checksum from the pseudo-header sum left in the field.
    InternetChecksum pseudo;
    pseudo.AddPseudoHeader(ip, ip[9], transportLength);
    StoreChecksum(transport + checksumOffset, pseudo.Folded());

    header.flags = kVirtioNeedsChecksum;
    header.gsoType = tcp ? kVirtioGsoTcpV4 : kVirtioGsoUdpL4;
    header.headerLength = static_cast<uint16_t>(kIpHeaderLength + first_.transportHeaderLength);
    header.segmentSize = static_cast<uint16_t>(first_.payloadLength);
    header.checksumStart = kIpHeaderLength;
    header.checksumOffset = static_cast<uint16_t>(checksumOffset);
  }
  std::memcpy(buffer_.data(), &header, sizeof header);
  const std::span<const uint8_t> out(buffer_.data(), sizeof header + length_);
  segments_ = 0;
  length_ = 0;
  return out;
}

void SplitMergedWrite(std::span<const uint8_t> merged, std::vector<uint8_t>& scratch,
                      const std::function<void(std::span<const uint8_t> write)>& write) {
  OffloadHeader header;
  std::memcpy(&header, merged.data(), sizeof header);
  // The pieces are cut as a read the kernel offloaded is cut: the same rules in reverse.
  const std::optional<SegmentPlan> plan =
      header.gsoType == 0
          ? std::nullopt
          : PlanSegments(header, merged.subspan(sizeof header), SegmentMerger::kMaxPacket);
  if (!plan) {
    write(merged);
    return;
  }
  scratch.assign(sizeof header + plan->headerLength + plan->segmentSize, 0);
  for (size_t i = 0; i < plan->count; ++i) {
    const size_t length = WriteSegment(*plan, i, scratch.data() + sizeof header);
    write({scratch.data(), sizeof header + length});
  }
}

}  // namespace larkspire
