#include "relay/websocket_relay.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "hub/http_reader.h"
#include "hub/hub_connection.h"
#include "hub/stall_aware_send.h"
#include "hub/url.h"
#include "relay/packet_batch.h"
#include "util/logger.h"
#include "util/run_flag.h"
#include "util/socket_io.h"
#include "util/text.h"

namespace larkspire {
namespace {

// Large enough that one receive usually brings many frames at full speed.
constexpr size_t kReceiveBufferBytes = 256 * 1024;
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
                             const std::string& deviceSecret, const HubTrust& trust) {
  Close();
  const ParsedUrl url = ParseUrl(NormalizeServerUrl(serverUrl));
  std::unique_ptr<ByteStream> stream = ConnectHub(url, trust);
  const int fd = stream->fd();
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(fd, IPPROTO_TCP, TCP_QUICKACK, 1);
  SetSocketBuffers(fd);
  const std::string request = UpgradeRequest(url, deviceNumber, deviceSecret);
  if (!stream->SendAll(request.data(), request.size())) {
    throw std::runtime_error("WebSocket handshake send failed.");
  }
  // The headers are read byte by byte, so the first frame stays in the stream.
  const int status = ParseHttpStatus(ReadHttpHeaders(*stream));
  if (status != 101) {
    throw std::runtime_error("WebSocket upgrade failed, status " + std::to_string(status));
  }
  // From here on the Hub may stay silent for as long as it likes.
  SetTimeout(fd, SO_RCVTIMEO, {});
  SetTimeout(fd, SO_SNDTIMEO, {});
  receiveBuffer_.resize(kReceiveBufferBytes);
  receiveBegin_ = receiveEnd_ = 0;
  assembler_.Reset();
  if (const auto* tls = dynamic_cast<const TlsSession*>(stream.get())) {
    g_log.Write("INFO", "Hub link encrypted: " + tls->Description() + ".");
  }
  stream_ = std::move(stream);
  connected_ = true;
  g_log.Write("INFO", "WebSocket relay connected.");
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
      // Keys are drawn in frame order under the lock, one per frame.
      const MaskKey key = MaskKeyFor(++maskCounter_, kDataMaskMultiplier);
      uint8_t* payload = packets[i].data();
      uint8_t* frame = BuildFrameInPlace(payload, packets[i].size(), kFinBit | kOpcodeBinary, &key);
      frames[i] = {frame, static_cast<size_t>(payload - frame) + packets[i].size()};
    }
    if (SendFramesLocked(frames, count) != SendOutcome::kSent) {
      return false;
    }
    packets = packets.subspan(count);
  }
  return true;
}

SendOutcome WebSocketRelay::SendFramesLocked(iovec* frames, size_t count) {
  if (!stream_) {
    return SendOutcome::kFailed;
  }
  const SendOutcome outcome = stream_->Send(frames, count, kSendStallLimit);
  if (outcome == SendOutcome::kStalled) {
    MarkBroken("the Hub stopped reading");
  }
  return outcome;
}

void WebSocketRelay::SendPong(std::span<const uint8_t> payload) {
  uint8_t buffer[kMaxFrameHeaderSize + kMaxControlPayload];
  uint8_t* body = buffer + kMaxFrameHeaderSize;
  std::memcpy(body, payload.data(), payload.size());
  std::lock_guard lock(sendMutex_);
  const MaskKey key = MaskKeyFor(++maskCounter_, kPongMaskMultiplier);
  uint8_t* frame = BuildFrameInPlace(body, payload.size(), kFinBit | kOpcodePong, &key);
  iovec part{frame, static_cast<size_t>(body - frame) + payload.size()};
  // A lost pong is not worth a reconnect; a dead socket shows up on the next receive.
  SendFramesLocked(&part, 1);
}

bool WebSocketRelay::ReadMessage(std::span<const uint8_t>& message,
                                 const std::function<void()>& beforeWait) {
  while (g_running.load() && connected_.load()) {
    FrameHeader header;
    std::span<uint8_t> payload;
    if (!ReceiveFrame(header, payload, beforeWait)) {
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

bool WebSocketRelay::ReceiveFrame(FrameHeader& header, std::span<uint8_t>& payload,
                                  const std::function<void()>& beforeWait) {
  size_t wanted = 2;
  while (true) {
    if (!EnsureBuffered(wanted, beforeWait)) {
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
  if (!EnsureBuffered(frameSize, beforeWait)) {
    MarkBroken("connection lost");
    return false;
  }
  payload = {receiveBuffer_.data() + receiveBegin_ + header.headerSize,
             static_cast<size_t>(header.payloadLength)};
  receiveBegin_ += frameSize;
  return true;
}

bool WebSocketRelay::EnsureBuffered(size_t count, const std::function<void()>& beforeWait) {
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
    // A receive that returns at once needs nothing written first: what the caller holds
    // can still grow, so a run spanning two receives leaves in one merged write.
    if (beforeWait && !ReadableNow(stream_->fd())) {
      beforeWait();
    }
    const ssize_t n =
        stream_->Receive(receiveBuffer_.data() + receiveEnd_, receiveBuffer_.size() - receiveEnd_);
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
  // No lock: a sender stalled under it is exactly what the shutdown must wake. The stream
  // itself only changes in Connect and Close, when no other thread uses the channel.
  if (stream_) {
    ::shutdown(stream_->fd(), SHUT_RDWR);
  }
}

void WebSocketRelay::Close() {
  Interrupt();
  std::lock_guard lock(sendMutex_);
  stream_.reset();
}

}  // namespace larkspire
