#include "relay/packet_device.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "relay/segment_merger.h"
#include "util/logger.h"
#include "util/rate_limited_log.h"

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

namespace {

constexpr size_t kMaxOffloadedRead = 65535;

std::atomic<uint64_t> g_droppedReads{0};
RateLimitedLog g_droppedReadLog;

}  // namespace

OffloadedReader::OffloadedReader(size_t mtu)
    : mtu_(mtu), buffer_(sizeof(OffloadHeader) + kMaxOffloadedRead) {}

ssize_t OffloadedReader::Read(int fd) {
  pieces_ = 0;
  const ssize_t n = ::read(fd, buffer_.data(), buffer_.size());
  if (n <= 0) {
    return n;
  }
  if (static_cast<size_t>(n) < sizeof(OffloadHeader)) {
    return 0;  // no packet: an empty read, as ReadPacket reports it
  }
  OffloadHeader header;
  std::memcpy(&header, buffer_.data(), sizeof header);
  const std::optional<SegmentPlan> plan = PlanSegments(
      header, {buffer_.data() + sizeof header, static_cast<size_t>(n) - sizeof header}, mtu_);
  if (!plan) {
    const uint64_t dropped = g_droppedReads.fetch_add(1, std::memory_order_relaxed) + 1;
    g_droppedReadLog.Warn("Dropped a TUN read whose offload header does not fit its packet (" +
                          std::to_string(dropped) + " so far).");
    return n;
  }
  plan_ = *plan;
  pieces_ = plan_.count;
  return n;
}

}  // namespace larkspire
