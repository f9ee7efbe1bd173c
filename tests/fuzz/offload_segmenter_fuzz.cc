// The cutting of offloaded TUN reads. Input: a 10-byte offload header, a control byte (low bit:
// make the IP length fit so the fuzzer reaches the cutting; the rest: the MTU), the packet.
// Every buffer is exactly as large as promised, so AddressSanitizer sees any access beyond it.
#include <algorithm>
#include <cstring>

#include "relay/byte_order.h"
#include "relay/internet_checksum.h"
#include "relay/offload_segmenter.h"
#include "relay/packet_fields.h"
#include "support/fuzz_harness.h"

namespace larkspire {

bool TransportVerifies(std::span<const uint8_t> p, size_t start, uint8_t protocol) {
  InternetChecksum sum;
  const bool ipv4 = p[0] >> 4 == 4;
  sum.Add(&p[ipv4 ? 12 : 8], ipv4 ? 8 : 32);  // the addresses
  const size_t length = p.size() - start;
  const uint8_t pseudo[4] = {0, protocol, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length)};
  sum.Add(pseudo, sizeof pseudo);
  sum.Add(&p[start], length);
  return sum.Verifies();
}

void CheckPiece(const SegmentPlan& plan, std::span<const uint8_t> in, std::span<const uint8_t> out,
                size_t index, size_t offset, size_t mtu) {
  const bool last = index + 1 == plan.count;
  const size_t t = plan.transportStart;
  FUZZ_CHECK(out.size() <= mtu && out.size() > plan.headerLength);
  FUZZ_CHECK(last || out.size() == plan.headerLength + plan.segmentSize);
  FUZZ_CHECK(std::ranges::equal(out.subspan(plan.headerLength),
                                in.subspan(offset, out.size() - plan.headerLength)));
  FUZZ_CHECK(TransportVerifies(out, t, plan.protocol));
  if (plan.ipv6) {
    FUZZ_CHECK(LoadBigEndian(&out[4], 2) == out.size() - 40);
  } else {
    InternetChecksum header;
    header.Add(out.data(), t);
    FUZZ_CHECK(header.Verifies() && LoadBigEndian(&out[2], 2) == out.size());
    FUZZ_CHECK(LoadBigEndian(&out[4], 2) == ((LoadBigEndian(&in[4], 2) + index) & 0xFFFF));
  }
  if (plan.protocol == kProtocolUdp) {
    FUZZ_CHECK(LoadBigEndian(&out[t + 4], 2) == out.size() - t);
    return;
  }
  const uint64_t sequence = LoadBigEndian(&in[t + 4], 4) + (offset - plan.headerLength);
  FUZZ_CHECK(LoadBigEndian(&out[t + 4], 4) == (sequence & 0xFFFFFFFF));
  // FIN and PSH belong to the last piece, CWR to the first.
  const uint8_t keep = (last ? 0xFF : ~(kTcpFin | kTcpPush)) & (index == 0 ? 0xFF : ~kTcpCwr);
  FUZZ_CHECK(out[t + 13] == (in[t + 13] & keep));
}

void CheckWhole(const OffloadHeader& header, const SegmentPlan& plan, std::span<const uint8_t> in) {
  std::vector<uint8_t> out(in.size());
  FUZZ_CHECK(WriteSegment(plan, 0, out.data()) == in.size());
  if ((header.flags & kVirtioNeedsChecksum) == 0) {
    FUZZ_CHECK(std::ranges::equal(out, in));
  } else if (plan.protocol != 0) {
    FUZZ_CHECK(TransportVerifies(out, plan.transportStart, plan.protocol));
  } else {
    const size_t field = header.checksumStart + header.checksumOffset;
    std::copy_n(&in[field], 2, &out[field]);
    FUZZ_CHECK(std::ranges::equal(out, in));
  }
}

void FuzzOne(const std::string& input) {
  OffloadHeader header;
  if (input.size() <= sizeof header) {
    return;
  }
  std::memcpy(&header, input.data(), sizeof header);
  const auto control = static_cast<uint8_t>(input[sizeof header]);
  const size_t mtu = 80 + static_cast<size_t>(control >> 1) * 12;
  std::vector<uint8_t> packet(input.begin() + sizeof header + 1, input.end());
  const bool ipv6 = packet.size() >= 40 && packet[0] >> 4 == 6;
  if ((control & 1) != 0 && (ipv6 || (packet.size() >= 20 && packet[0] >> 4 == 4))) {
    StoreBigEndian(&packet[ipv6 ? 4 : 2], packet.size() - (ipv6 ? 40 : 0), 2);
  }
  const std::optional<SegmentPlan> plan = PlanSegments(header, packet, mtu);
  if (plan && header.gsoType == kVirtioGsoNone) {
    FUZZ_CHECK(plan->count == 1);
    CheckWhole(header, *plan, packet);
  } else if (plan) {
    FUZZ_CHECK(plan->count >= 1 && plan->segmentSize > 0 && plan->protocol != 0);
    size_t offset = plan->headerLength;
    for (size_t i = 0; i < plan->count; ++i) {
      std::vector<uint8_t> out(plan->headerLength + plan->segmentSize);
      out.resize(WriteSegment(*plan, i, out.data()));
      CheckPiece(*plan, packet, out, i, offset, mtu);
      offset += out.size() - plan->headerLength;
    }
    FUZZ_CHECK(offset == packet.size());
  }
}

}  // namespace larkspire
