#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "relay/websocket_frame.h"

namespace larkspire::testing {

// A stand-in Hub on 127.0.0.1 for relay tests: accepts WebSocket upgrades on a TCP port and
// answers UDP probes on the same port number. The test thread reads the edge's frames and
// sends frames of its own; a background thread accepts connections and serves UDP.
class FakeHub {
 public:
  struct Options {
    int upgradeStatus = 101;
    bool answerProbes = true;
  };
  struct Frame {
    FrameHeader header;
    std::vector<uint8_t> payload;  // unmasked
  };

  explicit FakeHub(Options options);
  FakeHub() : FakeHub(Options{}) {}
  ~FakeHub();
  FakeHub(const FakeHub&) = delete;
  FakeHub& operator=(const FakeHub&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // The request head of the next upgrade (waits for it); empty when none came.
  std::string WaitForUpgrade();
  // The identifier granted to the latest probe (a new one per connection).
  uint64_t channelId() const { return channelId_.load(); }
  int probesSeen() const { return probes_.load(); }

  void SendRaw(const std::vector<uint8_t>& bytes);
  void SendBinary(std::span<const uint8_t> packet);
  // The edge's next frame, or nothing when the connection ended or nothing came in time.
  std::optional<Frame> NextFrame();
  void Disconnect();

  // The packet of the edge's next UDP data datagram.
  std::optional<std::vector<uint8_t>> NextUdpPacket();
  // Sends a data datagram (with the current or the given identifier) to the edge, from the
  // Hub's socket or, given `fromAddress`, from a stranger's socket on that loopback address.
  void SendUdpPacket(std::span<const uint8_t> packet, std::optional<uint64_t> channelId = {},
                     const char* fromAddress = nullptr);
  // Packets of one size (the last may be shorter) as one segmented send on this channel.
  void SendUdpPacketsTogether(const std::vector<std::vector<uint8_t>>& packets);

 private:
  void AcceptLoop();
  void UdpLoop();
  bool ReadExact(uint8_t* out, size_t count);

  Options options_;
  int port_ = 0;
  int listenFd_ = -1;
  int udpFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> channelId_{0};
  std::atomic<int> probes_{0};

  std::mutex mutex_;
  std::condition_variable changed_;
  int connectionFd_ = -1;
  std::deque<std::string> upgrades_;
  std::deque<std::vector<uint8_t>> udpPackets_;
  sockaddr_in edgeUdpAddress_{};
  bool haveEdgeUdpAddress_ = false;

  std::thread acceptThread_;
  std::thread udpThread_;
};

}  // namespace larkspire::testing
