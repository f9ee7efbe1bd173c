#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace larkspire {

// The UDP relay datagrams shared by both ends: "LSU1", a type byte, then type-specific
// fields, all numbers big-endian. Pure functions: no I/O.

inline constexpr uint8_t kUdpMagic[4] = {'L', 'S', 'U', '1'};
inline constexpr uint8_t kUdpTypeProbe = 1;
inline constexpr uint8_t kUdpTypeProbeReply = 3;
inline constexpr uint8_t kUdpTypeData = 4;

inline constexpr size_t kUdpProbeReplySize = 14;
// Magic, type and the 8-byte channel identifier in front of every data packet.
inline constexpr size_t kUdpDataHeaderSize = 13;
// Largest datagram either side receives.
inline constexpr size_t kMaxUdpDatagram = 1400;
inline constexpr size_t kMaxUdpPacket = kMaxUdpDatagram - kUdpDataHeaderSize;

// Appends the trimmed text (at most 65535 bytes) as a 16-bit length and the bytes.
void WriteUdpString(std::vector<uint8_t>& datagram, const std::string& text);

// The edge's probe: magic, type 1, device number and device secret as UDP strings.
std::vector<uint8_t> BuildUdpProbe(const std::string& deviceNumber,
                                   const std::string& deviceSecret);

struct UdpProbe {
  std::string deviceNumber;
  std::string deviceSecret;
};
// Reads a probe; false when the bytes are not exactly one well-formed probe.
bool ParseUdpProbe(std::span<const uint8_t> datagram, UdpProbe& probe);

// Writes the 14-byte reply that grants `channelId` (not zero) at `out`.
void WriteUdpProbeReply(uint8_t* out, uint64_t channelId);
// The granted identifier; 0 when the datagram is not a valid reply.
uint64_t ParseUdpProbeReply(std::span<const uint8_t> datagram);

// Writes magic, type 4 and `channelId` into the kUdpDataHeaderSize bytes at `out`.
void WriteUdpDataHeader(uint8_t* out, uint64_t channelId);

struct UdpData {
  uint64_t channelId = 0;
  std::span<const uint8_t> packet;
};
// A data datagram of at most kMaxUdpDatagram bytes with a non-zero identifier and a
// packet of at least one byte; false otherwise. The packet points into `datagram`.
bool ParseUdpData(std::span<const uint8_t> datagram, UdpData& data);

}  // namespace larkspire
