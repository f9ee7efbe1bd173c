#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/fd.h"

namespace larkspire::testing {

// A stand-in edge for devhub relay tests on 127.0.0.1: performs the upgrade, sends masked
// frames, reads the Hub's frames, and speaks the UDP channel from its own socket.
class FakeEdge {
 public:
  struct Frame {
    uint8_t opcode = 0;
    bool fin = false;
    bool masked = false;
    std::vector<uint8_t> payload;
  };

  // Connects and sends the upgrade request; replyHead() then holds the Hub's answer.
  FakeEdge(int port, const std::string& number, const std::string& secret);

  const std::string& replyHead() const { return replyHead_; }
  // Everything after the reply head until the Hub closes (for refused upgrades).
  std::string ReadRest();

  void SendRaw(const std::vector<uint8_t>& bytes);
  void SendFrame(uint8_t firstByte, const std::vector<uint8_t>& payload);
  // The next frame, or nothing when the Hub closed or nothing came within the time.
  std::optional<Frame> NextFrame(std::chrono::milliseconds wait = std::chrono::seconds(5));
  // Skips pings until another frame comes.
  std::optional<Frame> NextNonPingFrame();
  void CloseSocket() { socket_.Reset(); }

  // Probes the Hub's UDP port; the granted identifier, or nothing within the time.
  std::optional<uint64_t> Probe(int udpPort, const std::string& number, const std::string& secret,
                                std::chrono::milliseconds wait = std::chrono::seconds(3));
  void SendUdp(int udpPort, uint64_t channelId, const std::vector<uint8_t>& packet);
  // The packet of the next data datagram (its identifier in `channelId`).
  std::optional<std::vector<uint8_t>> NextUdpPacket(
      uint64_t& channelId, std::chrono::milliseconds wait = std::chrono::seconds(5));

 private:
  bool Fill(std::chrono::milliseconds wait);
  sockaddr_in Loopback(int port) const;

  UniqueFd socket_;
  UniqueFd udp_;
  std::string replyHead_;
  std::vector<uint8_t> pending_;
  uint32_t maskCounter_ = 0;
};

// An IPv4 packet of `size` bytes (at least 20) from 10.250.0.1 to `destination` carrying
// `protocol`; the payload bytes count up from 0.
std::vector<uint8_t> Ipv4Packet(const std::string& destination, uint8_t protocol, size_t size);

}  // namespace larkspire::testing
