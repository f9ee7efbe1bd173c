#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "relay/websocket_frame.h"

namespace larkspire {

// Packets read one by one from a packet device and sent on together. Every packet is read
// straight into its own slot of one arena, with kMaxFrameHeaderSize bytes of room in front
// for its frame or datagram header, so a burst becomes a single vectored send: one system
// call instead of one per packet, and the kernel can carry many frames in one TCP segment.
// Owned by one thread.
class PacketBatch {
 public:
  static constexpr size_t kMaxPacket = 65535;
  // Bounds the frames of one send (well below IOV_MAX) and the bytes held back.
  static constexpr size_t kMaxPackets = 64;
  static constexpr size_t kTargetBytes = 64 * 1024;

  PacketBatch();
  PacketBatch(const PacketBatch&) = delete;
  PacketBatch& operator=(const PacketBatch&) = delete;

  // Where the next packet is read to: room for kMaxPacket bytes, with header room in front.
  // Stays valid until Add or Clear.
  uint8_t* NextSlot() { return arena_.data() + used_ + kMaxFrameHeaderSize; }
  // Which channel a packet is meant for.
  enum class Channel { kWebSocket, kUdp };
  // Keeps the first `length` bytes of NextSlot() as the batch's next packet.
  void Add(size_t length, Channel channel = Channel::kWebSocket);
  // Hands a packet of datagrams() over to the WebSocket frames, after the UDP channel could
  // not send it.
  void MoveToWebSocket(std::span<uint8_t> datagram) { packets_.push_back(datagram); }

  // No room is left for another packet of the largest size.
  bool full() const {
    return packets_.size() + datagrams_.size() == kMaxPackets ||
           used_ + kMaxFrameHeaderSize + kMaxPacket > arena_.size();
  }
  bool empty() const { return packets_.empty() && datagrams_.empty(); }
  // Each packet has kMaxFrameHeaderSize writable bytes in front of it. packets() are for
  // the WebSocket channel, datagrams() for the UDP channel, each in the order added.
  std::span<const std::span<uint8_t>> packets() const { return packets_; }
  std::span<const std::span<uint8_t>> datagrams() const { return datagrams_; }
  void Clear();

 private:
  std::vector<uint8_t> arena_;
  size_t used_ = 0;
  std::vector<std::span<uint8_t>> packets_;
  std::vector<std::span<uint8_t>> datagrams_;
};

}  // namespace larkspire
