#include "relay/packet_batch.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace larkspire {

PacketBatch::PacketBatch() : arena_(kTargetBytes + kMaxFrameHeaderSize + kMaxPacket) {
  packets_.reserve(kMaxPackets);
}

void PacketBatch::Add(size_t length) {
  packets_.emplace_back(NextSlot(), length);
  used_ += kMaxFrameHeaderSize + length;
}

void PacketBatch::Clear(size_t pendingLength) {
  uint8_t* pending = NextSlot();
  packets_.clear();
  used_ = 0;
  if (pendingLength > 0 && pending != NextSlot()) {
    std::memmove(NextSlot(), pending, pendingLength);
  }
}

bool SendAllVectored(int fd, iovec* buffers, size_t count) {
  while (count > 0) {
    msghdr message{};
    message.msg_iov = buffers;
    message.msg_iovlen = count;
    ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    // Skip what went out: whole buffers first, then the front of a partly sent one.
    auto left = static_cast<size_t>(sent);
    while (count > 0 && left >= buffers->iov_len) {
      left -= buffers->iov_len;
      ++buffers;
      --count;
    }
    if (count > 0) {
      buffers->iov_base = static_cast<uint8_t*>(buffers->iov_base) + left;
      buffers->iov_len -= left;
    }
  }
  return true;
}

}  // namespace larkspire
