#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "relay/segment_merger.h"

namespace larkspire {

// Writes packets from the Hub into the packet device. With offload headers (a TUN device
// opened that way) consecutive segments of one flow are held back and written together,
// which spares the kernel forwarding, filtering and translating each one; Flush must then
// be called whenever no further packet is at hand. Without them every packet is written at
// once. One per reader thread.
class TunWriter {
 public:
  // `failureWarning` is logged for a packet the device refused.
  TunWriter(int deviceFd, bool offloadHeader, const char* failureWarning)
      : deviceFd_(deviceFd), offloadHeader_(offloadHeader), failureWarning_(failureWarning) {}
  TunWriter(const TunWriter&) = delete;
  TunWriter& operator=(const TunWriter&) = delete;

  void Write(std::span<const uint8_t> packet);
  void Flush();

 private:
  // One write of `parts` that carries `packets` packets.
  void WriteParts(iovec* parts, int count, size_t packets);

  int deviceFd_;
  bool offloadHeader_;
  const char* failureWarning_;
  SegmentMerger merger_;
};

}  // namespace larkspire
