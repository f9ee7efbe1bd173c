#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace larkspire {

// A descriptor packets are read from and written to whole: a TUN device, or in tests any
// packet-preserving descriptor such as one end of a SOCK_SEQPACKET socket pair.
struct PacketDevice {
  // Implicit: a plain descriptor is a device without offload headers.
  PacketDevice(int fd, bool offloadHeader = false, bool udpSegmentation = false)
      : fd(fd), offloadHeader(offloadHeader), udpSegmentation(udpSegmentation) {}
  int fd;
  // Every packet read or written carries an OffloadHeader in front (see TunDevice).
  bool offloadHeader;
  // The device also takes runs of UDP datagrams merged into one write (TCP runs it takes
  // whenever it takes offload headers).
  bool udpSegmentation;
};

// Reads one packet into `slot` (`size` bytes of room), as read(2) does. An offload header
// is read apart and dropped: the device is never asked for offloads, so what it hands over
// is always a plain, complete packet.
ssize_t ReadPacket(PacketDevice device, uint8_t* slot, size_t size);

}  // namespace larkspire
