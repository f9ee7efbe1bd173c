#pragma once

#include <cstddef>
#include <cstdint>

namespace larkspire {

// Field values shared by the code that cuts offloaded reads and the code that merges writes.
// The virtio-net header's values are spelled here because linux/virtio_net.h does not
// compile as C++.
inline constexpr uint8_t kVirtioNeedsChecksum = 1;
inline constexpr uint8_t kVirtioGsoNone = 0;
inline constexpr uint8_t kVirtioGsoTcpV4 = 1;
inline constexpr uint8_t kVirtioGsoTcpV6 = 4;
inline constexpr uint8_t kVirtioGsoUdpL4 = 5;
inline constexpr uint8_t kVirtioGsoEcn = 0x80;

inline constexpr uint8_t kProtocolTcp = 6;
inline constexpr uint8_t kProtocolUdp = 17;
inline constexpr size_t kUdpHeaderLength = 8;
inline constexpr size_t kTcpChecksumOffset = 16;
inline constexpr size_t kUdpChecksumOffset = 6;
inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpPush = 0x08;
inline constexpr uint8_t kTcpAck = 0x10;
inline constexpr uint8_t kTcpCwr = 0x80;

}  // namespace larkspire
