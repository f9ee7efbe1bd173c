#pragma once

// IPv4 TCP and UDP packets with correct checksums, for the tests of the packet merging.

#include <cstddef>
#include <cstdint>
#include <string>
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

inline void Store32(std::vector<uint8_t>& p, size_t at, uint32_t v) {
  Store16(p, at, v >> 16);
  Store16(p, at + 2, v);
}

inline void FillIpv4Header(std::vector<uint8_t>& p, const Flow& flow, uint8_t protocol,
                           uint16_t id) {
  p[0] = 0x45;
  Store16(p, 2, static_cast<uint32_t>(p.size()));
  Store16(p, 4, id);
  Store16(p, 6, flow.fragmentField);
  p[8] = flow.ttl;
  p[9] = protocol;
  Store32(p, 12, flow.source);
  Store32(p, 16, flow.destination);
  FixIpChecksum(p);
}

inline std::vector<uint8_t> Payload(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(seed + i * 7);
  }
  return bytes;
}

// A TCP segment; `options` (a multiple of 4 bytes) follow the 20-byte TCP header.
inline std::vector<uint8_t> TcpSegment(const Flow& flow, uint32_t sequence, size_t payloadSize,
                                       uint16_t id, uint8_t flags = 0x10,
                                       const std::vector<uint8_t>& options = {},
                                       uint32_t ack = 777) {
  const size_t tcpHeader = 20 + options.size();
  std::vector<uint8_t> p(20 + tcpHeader + payloadSize);
  Store16(p, 20, flow.sourcePort);
  Store16(p, 22, flow.destinationPort);
  Store32(p, 24, sequence);
  Store32(p, 28, ack);
  p[32] = static_cast<uint8_t>((tcpHeader / 4) << 4);
  p[33] = flags;
  Store16(p, 34, 502);
  std::copy(options.begin(), options.end(), p.begin() + 40);
  const std::vector<uint8_t> payload = Payload(payloadSize, static_cast<uint8_t>(sequence));
  std::copy(payload.begin(), payload.end(), p.begin() + 20 + static_cast<long>(tcpHeader));
  FillIpv4Header(p, flow, 6, id);
  FixTransportChecksum(p, 36);
  return p;
}

inline std::vector<uint8_t> UdpDatagram(const Flow& flow, size_t payloadSize, uint16_t id,
                                        uint8_t seed = 1) {
  std::vector<uint8_t> p(28 + payloadSize);
  Store16(p, 20, flow.sourcePort);
  Store16(p, 22, flow.destinationPort);
  Store16(p, 24, static_cast<uint32_t>(8 + payloadSize));
  const std::vector<uint8_t> payload = Payload(payloadSize, seed);
  std::copy(payload.begin(), payload.end(), p.begin() + 28);
  FillIpv4Header(p, flow, 17, id);
  FixTransportChecksum(p, 26);
  if (p[26] == 0 && p[27] == 0) {
    p[26] = p[27] = 0xFF;  // zero means "no checksum"; its ones' complement twin stands in
  }
  return p;
}

}  // namespace larkspire::testing
