#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

#include "relay/segment_merger.h"

namespace larkspire {

// Writes packets from the Hub into the packet device. With offload headers (a TUN device
// opened that way) consecutive segments of one flow are held back and written together,
// which spares the kernel forwarding, filtering and translating each one; Flush must then
// be called whenever no further packet is at hand. Without them every packet is written at
// once. One per reader thread.
class TunWriter {
 public:
  // Told after every write whether the device took it, and how many packets and bytes of
  // packets it carried.
  using Report = std::function<void(bool written, size_t packets, size_t bytes)>;

  TunWriter(int deviceFd, bool offloadHeader, Report report)
      : deviceFd_(deviceFd), offloadHeader_(offloadHeader), report_(std::move(report)) {}
  TunWriter(const TunWriter&) = delete;
  TunWriter& operator=(const TunWriter&) = delete;

  void Write(std::span<const uint8_t> packet);
  void Flush();

 private:
  // One write of `parts` that carries `packets` packets of `bytes` bytes in all.
  void WriteParts(iovec* parts, int count, size_t packets, size_t bytes);

  int deviceFd_;
  bool offloadHeader_;
  Report report_;
  SegmentMerger merger_;
};

}  // namespace larkspire
