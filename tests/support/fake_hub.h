#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "relay/websocket_frame.h"
#include "util/fd.h"

namespace larkspire::testing {

// A stand-in Hub on 127.0.0.1 for the edge's relay: a TCP listener for the WebSocket upgrade
// and a UDP socket on the same port number. The test plays the Hub step by step while the
// edge runs on a thread of its own; every wait gives up after 10 s, so a step the edge never
// takes fails the test instead of hanging it.
class FakeHub {
 public:
  using Packet = std::vector<uint8_t>;
  struct Frame {
    FrameHeader header;
    Packet payload;  // unmasked
  };

  FakeHub();
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Takes the next connection and accepts its upgrade; the request head, or empty when no
  // connection came.
  std::string Accept();
  void Send(std::span<const uint8_t> bytes);
  void SendFrame(std::span<const uint8_t> payload, uint8_t firstByte = kFinBit | kOpcodeBinary);
  // The edge's next frame; nothing when the connection ended or nothing came.
  std::optional<Frame> NextFrame();
  void Disconnect() { connection_.Reset(); }

  // Takes the edge's next UDP probe (waiting for it, or only looking) and answers it with a
  // new channel unless told not to; false when none came.
  bool TakeProbe(bool answer = true, bool wait = true);
  uint64_t channelId() const { return channelId_; }
  // The packet of the edge's next data datagram.
  std::optional<Packet> NextUdpPacket();
  // A data datagram of the current channel (or of `channelId`) to the edge; given `from`, a
  // stranger on that loopback address sends it.
  void SendUdp(const Packet& packet, uint64_t channelId = 0, const char* from = nullptr);

 private:
  int port_ = 0;
  UniqueFd listener_;
  UniqueFd udp_;
  UniqueFd connection_;
  sockaddr_in edge_{};  // the edge's UDP address
  uint64_t channelId_ = 0;
};

}  // namespace larkspire::testing
