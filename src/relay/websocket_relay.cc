#include "relay/websocket_relay.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "hub/http_reader.h"
#include "hub/tcp.h"
#include "hub/url.h"
#include "relay/packet_batch.h"
#include "relay/stall_aware_send.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "util/socket_io.h"
#include "util/text.h"

namespace larkspire {
namespace {

// Large enough that one receive usually brings many frames at full speed.
constexpr size_t kReceiveBufferBytes = 256 * 1024;
constexpr size_t kMaxSendPacket = 65535;
// A Hub that has taken no byte of a frame for this long is treated as gone: TCP alone would
// keep such a connection open for as long as the Hub's kernel acknowledges it.
constexpr std::chrono::seconds kSendStallLimit{10};

std::string UpgradeRequest(const ParsedUrl& url, const std::string& deviceNumber,
                           const std::string& deviceSecret) {
  std::string host = url.host;
  if (url.port != 80) {
    host += ":" + std::to_string(url.port);
  }
  return "GET /api/relay/edge/" + UrlEncode(deviceNumber) + "?secret=" + UrlEncode(deviceSecret) +
         " HTTP/1.1\r\n" + "Host: " + host + "\r\n" + "Upgrade: websocket\r\n" +
         "Connection: Upgrade\r\n" +
         // A fixed key: the Hub's accept value is not checked, so a nonce buys nothing.
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" + "Sec-WebSocket-Version: 13\r\n\r\n";
}

}  // namespace

void WebSocketRelay::Connect(const std::string& serverUrl, const std::string& deviceNumber,
                             const std::string& deviceSecret) {
  Close();
  const ParsedUrl url = ParseUrl(NormalizeServerUrl(serverUrl));
  if (url.scheme == "https" || url.scheme == "wss") {
    throw std::runtime_error(
        "wss/https relay is not supported by this first Linux Edge build; use an http Hub "
        "URL.");
  }
  fd_ = ConnectTcp(url.host, url.port);
  try {
    SetIntOption(fd_, IPPROTO_TCP, TCP_NODELAY, 1);
    SetIntOption(fd_, IPPROTO_TCP, TCP_QUICKACK, 1);
    SetSocketBuffers(fd_);
    const std::string request = UpgradeRequest(url, deviceNumber, deviceSecret);
    if (!SendAll(fd_, request.data(), request.size())) {
      throw std::runtime_error("WebSocket handshake send failed.");
    }
    // The headers are read byte by byte, so the first frame stays on the socket.
    const int status = ParseHttpStatus(ReadHttpHeaders(fd_));
    if (status != 101) {
      throw std::runtime_error("WebSocket upgrade failed, status " + std::to_string(status));
    }
  } catch (...) {
    Close();
    throw;
  }
  // From here on the Hub may stay silent for as long as it likes.
  SetTimeout(fd_, SO_RCVTIMEO, {});
  SetTimeout(fd_, SO_SNDTIMEO, {});
  receiveBuffer_.resize(kReceiveBufferBytes);
  receiveBegin_ = receiveEnd_ = 0;
  assembler_.Reset();
  connected_ = true;
  g_log.Write("INFO", "WebSocket relay connected.");
}

bool WebSocketRelay::SendPacket(const uint8_t* packet, size_t length) {
  std::lock_guard lock(sendMutex_);
  if (!connected_ || length > kMaxSendPacket) {
    return false;
  }
  if (sendBuffer_.empty()) {
    sendBuffer_.resize(kMaxFrameHeaderSize + kMaxSendPacket);
  }
  uint8_t* payload = sendBuffer_.data() + kMaxFrameHeaderSize;
  std::memcpy(payload, packet, length);
  return SendFrameLocked(payload, length);
}

bool WebSocketRelay::SendPacketInPlace(uint8_t* packet, size_t length) {
  std::lock_guard lock(sendMutex_);
  if (!connected_) {
    return false;
  }
  return SendFrameLocked(packet, length);
}

bool WebSocketRelay::SendPacketsInPlace(std::span<const std::span<uint8_t>> packets) {
  constexpr size_t kFramesPerSend = PacketBatch::kMaxPackets;
  iovec frames[kFramesPerSend];
  std::lock_guard lock(sendMutex_);
  if (!connected_) {
    return false;
  }
  while (!packets.empty()) {
    const size_t count = std::min(packets.size(), kFramesPerSend);
    for (size_t i = 0; i < count; ++i) {
      // Keys are drawn in frame order under the lock, exactly as one send per frame would.
      const MaskKey key = MaskKeyFor(++maskCounter_, kDataMaskMultiplier);
      uint8_t* payload = packets[i].data();
      uint8_t* frame = BuildFrameInPlace(payload, packets[i].size(), kFinBit | kOpcodeBinary, &key);
      frames[i] = {frame, static_cast<size_t>(payload - frame) + packets[i].size()};
    }
    const SendOutcome outcome = SendAllUnlessStalled(fd_, frames, count, kSendStallLimit);
    if (outcome == SendOutcome::kStalled) {
      MarkBroken("the Hub stopped reading");
    }
    if (outcome != SendOutcome::kSent) {
      return false;
    }
    packets = packets.subspan(count);
  }
  return true;
}

bool WebSocketRelay::SendFrameLocked(uint8_t* payload, size_t length) {
  const MaskKey key = MaskKeyFor(++maskCounter_, kDataMaskMultiplier);
  const uint8_t* frame = BuildFrameInPlace(payload, length, kFinBit | kOpcodeBinary, &key);
  const SendOutcome outcome = SendAllUnlessStalled(
      fd_, frame, static_cast<size_t>(payload - frame) + length, kSendStallLimit);
  if (outcome == SendOutcome::kStalled) {
    MarkBroken("the Hub stopped reading");
  }
  return outcome == SendOutcome::kSent;
}

void WebSocketRelay::SendPong(std::span<const uint8_t> payload) {
  uint8_t buffer[kMaxFrameHeaderSize + kMaxControlPayload];
  uint8_t* body = buffer + kMaxFrameHeaderSize;
  std::memcpy(body, payload.data(), payload.size());
  std::lock_guard lock(sendMutex_);
  const MaskKey key = MaskKeyFor(++maskCounter_, kPongMaskMultiplier);
  const uint8_t* frame = BuildFrameInPlace(body, payload.size(), kFinBit | kOpcodePong, &key);
  // A lost pong is not worth a reconnect; a dead socket shows up on the next receive.
  const SendOutcome outcome = SendAllUnlessStalled(
      fd_, frame, static_cast<size_t>(body - frame) + payload.size(), kSendStallLimit);
  if (outcome == SendOutcome::kStalled) {
    MarkBroken("the Hub stopped reading");
  }
}

bool WebSocketRelay::ReadMessage(std::span<const uint8_t>& message) {
  while (g_running.load() && connected_.load()) {
    FrameHeader header;
    std::span<uint8_t> payload;
    if (!ReceiveFrame(header, payload)) {
      return false;
    }
    if (header.masked) {
      ApplyMask(payload.data(), payload.size(), header.key);
    }
    switch (assembler_.OnFrame(header, payload)) {
      case MessageAssembler::Event::kMessage:
        message = assembler_.message();
        return true;
      case MessageAssembler::Event::kPing:
        SendPong(payload);
        break;
      case MessageAssembler::Event::kClose:
        connected_ = false;
        g_log.Write("INFO", "WebSocket relay closed by the Hub.");
        return false;
      case MessageAssembler::Event::kViolation:
        MarkBroken("protocol error");
        return false;
      case MessageAssembler::Event::kNone:
        break;
    }
  }
  return false;
}

bool WebSocketRelay::HasBufferedFrame() const {
  const std::span<const uint8_t> buffered(receiveBuffer_.data() + receiveBegin_,
                                          receiveEnd_ - receiveBegin_);
  FrameHeader header;
  return ParseFrameHeader(buffered, header) &&
         buffered.size() - header.headerSize >= header.payloadLength;
}

bool WebSocketRelay::ReceiveFrame(FrameHeader& header, std::span<uint8_t>& payload) {
  size_t wanted = 2;
  while (true) {
    if (!EnsureBuffered(wanted)) {
      MarkBroken("connection lost");
      return false;
    }
    const std::span<const uint8_t> buffered(receiveBuffer_.data() + receiveBegin_,
                                            receiveEnd_ - receiveBegin_);
    if (ParseFrameHeader(buffered, header)) {
      break;
    }
    wanted = buffered.size() + 1;
  }
  if (header.payloadLength > kMaxFramePayload) {
    MarkBroken("oversized frame");
    return false;
  }
  const size_t frameSize = header.headerSize + static_cast<size_t>(header.payloadLength);
  if (!EnsureBuffered(frameSize)) {
    MarkBroken("connection lost");
    return false;
  }
  payload = {receiveBuffer_.data() + receiveBegin_ + header.headerSize,
             static_cast<size_t>(header.payloadLength)};
  receiveBegin_ += frameSize;
  return true;
}

bool WebSocketRelay::EnsureBuffered(size_t count) {
  if (receiveBegin_ == receiveEnd_) {
    receiveBegin_ = receiveEnd_ = 0;
    if (receiveBuffer_.size() > kReceiveBufferBytes) {
      // Give back the room a rare oversized frame needed.
      std::vector<uint8_t>(kReceiveBufferBytes).swap(receiveBuffer_);
    }
  }
  if (receiveBuffer_.size() - receiveBegin_ < count) {
    std::memmove(receiveBuffer_.data(), receiveBuffer_.data() + receiveBegin_,
                 receiveEnd_ - receiveBegin_);
    receiveEnd_ -= receiveBegin_;
    receiveBegin_ = 0;
    if (receiveBuffer_.size() < count) {
      receiveBuffer_.resize(count);
    }
  }
  while (receiveEnd_ - receiveBegin_ < count) {
    const ssize_t n =
        ::recv(fd_, receiveBuffer_.data() + receiveEnd_, receiveBuffer_.size() - receiveEnd_, 0);
    if (n > 0) {
      receiveEnd_ += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR && g_running.load()) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

void WebSocketRelay::MarkBroken(const char* reason) {
  // Only a live channel failing is news; after a stop or teardown the failure is expected.
  if (connected_.exchange(false) && g_running.load()) {
    g_log.Write("WARN",
                std::string("WebSocket relay dropped (") + reason + "); reconnecting relay.");
  }
}

void WebSocketRelay::Interrupt() {
  connected_ = false;
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
  }
}

void WebSocketRelay::Close() {
  Interrupt();
  if (fd_ >= 0) {
    std::lock_guard lock(sendMutex_);
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace larkspire
