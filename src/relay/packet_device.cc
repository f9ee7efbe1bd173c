#include "relay/packet_device.h"

#include <sys/uio.h>
#include <unistd.h>

#include "relay/segment_merger.h"

namespace larkspire {

ssize_t ReadPacket(PacketDevice device, uint8_t* slot, size_t size) {
  if (!device.offloadHeader) {
    return ::read(device.fd, slot, size);
  }
  OffloadHeader header;
  iovec parts[2] = {{&header, sizeof header}, {slot, size}};
  const ssize_t n = ::readv(device.fd, parts, 2);
  if (n < 0) {
    return n;
  }
  // A read shorter than the header carries no packet: an empty read.
  return n >= static_cast<ssize_t>(sizeof header) ? n - static_cast<ssize_t>(sizeof header) : 0;
}

}  // namespace larkspire
