#include "relay/tun_writer.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "util/logger.h"

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

TunWriter::TunWriter(PacketDevice device, Report report, DeviceWrite deviceWrite)
    : deviceFd_(device.fd),
      offloadHeader_(device.offloadHeader),
      report_(std::move(report)),
      deviceWrite_(deviceWrite) {
  if (!device.udpSegmentation) {
    merger_.Refuse(SegmentMerger::Kind::kUdp);
  }
}

void TunWriter::Write(std::span<const uint8_t> packet) {
  if (!offloadHeader_) {
    iovec part = Part(packet.data(), packet.size());
    WriteAndReport(&part, 1, 1, packet.size());
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
    WriteAndReport(parts, 2, 1, packet.size());
  }
}

void TunWriter::Flush() {
  if (!merger_.holding()) {
    return;
  }
  const size_t packets = merger_.segments();
  const size_t bytes = merger_.packetBytes();
  const SegmentMerger::Kind kind = merger_.kind();
  const std::span<const uint8_t> merged = merger_.Finish();
  iovec part = Part(merged.data(), merged.size());
  if (packets == 1) {
    WriteAndReport(&part, 1, packets, bytes);
  } else if (WriteParts(&part, 1)) {
    report_(true, packets, bytes);
  } else {
    WritePiecesOf(merged, kind);
  }
}

// A kernel may refuse a kind of merged write it does not know although it took the offload
// headers (or a device refuses for other reasons). Either way the packets still go out one by
// one; when they all do, it was the merging the device refused, and it is not tried again.
void TunWriter::WritePiecesOf(std::span<const uint8_t> merged, SegmentMerger::Kind kind) {
  bool allWritten = true;
  SplitMergedWrite(merged, pieceBuffer_, [&](std::span<const uint8_t> piece) {
    iovec part = Part(piece.data(), piece.size());
    allWritten &= WriteAndReport(&part, 1, 1, piece.size() - sizeof(OffloadHeader));
  });
  if (allWritten) {
    merger_.Refuse(kind);
    g_log.Write("WARN", std::string("The TUN device refused a merged write; ") +
                            (kind == SegmentMerger::Kind::kTcp ? "TCP segments" : "UDP datagrams") +
                            " are written one by one from now on.");
  }
}

bool TunWriter::WriteAndReport(iovec* parts, int count, size_t packets, size_t bytes) {
  const bool written = WriteParts(parts, count);
  report_(written, packets, bytes);
  return written;
}

// The device takes a whole packet per write or none. The relay keeps the shared descriptor
// non-blocking, so a device that pushes back (a socket standing in for the TUN device does;
// the TUN device itself does not) is waited for, briefly.
bool TunWriter::WriteParts(iovec* parts, int count) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    total += parts[i].iov_len;
  }
  ssize_t written;
  do {
    written = deviceWrite_(deviceFd_, parts, count);
  } while (written < 0 && (errno == EINTR || (errno == EAGAIN && WaitUntilWritable(deviceFd_))));
  return written == static_cast<ssize_t>(total);
}

}  // namespace larkspire
