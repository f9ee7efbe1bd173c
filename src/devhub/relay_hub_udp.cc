#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "devhub/edge_connection.h"
#include "devhub/relay_hub.h"
#include "relay/udp_datagram.h"
#include "util/logger.h"
#include "util/socket_io.h"

// The UDP channels: an edge with a WebSocket connection probes with its number and secret
// and gets a channel identifier; data datagrams carrying a known identifier go into the
// packet device. One thread reads the socket.

namespace larkspire {

void RelayHub::EnableUdp(const std::string& address, int port) {
  const std::string where = address + ":" + std::to_string(port);
  UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (!socket.valid() || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      ::bind(socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    throw std::runtime_error("UDP relay bind failed on " + where + ": " + std::strerror(errno));
  }
  SetSocketBuffers(socket.get());
  udpSocket_ = std::move(socket);
}

int RelayHub::UdpPort() const {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (!udpSocket_.valid() ||
      ::getsockname(udpSocket_.get(), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

struct RelayHub::UdpDelivery {
  explicit UdpDelivery(const RelayHubOptions& options)
      : device(PacketDevice(options.packetFd, options.packetOffloadHeader,
                            options.packetUdpSegmentation),
               [this](bool written, size_t packets, size_t bytes) {
                 CountInto(connection->counters().udp, connection->counters())(written, packets,
                                                                               bytes);
               }) {}
  UdpDelivery(const UdpDelivery&) = delete;
  UdpDelivery& operator=(const UdpDelivery&) = delete;

  std::shared_ptr<EdgeConnection> connection;  // whose packets `device` holds back
  TunWriter device;
};

void RelayHub::UdpLoop() {
  // Data datagrams are at most 1400 bytes and probes carry two short texts; anything cut
  // short by the slot size is invalid anyway.
  constexpr size_t kBatch = 32;
  constexpr size_t kSlot = 4096;
  std::vector<uint8_t> slots(kBatch * kSlot);
  mmsghdr messages[kBatch];
  iovec parts[kBatch];
  sockaddr_in senders[kBatch];
  UdpDelivery delivery(options_);
  while (WaitReadable(udpSocket_.get(), wakeFd_.get())) {
    while (!stopping_.load()) {
      for (size_t i = 0; i < kBatch; ++i) {
        parts[i] = {slots.data() + i * kSlot, kSlot};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      int count = ::recvmmsg(udpSocket_.get(), messages, kBatch, MSG_DONTWAIT, nullptr);
      if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Drained: what is held back goes out before the wait. Until then a run may span
        // several receives and still leave in one write.
        delivery.device.Flush();
        break;
      }
      // Other errors (an ICMP report of an edge gone away) concern one earlier datagram.
      for (int i = 0; i < count; ++i) {
        if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) == 0) {
          HandleUdpDatagram(slots.data() + i * kSlot, messages[i].msg_len, senders[i], delivery);
        }
      }
    }
  }
  delivery.device.Flush();
}

void RelayHub::HandleUdpDatagram(const uint8_t* datagram, size_t size, const sockaddr_in& from,
                                 UdpDelivery& delivery) {
  std::span<const uint8_t> bytes(datagram, size);
  UdpData data;
  if (ParseUdpData(bytes, data)) {
    std::shared_ptr<EdgeConnection> connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = udpChannels_.find(data.channelId);
      if (found != udpChannels_.end()) {
        connection = found->second;
      }
    }
    // An unknown identifier (an old channel, a forged datagram) is dropped without a word.
    if (connection) {
      if (delivery.connection != connection) {
        delivery.device.Flush();  // the packets held belong to another edge's tally
        delivery.connection = std::move(connection);
      }
      delivery.device.Write(data.packet);
    }
    return;
  }
  HandleProbe(datagram, size, from);
}

void RelayHub::HandleProbe(const uint8_t* datagram, size_t size, const sockaddr_in& from) {
  UdpProbe probe;
  if (!ParseUdpProbe({datagram, size}, probe)) {
    return;
  }
  if (!Authorize(probe.deviceNumber, probe.deviceSecret)) {
    g_log.Write("WARN", "UDP relay probe refused for device " + probe.deviceNumber + " from " +
                            AddressText(from) + ".");
    return;
  }
  uint64_t channelId = 0;
  bool granted = false;
  std::shared_ptr<DeviceLink> link;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = links_.find(probe.deviceNumber);
    if (found != links_.end() && found->second->connection) {
      link = found->second;
      EdgeConnection& connection = *link->connection;
      // Repeated probes of one connection (a lost reply) get the same identifier, so
      // whichever reply the edge sees is the valid one; a new connection gets a new one.
      if (connection.udpChannelId == 0) {
        connection.udpChannelId = NewChannelIdLocked();
        udpChannels_[connection.udpChannelId] = link->connection;
        granted = true;
      }
      connection.udpPeer = from;
      channelId = connection.udpChannelId;
    }
  }
  if (!link) {
    g_log.Write("WARN", "UDP relay probe from device " + probe.deviceNumber +
                            " without a WebSocket relay connection; ignored.");
    return;
  }
  uint8_t reply[kUdpProbeReplySize];
  WriteUdpProbeReply(reply, channelId);
  ::sendto(udpSocket_.get(), reply, sizeof reply, MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&from), sizeof from);
  if (granted) {
    link->counters.udpChannels.fetch_add(1);
    g_log.Write("INFO", "UDP relay channel " + std::to_string(channelId) + " granted to device " +
                            probe.deviceNumber + " at " + AddressText(from) + ".");
  }
}

uint64_t RelayHub::NewChannelIdLocked() {
  uint64_t id = 0;
  while (id == 0 || udpChannels_.count(id) != 0) {
    id = random_();
  }
  return id;
}

}  // namespace larkspire
