// The cutting of offloaded TUN reads, on arbitrary offload headers and packets. Whatever the
// bytes, nothing is read or written outside the packet and the room each piece was promised
// (AddressSanitizer watches both: every buffer is exactly as large as promised). A segmented
// read that is accepted becomes valid IP packets of at most the MTU, with right lengths and
// checksums, IPv4 identifications counting up, TCP sequence numbers following the bytes,
// FIN and PSH on the last piece only and CWR on the first only, and payloads that put
// together are the input's. A packet handed on whole keeps its length, and its checksum is
// right where the kernel left it for us to finish.
//
// Input: a 10-byte offload header, a control byte, then the packet. The control byte's low
// bit makes the IP length fields fit the packet, so the fuzzer reaches the cutting itself; the
// rest chooses the MTU.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "relay/byte_order.h"
#include "relay/internet_checksum.h"
#include "relay/offload_segmenter.h"
#include "support/fuzz_check.h"

namespace larkspire {
namespace {

void FitLengths(std::vector<uint8_t>& packet) {
  if (packet.size() >= 20 && packet[0] >> 4 == 4) {
    StoreBigEndian(&packet[2], packet.size(), 2);
  } else if (packet.size() >= 40 && packet[0] >> 4 == 6) {
    StoreBigEndian(&packet[4], packet.size() - 40, 2);
  }
}

// The transport checksum of `p`, whose transport header starts at `start`, verifies.
bool TransportVerifies(std::span<const uint8_t> p, size_t start, uint8_t protocol) {
  InternetChecksum sum;
  if (p[0] >> 4 == 4) {
    sum.Add(&p[12], 8);
  } else {
    sum.Add(&p[8], 32);
  }
  const size_t length = p.size() - start;
  const uint8_t pseudo[4] = {0, protocol, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length)};
  sum.Add(pseudo, sizeof pseudo);
  sum.Add(&p[start], length);
  return sum.Verifies();
}

bool IpHeaderVerifies(std::span<const uint8_t> p, size_t headerLength) {
  InternetChecksum sum;
  sum.Add(p.data(), headerLength);
  return sum.Verifies();
}

void CheckPiece(const SegmentPlan& plan, std::span<const uint8_t> in, std::span<const uint8_t> out,
                size_t index, size_t offset, size_t mtu) {
  const bool last = index + 1 == plan.count;
  FUZZ_CHECK(out.size() <= mtu && out.size() > plan.headerLength);
  FUZZ_CHECK(last || out.size() == plan.headerLength + plan.segmentSize);
  FUZZ_CHECK(std::memcmp(out.data() + plan.headerLength, in.data() + offset,
                         out.size() - plan.headerLength) == 0);
  const size_t t = plan.transportStart;
  if (plan.ipv6) {
    FUZZ_CHECK(LoadBigEndian(&out[4], 2) == out.size() - 40);
  } else {
    FUZZ_CHECK(LoadBigEndian(&out[2], 2) == out.size());
    FUZZ_CHECK(LoadBigEndian(&out[4], 2) == ((LoadBigEndian(&in[4], 2) + index) & 0xFFFF));
    FUZZ_CHECK(IpHeaderVerifies(out, t));
  }
  FUZZ_CHECK(TransportVerifies(out, t, plan.protocol));
  if (plan.protocol == 17) {
    FUZZ_CHECK(LoadBigEndian(&out[t + 4], 2) == out.size() - t);
    return;
  }
  const uint64_t sequence = LoadBigEndian(&in[t + 4], 4) + (offset - plan.headerLength);
  FUZZ_CHECK(LoadBigEndian(&out[t + 4], 4) == (sequence & 0xFFFFFFFF));
  uint8_t flags = in[t + 13];
  if (!last) {
    flags &= static_cast<uint8_t>(~0x09);  // FIN, PSH
  }
  if (index > 0) {
    flags &= static_cast<uint8_t>(~0x80);  // CWR
  }
  FUZZ_CHECK(out[t + 13] == flags);
}

void CheckWhole(const OffloadHeader& header, const SegmentPlan& plan, std::span<const uint8_t> in) {
  std::vector<uint8_t> out(in.size());
  FUZZ_CHECK(WriteSegment(plan, 0, out.data()) == in.size());
  if ((header.flags & 1) == 0) {
    FUZZ_CHECK(std::memcmp(out.data(), in.data(), in.size()) == 0);
  } else if (plan.protocol != 0) {
    FUZZ_CHECK(TransportVerifies(out, plan.transportStart, plan.protocol));
  } else {
    // Finished from the kernel's partial sum: only the checksum field may change.
    const size_t field = header.checksumStart + header.checksumOffset;
    FUZZ_CHECK(std::memcmp(out.data(), in.data(), field) == 0);
    FUZZ_CHECK(std::memcmp(out.data() + field + 2, in.data() + field + 2, in.size() - field - 2) ==
               0);
  }
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  if (size < sizeof(OffloadHeader) + 1) {
    return 0;
  }
  OffloadHeader header;
  std::memcpy(&header, data, sizeof header);
  const uint8_t control = data[sizeof header];
  const size_t mtu = 80 + static_cast<size_t>(control >> 1) * 12;
  std::vector<uint8_t> packet(data + sizeof header + 1, data + size);
  if ((control & 1) != 0) {
    FitLengths(packet);
  }
  const std::optional<SegmentPlan> plan = PlanSegments(header, packet, mtu);
  if (!plan) {
    return 0;
  }
  FUZZ_CHECK(plan->count >= 1);
  if (header.gsoType == 0) {
    FUZZ_CHECK(plan->count == 1);
    CheckWhole(header, *plan, packet);
    return 0;
  }
  FUZZ_CHECK(plan->segmentSize > 0 && plan->protocol != 0);
  size_t offset = plan->headerLength;
  for (size_t i = 0; i < plan->count; ++i) {
    std::vector<uint8_t> out(plan->headerLength + plan->segmentSize);
    out.resize(WriteSegment(*plan, i, out.data()));
    CheckPiece(*plan, packet, out, i, offset, mtu);
    offset += out.size() - plan->headerLength;
  }
  FUZZ_CHECK(offset == packet.size());
  return 0;
}
