#pragma once

// What the kernel does with a packet written after an offload header: a plain packet goes
// on as it is; a merged one is cut into pieces of the segment size, each with the headers of
// the first, its own length, identification (counting up) and sequence number, the push
// flag only on the last piece, and full checksums. Shared by the unit tests and the fuzz
// target of the packet merging.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "relay/internet_checksum.h"
#include "relay/offload_segmenter.h"
#include "relay/segment_merger.h"

namespace larkspire::testing {

inline void Store16(std::vector<uint8_t>& p, size_t at, uint32_t v) {
  p[at] = static_cast<uint8_t>(v >> 8);
  p[at + 1] = static_cast<uint8_t>(v);
}

inline uint32_t Load16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] << 8 | p[1]);
}

// Fills in the IPv4 header checksum of `p`.
inline void FixIpChecksum(std::vector<uint8_t>& p) {
  Store16(p, 10, 0);
  InternetChecksum sum;
  sum.Add(p.data(), 20);
  StoreChecksum(&p[10], static_cast<uint16_t>(~sum.Folded()));
}

// Fills in the TCP or UDP checksum of `p` (a 20-byte IPv4 header, then the transport header
// whose checksum field is at `checksumAt`).
inline void FixTransportChecksum(std::vector<uint8_t>& p, size_t checksumAt) {
  Store16(p, checksumAt, 0);
  InternetChecksum sum;
  sum.AddPseudoHeader(p.data(), p[9], p.size() - 20);
  sum.Add(p.data() + 20, p.size() - 20);
  StoreChecksum(&p[checksumAt], static_cast<uint16_t>(~sum.Folded()));
}

// The product's cutting of offloaded reads is checked against the kernel's rules by its own
// fuzz target; here it stands for the kernel, so a merged write must cut back into the very
// packets that went in.
inline std::vector<std::vector<uint8_t>> CutLikeTheKernel(std::span<const uint8_t> written) {
  OffloadHeader header;
  std::memcpy(&header, written.data(), sizeof header);
  if (header.gsoType == 0) {
    return {{written.begin() + sizeof header, written.end()}};
  }
  const std::optional<SegmentPlan> plan =
      PlanSegments(header, written.subspan(sizeof header), SegmentMerger::kMaxPacket);
  std::vector<std::vector<uint8_t>> pieces;
  for (size_t i = 0; plan && i < plan->count; ++i) {
    std::vector<uint8_t> piece(SegmentMerger::kMaxPacket);
    piece.resize(WriteSegment(*plan, i, piece.data()));
    pieces.push_back(piece);
  }
  return pieces;
}

// Offers each packet in turn as the TUN writer does; returns what would be written.
inline std::vector<std::vector<uint8_t>> MergeLikeTheWriter(
    const std::vector<std::vector<uint8_t>>& packets) {
  SegmentMerger merger;
  std::vector<std::vector<uint8_t>> writes;
  auto finish = [&] {
    const std::span<const uint8_t> merged = merger.Finish();
    writes.emplace_back(merged.begin(), merged.end());
  };
  for (const std::vector<uint8_t>& packet : packets) {
    if (merger.Append(packet)) {
      continue;
    }
    if (merger.holding()) {
      finish();
    }
    if (!merger.Start(packet)) {
      std::vector<uint8_t> alone(sizeof(OffloadHeader), 0);
      alone.insert(alone.end(), packet.begin(), packet.end());
      writes.push_back(alone);
    }
  }
  if (merger.holding()) {
    finish();
  }
  return writes;
}

}  // namespace larkspire::testing
