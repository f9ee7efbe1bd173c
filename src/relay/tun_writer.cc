#include "relay/tun_writer.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace larkspire {
namespace {

constexpr int kWritableWaitMilliseconds = 1000;

// True when the device can take a write again soon.
bool WaitUntilWritable(int deviceFd) {
  pollfd wait{deviceFd, POLLOUT, 0};
  return ::poll(&wait, 1, kWritableWaitMilliseconds) > 0 && (wait.revents & POLLOUT) != 0;
}

iovec Part(const void* data, size_t size) {
  return {const_cast<void*>(data), size};
}

}  // namespace

void TunWriter::Write(std::span<const uint8_t> packet) {
  if (!offloadHeader_) {
    iovec part = Part(packet.data(), packet.size());
    WriteParts(&part, 1, 1, packet.size());
    return;
  }
  if (merger_.Append(packet)) {
    return;
  }
  Flush();
  if (!merger_.Start(packet)) {
    // An all-zero offload header: a plain packet whose checksums are already in place.
    const OffloadHeader none{};
    iovec parts[2] = {Part(&none, sizeof none), Part(packet.data(), packet.size())};
    WriteParts(parts, 2, 1, packet.size());
  }
}

void TunWriter::Flush() {
  if (merger_.holding()) {
    const size_t packets = merger_.segments();
    const size_t bytes = merger_.packetBytes();
    const std::span<const uint8_t> merged = merger_.Finish();
    iovec part = Part(merged.data(), merged.size());
    WriteParts(&part, 1, packets, bytes);
  }
}

// The device takes a whole packet per write or none. The relay keeps the shared descriptor
// non-blocking, so a device that pushes back (a socket standing in for the TUN device does;
// the TUN device itself does not) is waited for, briefly.
void TunWriter::WriteParts(iovec* parts, int count, size_t packets, size_t bytes) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    total += parts[i].iov_len;
  }
  ssize_t written;
  do {
    written = ::writev(deviceFd_, parts, count);
  } while (written < 0 && (errno == EINTR || (errno == EAGAIN && WaitUntilWritable(deviceFd_))));
  report_(written == static_cast<ssize_t>(total), packets, bytes);
}

}  // namespace larkspire
