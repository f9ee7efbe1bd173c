#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "relay/offload_segmenter.h"

namespace larkspire {

// A descriptor packets are read from and written to whole: a TUN device, or in tests any
// packet-preserving descriptor such as one end of a SOCK_SEQPACKET socket pair.
struct PacketDevice {
  // Implicit: a plain descriptor is a device without offload headers.
  PacketDevice(int fd, bool offloadHeader = false, bool udpSegmentation = false,
               bool readOffload = false)
      : fd(fd),
        offloadHeader(offloadHeader),
        udpSegmentation(udpSegmentation),
        readOffload(readOffload) {}
  int fd;
  // Every packet read or written carries an OffloadHeader in front (see TunDevice).
  bool offloadHeader;
  // The device also takes runs of UDP datagrams merged into one write (TCP runs it takes
  // whenever it takes offload headers).
  bool udpSegmentation;
  // Reads may bring TCP super-packets (and UDP ones where the device segments UDP) or
  // packets with an unfinished checksum; OffloadedReader turns them into plain packets.
  bool readOffload;
};

// Reads one packet into `slot` (`size` bytes of room), as read(2) does, from a device
// without read offloads. An offload header is read apart and dropped: such a device only
// ever hands over plain, complete packets.
ssize_t ReadPacket(PacketDevice device, uint8_t* slot, size_t size);

// Reads a device with read offloads: one read brings up to 64 KiB, which is cut into plain
// packets of at most the tunnel MTU. A read whose offload header does not fit its packet is
// dropped, counted and reported with a WARN (at most one a minute). Owned by one thread.
class OffloadedReader {
 public:
  explicit OffloadedReader(size_t mtu);
  OffloadedReader(const OffloadedReader&) = delete;
  OffloadedReader& operator=(const OffloadedReader&) = delete;

  // One read from `fd`, as read(2): the bytes read, 0 or -1 with errno. After a positive
  // result, pieces() packets are ready (none when the read was dropped).
  ssize_t Read(int fd);
  size_t pieces() const { return pieces_; }
  // Writes packet `index` of the last read to `out`, which has room for 65535 bytes;
  // returns its length.
  size_t WritePiece(size_t index, uint8_t* out) const { return WriteSegment(plan_, index, out); }

 private:
  size_t mtu_;
  std::vector<uint8_t> buffer_;
  SegmentPlan plan_;
  size_t pieces_ = 0;
};

}  // namespace larkspire
