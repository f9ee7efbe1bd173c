#pragma once

// IPv4 TCP and UDP packets with correct checksums, for the tests of the offload paths.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "relay/byte_order.h"

namespace larkspire::testing {

struct Flow {
  uint32_t source = 0x0AFA0009;       // 10.250.0.9
  uint32_t destination = 0xC0A8320A;  // 192.168.50.10
  uint16_t sourcePort = 40000;
  uint16_t destinationPort = 5201;
  uint16_t fragmentField = 0x4000;  // "don't fragment"
};

inline void Store16(std::vector<uint8_t>& p, size_t at, uint64_t value) {
  StoreBigEndian(&p[at], value & 0xFFFF, 2);
}

// Ones' complement sum, kept apart from the relay's own, which these packets check.
inline uint32_t WordSum(const uint8_t* bytes, size_t size, uint32_t sum = 0) {
  for (size_t i = 0; i < size; ++i) {
    sum += i % 2 == 0 ? bytes[i] << 8 : bytes[i];
  }
  while (sum >> 16 != 0) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum;
}

inline uint32_t PseudoHeaderSum(const uint8_t* ip, size_t length) {
  const uint8_t rest[] = {0, ip[9], static_cast<uint8_t>(length >> 8),
                          static_cast<uint8_t>(length)};
  return WordSum(rest, sizeof rest, WordSum(ip + 12, 8));
}

inline void FixChecksums(std::vector<uint8_t>& p, size_t checksumAt) {
  Store16(p, 10, 0);
  Store16(p, checksumAt, 0);
  Store16(p, 10, ~WordSum(p.data(), 20));
  const size_t length = p.size() - 20;
  Store16(p, checksumAt, ~WordSum(p.data() + 20, length, PseudoHeaderSum(p.data(), length)));
}

// The IPv4 header and ports filled in; the caller adds the rest and the checksums.
inline std::vector<uint8_t> Ipv4Packet(const Flow& flow, uint8_t protocol, uint16_t id,
                                       size_t headers, size_t payloadSize, uint8_t seed) {
  std::vector<uint8_t> p(headers + payloadSize);
  for (size_t i = 0; i < payloadSize; ++i) {
    p[headers + i] = static_cast<uint8_t>(seed + i * 7);
  }
  p[0] = 0x45;
  p[8] = 63;  // time to live
  p[9] = protocol;
  Store16(p, 2, p.size());
  Store16(p, 4, id);
  Store16(p, 6, flow.fragmentField);
  StoreBigEndian(&p[12], flow.source, 4);
  StoreBigEndian(&p[16], flow.destination, 4);
  Store16(p, 20, flow.sourcePort);
  Store16(p, 22, flow.destinationPort);
  return p;
}

inline std::vector<uint8_t> TcpSegment(const Flow& flow, uint32_t sequence, size_t payloadSize,
                                       uint16_t id, uint8_t flags = 0x10,
                                       const std::vector<uint8_t>& options = {}) {
  const size_t tcpHeader = 20 + options.size();
  std::vector<uint8_t> p =
      Ipv4Packet(flow, 6, id, 20 + tcpHeader, payloadSize, static_cast<uint8_t>(sequence));
  StoreBigEndian(&p[24], sequence, 4);
  StoreBigEndian(&p[28], 777, 4);  // acknowledgement
  p[32] = static_cast<uint8_t>((tcpHeader / 4) << 4);
  p[33] = flags;
  Store16(p, 34, 502);
  std::copy(options.begin(), options.end(), p.begin() + 40);
  FixChecksums(p, 36);
  return p;
}

inline std::vector<uint8_t> UdpDatagram(const Flow& flow, size_t payloadSize, uint16_t id,
                                        uint8_t seed = 1) {
  std::vector<uint8_t> p = Ipv4Packet(flow, 17, id, 28, payloadSize, seed);
  Store16(p, 24, 8 + payloadSize);
  FixChecksums(p, 26);
  if (p[26] == 0 && p[27] == 0) {
    p[26] = p[27] = 0xFF;  // zero means "no checksum"; its ones' complement twin stands in
  }
  return p;
}

}  // namespace larkspire::testing
