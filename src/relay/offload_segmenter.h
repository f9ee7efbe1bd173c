#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "relay/segment_merger.h"

namespace larkspire {

// How one read from a TUN device with read offloads becomes the packets it stands for. The
// kernel may hand over a TCP (or, where it segments UDP, a UDP) super-packet of up to 64 KiB
// behind one set of headers, or a packet whose transport checksum it left unfinished; the Hub
// must only ever see ordinary, complete packets of at most the tunnel MTU. The pieces are cut
// as the kernel cuts them where a packet leaves a real interface: the first piece's headers
// on every piece with their own lengths, IPv4 identification counting up, TCP sequence
// numbers advancing, FIN and PSH kept for the last piece and CWR for the first only, and
// every checksum computed afresh.
//
// The header and the packet come from the kernel, but nothing in them is taken on trust:
// every length and offset is checked against the packet before a byte is read or written.
struct SegmentPlan {
  std::span<const uint8_t> packet;
  // Bytes at the front of every piece: IP header (with options or extension headers) and the
  // transport header.
  size_t headerLength = 0;
  size_t transportStart = 0;
  // Payload bytes of every piece but the last; 0 for a packet handed on whole.
  size_t segmentSize = 0;
  size_t count = 1;
  uint8_t protocol = 0;  // 6 (TCP) or 17 (UDP) when the transport was parsed
  bool ipv6 = false;
  // A packet handed on whole whose checksum is finished from the kernel's partial sum: the
  // checksum field holds the pseudo-header's sum and everything from `checksumStart` on is
  // added to it.
  bool finishPartialChecksum = false;
  size_t checksumStart = 0;
  size_t checksumField = 0;
};

// Checks a read and says how to cut it; nullopt when the header and the packet do not make
// sense together (no packet, a segment type that does not match it, lengths beyond it, UDP
// datagrams that would not fit `mtu`). A packet without a segment type is handed on as it is,
// its checksum finished when the kernel asked for that. TCP pieces are cut at `mtu` even
// where the kernel's segment size would exceed it; UDP datagrams keep their size.
std::optional<SegmentPlan> PlanSegments(const OffloadHeader& header,
                                        std::span<const uint8_t> packet, size_t mtu);

// Writes piece `index` (< plan.count) to `out`, which has room for the largest piece (the
// whole packet for a plan of one, else headerLength + segmentSize); returns its length.
size_t WriteSegment(const SegmentPlan& plan, size_t index, uint8_t* out);

}  // namespace larkspire
