#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "relay/packet_device.h"
#include "relay/segment_merger.h"

namespace larkspire {

// Writes packets from the Hub into the packet device. With offload headers (a TUN device
// opened that way) consecutive segments of one flow are held back and written together,
// which spares the kernel forwarding, filtering and translating each one; Flush must then
// be called whenever no further packet is at hand. Without them every packet is written at
// once. A merged write the device refuses is written again packet by packet, and that kind
// of run is no longer merged. One per reader thread.
class TunWriter {
 public:
  // Told after every write whether the device took it, and how many packets and bytes of
  // packets it carried.
  using Report = std::function<void(bool written, size_t packets, size_t bytes)>;
  // How a write reaches the device: writev(2), or a stand-in in tests.
  using DeviceWrite = ssize_t (*)(int fd, const iovec* parts, int count);

  TunWriter(PacketDevice device, Report report, DeviceWrite deviceWrite = ::writev);
  TunWriter(const TunWriter&) = delete;
  TunWriter& operator=(const TunWriter&) = delete;

  void Write(std::span<const uint8_t> packet);
  void Flush();

 private:
  // One write of `parts`; true when the device took all of it.
  bool WriteParts(iovec* parts, int count);
  // Writes and reports one write that carries `packets` packets of `bytes` bytes in all.
  bool WriteAndReport(iovec* parts, int count, size_t packets, size_t bytes);
  void WritePiecesOf(std::span<const uint8_t> merged, SegmentMerger::Kind kind);

  int deviceFd_;
  bool offloadHeader_;
  Report report_;
  DeviceWrite deviceWrite_;
  SegmentMerger merger_;
  std::vector<uint8_t> pieceBuffer_;  // only used once a merged write was refused
};

}  // namespace larkspire
