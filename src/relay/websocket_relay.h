#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "relay/websocket_frame.h"

namespace larkspire {

// The WebSocket relay channel to the Hub (client side): one IP packet per binary message in
// both directions. The relay thread connects and sends data frames; the reader thread reads
// messages and answers pings. Whole frames are written under one send lock. The masking
// counter lives as long as the object, across reconnects.
class WebSocketRelay {
 public:
  WebSocketRelay() = default;
  WebSocketRelay(const WebSocketRelay&) = delete;
  WebSocketRelay& operator=(const WebSocketRelay&) = delete;
  ~WebSocketRelay() { Close(); }

  // Handshake; throws on failure, with the socket already closed.
  void Connect(const std::string& serverUrl, const std::string& deviceNumber,
               const std::string& deviceSecret);

  // Sends one packet (1 to 65535 bytes) as a masked binary frame. False when the channel is
  // down or the send failed; the channel is unusable after a failed send.
  bool SendPacket(const uint8_t* packet, size_t length);
  // The same without copying: `packet` must have kMaxFrameHeaderSize writable bytes in front
  // of it, where the header is written, and is masked in place (its bytes are spoiled).
  bool SendPacketInPlace(uint8_t* packet, size_t length);
  // Sends the packets, in order, as consecutive data frames with as few system calls as
  // possible; the frames and their keys are the same as from one SendPacketInPlace each.
  // Every packet needs the same headroom and is masked in place.
  bool SendPacketsInPlace(std::span<const std::span<uint8_t>> packets);

  // One complete, non-empty message; `message` points into the channel's receive buffer and
  // stays valid until the next call. False when the channel is down or broke, the Hub
  // closed it, or the program is stopping. `beforeWait`, when given, is called before every
  // receive that may wait for the Hub, so whatever the caller holds back can go out first.
  // Reader thread only.
  bool ReadMessage(std::span<const uint8_t>& message,
                   const std::function<void()>& beforeWait = nullptr);

  // Marks the channel down and wakes a reader blocked in a receive; the descriptor stays
  // open so no other thread can be handed its number while the reader still uses it.
  void Interrupt();
  // Interrupt plus closing the socket; safe at any time and when already closed.
  void Close();

  bool IsConnected() const { return connected_.load(); }

 private:
  bool SendFrameLocked(uint8_t* payload, size_t length);
  void SendPong(std::span<const uint8_t> payload);
  bool ReceiveFrame(FrameHeader& header, std::span<uint8_t>& payload,
                    const std::function<void()>& beforeWait);
  bool EnsureBuffered(size_t count, const std::function<void()>& beforeWait);
  void MarkBroken(const char* reason);

  int fd_ = -1;
  std::atomic<bool> connected_{false};
  uint32_t maskCounter_ = 0;
  std::mutex sendMutex_;
  // Frames are built here when the caller's packet has no headroom (send lock held).
  std::vector<uint8_t> sendBuffer_;
  // Filled by large receives; frames are parsed and unmasked where they lie.
  std::vector<uint8_t> receiveBuffer_;
  size_t receiveBegin_ = 0;
  size_t receiveEnd_ = 0;
  MessageAssembler assembler_;
};

}  // namespace larkspire
