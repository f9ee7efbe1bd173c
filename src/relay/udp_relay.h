#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/udp_datagram.h"

namespace larkspire {

// The optional UDP relay channel: a probe gets a channel identifier from the Hub, then data
// datagrams carry small IPv4 UDP packets both ways. The relay thread connects and sends; the
// UDP reader thread receives. Nothing here throws; failures are logged and leave it down.
class UdpRelay {
 public:
  UdpRelay() = default;
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;
  ~UdpRelay() { Close(); }

  void Connect(const std::string& serverUrl, const std::string& deviceNumber,
               const std::string& deviceSecret);
  bool SendPacket(const uint8_t* packet, size_t length);
  // One packet into `packet` (resized); false after a time-out, error or invalid datagram.
  bool ReceivePacket(std::vector<uint8_t>& packet);
  void Close();

  bool IsConnected() const { return connected_.load(); }
  uint64_t channelId() const { return channelId_; }

 private:
  int fd_ = -1;
  std::atomic<bool> connected_{false};
  uint64_t channelId_ = 0;
  sockaddr_in peer_{};
  std::vector<uint8_t> sendBuffer_;
  std::array<uint8_t, 1400> recvBuffer_{};
};

}  // namespace larkspire
