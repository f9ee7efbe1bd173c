#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "relay/websocket_frame.h"

namespace larkspire {

// Reads the frames an edge sends out of one large receive buffer, so a burst of small
// frames costs one recv instead of several per frame. The caller receives straight into
// FreeSpace(), reports the count with Commit(), then calls Next() until it returns kNone.
// Payloads are unmasked in place and a single-frame message is handed out where it lies;
// it stays valid until the next call of Next(). One reader thread owns an instance.
class FrameStream {
 public:
  using Event = MessageAssembler::Event;

  // No IP packet is longer, so a larger frame from an edge is a protocol violation; it
  // also bounds the buffer, which always has room for one whole frame.
  static constexpr uint64_t kMaxFramePayload = kMaxAssembledMessage;

  explicit FrameStream(size_t capacity = 256 * 1024);

  uint8_t* FreeSpace() { return buffer_.data() + end_; }
  size_t FreeSize() const { return buffer_.size() - end_; }
  void Commit(size_t count) { end_ += count; }

  // kNone: nothing more is buffered, receive again. kMessage: message() holds one packet.
  // kPing: payload() is the ping's payload. kClose, kViolation: drop the connection.
  Event Next();

  std::span<const uint8_t> message() const { return assembler_.message(); }
  std::span<const uint8_t> payload() const { return payload_; }

 private:
  void Compact();

  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;  // first byte not parsed yet
  size_t end_ = 0;    // one past the last received byte
  MessageAssembler assembler_;
  std::span<const uint8_t> payload_;
};

}  // namespace larkspire
