#include "devhub/edge_connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "relay/websocket_frame.h"

namespace larkspire {

namespace {

// An edge that takes nothing for this long no longer holds up the packet device reader.
constexpr std::chrono::seconds kSendStallLimit{5};

}  // namespace

EdgeConnection::EdgeConnection(std::shared_ptr<ByteStream> stream, std::string deviceNumber,
                               RelayCounters& counters)
    : stream_(std::move(stream)), deviceNumber_(std::move(deviceNumber)), counters_(counters) {}

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
  if (stream_->Send(parts, count, kSendStallLimit) != SendOutcome::kSent) {
    // Part of a frame may be on the wire: nothing sent after it could be parsed.
    closing_.store(true);
    ::shutdown(stream_->fd(), SHUT_RDWR);
    return false;
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
  ::shutdown(stream_->fd(), SHUT_WR);
}

void EdgeConnection::Abort() {
  closing_.store(true);
  ::shutdown(stream_->fd(), SHUT_RDWR);
}

}  // namespace larkspire
