#include "devhub/edge_connection.h"

#include <sys/socket.h>

#include "relay/websocket_frame.h"
#include "util/socket_io.h"

namespace larkspire {

EdgeConnection::EdgeConnection(UniqueFd socket, std::string deviceNumber,
                               RelayCounters& counters)
    : socket_(std::move(socket)), deviceNumber_(std::move(deviceNumber)), counters_(counters) {}

bool EdgeConnection::SendUpgradeReply(const std::string& reply) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  upgraded_ = true;
  return SendLocked(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
}

bool EdgeConnection::SendLocked(const uint8_t* data, size_t size) {
  if (!upgraded_ || closing_.load()) {
    return false;
  }
  if (!SendAll(socket_.get(), data, size)) {
    // Part of a frame may be on the wire: nothing sent after it could be parsed.
    closing_.store(true);
    ::shutdown(socket_.get(), SHUT_RDWR);
    return false;
  }
  return true;
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
