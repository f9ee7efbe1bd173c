#pragma once

// IPv4 TCP and UDP packets with correct checksums, for the tests of the packet merging.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/support/kernel_segmenter.h"

namespace larkspire::testing {

struct Flow {
  uint32_t source = 0x0AFA0009;       // 10.250.0.9
  uint32_t destination = 0xC0A8320A;  // 192.168.50.10
  uint16_t sourcePort = 40000;
  uint16_t destinationPort = 5201;
  uint8_t ttl = 63;
  uint16_t fragmentField = 0x4000;  // "don't fragment"
};

// A packet of `headers` header bytes and a payload made from `seed`, with the IPv4 header
// and the ports filled in; the caller adds the rest of the transport header.
inline std::vector<uint8_t> Ipv4Packet(const Flow& flow, uint8_t protocol, uint16_t id,
                                       size_t headers, size_t payloadSize, uint8_t seed) {
  std::vector<uint8_t> p(headers + payloadSize);
  for (size_t i = 0; i < payloadSize; ++i) {
    p[headers + i] = static_cast<uint8_t>(seed + i * 7);
  }
  p[0] = 0x45;
  Store16(p, 2, static_cast<uint32_t>(p.size()));
  Store16(p, 4, id);
  Store16(p, 6, flow.fragmentField);
  p[8] = flow.ttl;
  p[9] = protocol;
  Store16(p, 12, flow.source >> 16);
  Store16(p, 14, flow.source);
  Store16(p, 16, flow.destination >> 16);
  Store16(p, 18, flow.destination);
  Store16(p, 20, flow.sourcePort);
  Store16(p, 22, flow.destinationPort);
  FixIpChecksum(p);
  return p;
}

// A TCP segment; `options` (a multiple of 4 bytes) follow the 20-byte TCP header.
inline std::vector<uint8_t> TcpSegment(const Flow& flow, uint32_t sequence, size_t payloadSize,
                                       uint16_t id, uint8_t flags = 0x10,
                                       const std::vector<uint8_t>& options = {},
                                       uint32_t ack = 777) {
  const size_t tcpHeader = 20 + options.size();
  std::vector<uint8_t> p =
      Ipv4Packet(flow, 6, id, 20 + tcpHeader, payloadSize, static_cast<uint8_t>(sequence));
  Store16(p, 24, sequence >> 16);
  Store16(p, 26, sequence);
  Store16(p, 28, ack >> 16);
  Store16(p, 30, ack);
  p[32] = static_cast<uint8_t>((tcpHeader / 4) << 4);
  p[33] = flags;
  Store16(p, 34, 502);
  std::copy(options.begin(), options.end(), p.begin() + 40);
  FixTransportChecksum(p, 36);
  return p;
}

inline std::vector<uint8_t> UdpDatagram(const Flow& flow, size_t payloadSize, uint16_t id,
                                        uint8_t seed = 1) {
  std::vector<uint8_t> p = Ipv4Packet(flow, 17, id, 28, payloadSize, seed);
  Store16(p, 24, static_cast<uint32_t>(8 + payloadSize));
  FixTransportChecksum(p, 26);
  if (p[26] == 0 && p[27] == 0) {
    p[26] = p[27] = 0xFF;  // zero means "no checksum"; its ones' complement twin stands in
  }
  return p;
}

}  // namespace larkspire::testing
