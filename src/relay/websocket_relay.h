#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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

  // Handshake; throws on failure (the socket stays for the next Close).
  void Connect(const std::string& serverUrl, const std::string& deviceNumber,
               const std::string& deviceSecret);
  bool SendPacket(const uint8_t* packet, size_t length);
  // One complete message into `message`; false when the channel is down or stopping.
  bool ReadMessage(std::vector<uint8_t>& message);
  void Close();

  bool IsConnected() const { return connected_.load(); }

 private:
  int fd_ = -1;
  std::atomic<bool> connected_{false};
  uint32_t maskCounter_ = 0;
  std::mutex sendMutex_;
};

}  // namespace larkspire
