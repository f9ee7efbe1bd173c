#include "relay/offload_segmenter.h"

#include <algorithm>
#include <cstring>

#include "relay/byte_order.h"
#include "relay/internet_checksum.h"
#include "relay/packet_fields.h"

namespace larkspire {
namespace {

constexpr size_t kIpv6HeaderLength = 40;

size_t Load16(const uint8_t* p) {
  return static_cast<size_t>(LoadBigEndian(p, 2));
}

// IPv6 extension headers that may sit between the fixed header and TCP or UDP and leave the
// pseudo-header's addresses as they are (a routing header would change the destination).
bool IsSkippableExtension(uint8_t next) {
  return next == 0 || next == 60;  // hop-by-hop options, destination options
}

// Fills in where the transport header starts and which protocol it is; false when the IP
// header does not describe exactly this packet, or it is a fragment, or neither TCP nor UDP.
bool ParseIp(std::span<const uint8_t> p, SegmentPlan& plan) {
  if (p.empty()) {
    return false;
  }
  size_t offset;
  uint8_t next;
  if (p[0] >> 4 == 4) {
    offset = static_cast<size_t>(p[0] & 0x0F) * 4;
    if (p.size() < 20 || offset < 20 || offset > p.size() || Load16(&p[2]) != p.size() ||
        (Load16(&p[6]) & 0x3FFF) != 0) {  // more fragments, or a fragment offset
      return false;
    }
    next = p[9];
    plan.ipv6 = false;
  } else if (p[0] >> 4 == 6) {
    if (p.size() < kIpv6HeaderLength || kIpv6HeaderLength + Load16(&p[4]) != p.size()) {
      return false;
    }
    offset = kIpv6HeaderLength;
    next = p[6];
    while (IsSkippableExtension(next)) {
      if (offset + 2 > p.size()) {
        return false;
      }
      next = p[offset];
      offset += (static_cast<size_t>(p[offset + 1]) + 1) * 8;
    }
    plan.ipv6 = true;
  } else {
    return false;
  }
  size_t transportHeader;
  if (next == kProtocolTcp && offset + 20 <= p.size()) {
    transportHeader = static_cast<size_t>(p[offset + 12] >> 4) * 4;
    if (transportHeader < 20) {
      return false;
    }
  } else if (next == kProtocolUdp) {
    transportHeader = kUdpHeaderLength;
  } else {
    return false;
  }
  if (offset > p.size() || transportHeader > p.size() - offset) {
    return false;
  }
  plan.protocol = next;
  plan.transportStart = offset;
  plan.headerLength = offset + transportHeader;
  return true;
}

size_t ChecksumOffset(uint8_t protocol) {
  return protocol == kProtocolTcp ? kTcpChecksumOffset : kUdpChecksumOffset;
}

bool MatchesGsoType(uint8_t type, const SegmentPlan& plan) {
  switch (type) {
    case kVirtioGsoTcpV4:
      return plan.protocol == kProtocolTcp && !plan.ipv6;
    case kVirtioGsoTcpV6:
      return plan.protocol == kProtocolTcp && plan.ipv6;
    case kVirtioGsoUdpL4:
      return plan.protocol == kProtocolUdp;
    default:
      return false;
  }
}

std::optional<SegmentPlan> PlanWhole(const OffloadHeader& header, std::span<const uint8_t> packet) {
  SegmentPlan plan;
  plan.packet = packet;
  if ((header.flags & kVirtioNeedsChecksum) == 0) {
    return plan;
  }
  const size_t start = header.checksumStart;
  const size_t field = start + header.checksumOffset;
  if (start >= packet.size() || field + 2 > packet.size()) {
    return std::nullopt;
  }
  SegmentPlan parsed = plan;
  if (ParseIp(packet, parsed) && start == parsed.transportStart &&
      header.checksumOffset == ChecksumOffset(parsed.protocol)) {
    return parsed;  // recomputed in full, like a segmented packet
  }
  plan.finishPartialChecksum = true;
  plan.checksumStart = start;
  plan.checksumField = field;
  return plan;
}

void FinishPartialChecksum(const SegmentPlan& plan, uint8_t* out) {
  InternetChecksum sum;
  sum.Add(out + plan.checksumStart, plan.packet.size() - plan.checksumStart);
  const auto folded = static_cast<uint16_t>(~sum.Folded());
  // Zero would read as "no checksum" in UDP; all ones is the same value for everyone else.
  StoreChecksum(out + plan.checksumField, folded == 0 ? 0xFFFF : folded);
}

// Lengths, identification and checksums of one piece whose headers and payload are in
// place; `length` is the whole piece.
void FinishPiece(const SegmentPlan& plan, size_t index, uint8_t* out, size_t length) {
  uint8_t* transport = out + plan.transportStart;
  const size_t transportLength = length - plan.transportStart;
  InternetChecksum sum;
  if (plan.ipv6) {
    StoreBigEndian(out + 4, length - kIpv6HeaderLength, 2);
    sum.Add(out + 8, 32);  // source and destination address
  } else {
    StoreBigEndian(out + 2, length, 2);
    StoreBigEndian(out + 4, Load16(out + 4) + index, 2);
    StoreChecksum(out + 10, 0);
    InternetChecksum ipSum;
    ipSum.Add(out, plan.transportStart);
    StoreChecksum(out + 10, static_cast<uint16_t>(~ipSum.Folded()));
    sum.Add(out + 12, 8);
  }
  uint8_t pseudo[8] = {};
  StoreBigEndian(pseudo, transportLength, 4);
  pseudo[7] = plan.protocol;
  sum.Add(pseudo, sizeof pseudo);
  if (plan.protocol == kProtocolUdp) {
    StoreBigEndian(transport + 4, transportLength, 2);
  }
  uint8_t* field = transport + ChecksumOffset(plan.protocol);
  StoreChecksum(field, 0);
  sum.Add(transport, transportLength);
  const auto folded = static_cast<uint16_t>(~sum.Folded());
  StoreChecksum(field, folded == 0 && plan.protocol == kProtocolUdp ? 0xFFFF : folded);
}

}  // namespace

std::optional<SegmentPlan> PlanSegments(const OffloadHeader& header,
                                        std::span<const uint8_t> packet, size_t mtu) {
  const auto type = static_cast<uint8_t>(header.gsoType & ~kVirtioGsoEcn);
  if (packet.empty()) {
    return std::nullopt;
  }
  if (header.gsoType == kVirtioGsoNone) {
    return PlanWhole(header, packet);
  }
  SegmentPlan plan;
  plan.packet = packet;
  // The header length the kernel reports is only a hint (it may cover payload as well), so
  // the headers are measured on the packet itself; the hint must still lie inside it.
  if (header.segmentSize == 0 || header.headerLength > packet.size() || !ParseIp(packet, plan) ||
      !MatchesGsoType(type, plan) ||
      ((header.gsoType & kVirtioGsoEcn) != 0 && plan.protocol != kProtocolTcp) ||
      plan.headerLength >= packet.size() || mtu <= plan.headerLength) {
    return std::nullopt;
  }
  if ((header.flags & kVirtioNeedsChecksum) != 0 &&
      (header.checksumStart != plan.transportStart ||
       header.checksumOffset != ChecksumOffset(plan.protocol))) {
    return std::nullopt;
  }
  const size_t room = mtu - plan.headerLength;
  if (plan.protocol == kProtocolUdp) {
    // Each UDP piece is a datagram of its own: its size is the sender's, not ours to change.
    if (header.segmentSize > room) {
      return std::nullopt;
    }
    plan.segmentSize = header.segmentSize;
  } else {
    plan.segmentSize = std::min<size_t>(header.segmentSize, room);
  }
  const size_t payload = packet.size() - plan.headerLength;
  plan.count = (payload + plan.segmentSize - 1) / plan.segmentSize;
  return plan;
}

size_t WriteSegment(const SegmentPlan& plan, size_t index, uint8_t* out) {
  if (plan.segmentSize == 0) {
    std::memcpy(out, plan.packet.data(), plan.packet.size());
    if (plan.finishPartialChecksum) {
      FinishPartialChecksum(plan, out);
    } else if (plan.protocol != 0) {
      FinishPiece(plan, 0, out, plan.packet.size());
    }
    return plan.packet.size();
  }
  const size_t offset = plan.headerLength + index * plan.segmentSize;
  const size_t size = std::min(plan.segmentSize, plan.packet.size() - offset);
  std::memcpy(out, plan.packet.data(), plan.headerLength);
  std::memcpy(out + plan.headerLength, plan.packet.data() + offset, size);
  if (plan.protocol == kProtocolTcp) {
    uint8_t* tcp = out + plan.transportStart;
    const uint64_t sequence = LoadBigEndian(tcp + 4, 4) + index * plan.segmentSize;
    StoreBigEndian(tcp + 4, sequence & 0xFFFFFFFF, 4);
    // The sender's FIN and PSH close the burst, so only its last piece keeps them; a CWR
    // answers congestion once, on the first.
    if (index + 1 < plan.count) {
      tcp[13] &= static_cast<uint8_t>(~(kTcpFin | kTcpPush));
    }
    if (index > 0) {
      tcp[13] &= static_cast<uint8_t>(~kTcpCwr);
    }
  }
  FinishPiece(plan, index, out, plan.headerLength + size);
  return plan.headerLength + size;
}

}  // namespace larkspire
