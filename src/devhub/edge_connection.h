#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "hub/byte_stream.h"
#include "util/socket_io.h"

namespace larkspire {

struct RelayCounters;

// One edge's WebSocket relay connection, after the upgrade, over a plain or TLS stream. Frames are
// written whole under the send lock by any thread (the packet device reader sends data, the
// connection's own reader thread sends pongs, pings and the close frame); only the reader
// thread receives. The UDP fields are guarded by the RelayHub's lock.
class EdgeConnection {
 public:
  EdgeConnection(std::shared_ptr<ByteStream> stream, std::string deviceNumber,
                 RelayCounters& counters);
  EdgeConnection(const EdgeConnection&) = delete;
  EdgeConnection& operator=(const EdgeConnection&) = delete;

  // Sends the 101 reply; frames can be sent only after it. False when the send failed.
  bool SendUpgradeReply(const std::string& reply);
  // Sends the frame that BuildFrameInPlace made. On a failed or partial send the stream is
  // unusable, so the connection is broken off and its reader wakes up.
  bool SendFrame(const uint8_t* frame, size_t size);
  // Several whole frames with one system call; `frames` is consumed.
  bool SendFrames(iovec* frames, size_t count);
  // A small control frame (ping, pong) with its payload.
  bool SendControl(uint8_t opcode, const uint8_t* payload, size_t size);
  // Sends a close frame with `code` once, then no more frames; the peer is expected to close.
  void BeginClose(uint16_t code);
  // Wakes the reader at once (shutdown of both directions).
  void Abort();

  // Like recv(2), on the connection's reader thread only.
  ssize_t Receive(void* buffer, size_t size) { return stream_->Receive(buffer, size); }
  // Whether the next Receive would return at once.
  bool ReceiveReady() const { return ReadableNow(stream_->fd()); }

  bool closing() const { return closing_.load(); }
  const std::string& deviceNumber() const { return deviceNumber_; }
  RelayCounters& counters() { return counters_; }

  uint64_t udpChannelId = 0;  // 0 until a probe was answered
  sockaddr_in udpPeer{};      // where the probe came from

 private:
  bool SendLocked(const uint8_t* data, size_t size);
  bool SendVectorLocked(iovec* parts, size_t count);

  std::shared_ptr<ByteStream> stream_;
  std::string deviceNumber_;
  RelayCounters& counters_;
  std::mutex sendMutex_;
  bool upgraded_ = false;             // guarded by sendMutex_
  std::atomic<bool> closing_{false};  // close frame sent or stream broken: send nothing more
};

}  // namespace larkspire
