#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "hub/byte_stream.h"
#include "hub/tls_session.h"
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

  // Handshake over plain TCP, or TLS verified against `trust` for an https or wss URL;
  // throws on failure, with the connection already closed.
  void Connect(const std::string& serverUrl, const std::string& deviceNumber,
               const std::string& deviceSecret, const HubTrust& trust = {});

  // Sends the packets, in order, as consecutive masked binary frames with as few system calls
  // as possible; each takes the next masking key. Every packet must have kMaxFrameHeaderSize
  // writable bytes in front of it, where its header is written, and is masked in place (its
  // bytes are spoiled). False when the channel is down or the send failed; the channel is
  // unusable after a failed send.
  bool SendPacketsInPlace(std::span<const std::span<uint8_t>> packets);

  // One complete, non-empty message; `message` points into the channel's receive buffer and
  // stays valid until the next call. False when the channel is down or broke, the Hub
  // closed it, or the program is stopping. `beforeWait`, when given, is called before every
  // receive that would wait for the Hub, so whatever the caller holds back can go out first
  // (and may keep growing while more is already at hand). Reader thread only.
  bool ReadMessage(std::span<const uint8_t>& message,
                   const std::function<void()>& beforeWait = nullptr);

  // Marks the channel down and wakes a reader blocked in a receive; the connection stays
  // open so no other thread can be handed its descriptor while the reader still uses it.
  void Interrupt();
  // Interrupt plus closing the connection; safe at any time and when already closed.
  void Close();

  bool IsConnected() const { return connected_.load(); }

 private:
  SendOutcome SendFramesLocked(iovec* frames, size_t count);
  void SendPong(std::span<const uint8_t> payload);
  bool ReceiveFrame(FrameHeader& header, std::span<uint8_t>& payload,
                    const std::function<void()>& beforeWait);
  bool EnsureBuffered(size_t count, const std::function<void()>& beforeWait);
  void MarkBroken(const char* reason);

  std::unique_ptr<ByteStream> stream_;  // null when closed
  std::atomic<bool> connected_{false};
  uint32_t maskCounter_ = 0;
  std::mutex sendMutex_;
  // Filled by large receives; frames are parsed and unmasked where they lie.
  std::vector<uint8_t> receiveBuffer_;
  size_t receiveBegin_ = 0;
  size_t receiveEnd_ = 0;
  MessageAssembler assembler_;
};

}  // namespace larkspire
