#include "devhub/edge_connection.h"

#include <limits.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "relay/websocket_frame.h"

namespace larkspire {

EdgeConnection::EdgeConnection(UniqueFd socket, std::string deviceNumber, RelayCounters& counters)
    : socket_(std::move(socket)), deviceNumber_(std::move(deviceNumber)), counters_(counters) {}

bool EdgeConnection::SendUpgradeReply(const std::string& reply) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  upgraded_ = true;
  return SendLocked(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
}

bool EdgeConnection::SendLocked(const uint8_t* data, size_t size) {
  iovec part{const_cast<uint8_t*>(data), size};
  return SendVectorLocked(&part, 1);
}

bool EdgeConnection::SendVectorLocked(iovec* parts, size_t count) {
  if (!upgraded_ || closing_.load()) {
    return false;
  }
  while (count > 0) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = std::min<size_t>(count, IOV_MAX);
    ssize_t sent = ::sendmsg(socket_.get(), &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      // Part of a frame may be on the wire: nothing sent after it could be parsed.
      closing_.store(true);
      ::shutdown(socket_.get(), SHUT_RDWR);
      return false;
    }
    // Skip what went out; a part sent halfway continues where it stopped.
    size_t done = static_cast<size_t>(sent);
    while (count > 0 && done >= parts->iov_len) {
      done -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + done;
      parts->iov_len -= done;
    }
  }
  return true;
}

bool EdgeConnection::SendFrames(iovec* frames, size_t count) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  return SendVectorLocked(frames, count);
}

bool EdgeConnection::SendFrame(const uint8_t* frame, size_t size) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  return SendLocked(frame, size);
}

bool EdgeConnection::SendControl(uint8_t opcode, const uint8_t* payload, size_t size) {
  uint8_t frame[kMaxFrameHeaderSize + kMaxControlPayload];
  if (size > kMaxControlPayload) {
    return false;
  }
  size_t header = WriteFrameHeader(frame, kFinBit | opcode, size, nullptr);
  std::copy(payload, payload + size, frame + header);
  std::lock_guard<std::mutex> lock(sendMutex_);
  return SendLocked(frame, header + size);
}

void EdgeConnection::BeginClose(uint16_t code) {
  const uint8_t payload[2] = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
  uint8_t frame[4] = {kFinBit | kOpcodeClose, 2, payload[0], payload[1]};
  std::lock_guard<std::mutex> lock(sendMutex_);
  if (closing_.load()) {
    return;
  }
  SendLocked(frame, sizeof frame);
  closing_.store(true);
  // Our side is done; the reader keeps reading until the edge closes its end.
  ::shutdown(socket_.get(), SHUT_WR);
}

void EdgeConnection::Abort() {
  closing_.store(true);
  ::shutdown(socket_.get(), SHUT_RDWR);
}

}  // namespace larkspire
