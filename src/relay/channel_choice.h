#pragma once

#include <cstddef>
#include <cstdint>

namespace larkspire {

// Small IPv4 UDP packets may take the UDP channel; everything else (IPv6, TCP, ICMP, large
// datagrams, truncated headers) goes over the WebSocket channel. Both ends apply the same
// rule so a flow keeps to one channel in each direction.
inline constexpr size_t kMinUdpChannelPacket = 20;
inline constexpr size_t kMaxUdpChannelPacket = 1350;

inline bool QualifiesForUdpChannel(const uint8_t* packet, size_t length) {
  constexpr uint8_t kIpProtocolUdp = 17;
  return length >= kMinUdpChannelPacket && length <= kMaxUdpChannelPacket &&
         (packet[0] >> 4) == 4 && packet[9] == kIpProtocolUdp;
}

}  // namespace larkspire
