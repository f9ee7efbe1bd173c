#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "devhub/edge_connection.h"
#include "devhub/relay_hub.h"
#include "relay/byte_order.h"
#include "relay/channel_choice.h"
#include "relay/packet_device.h"
#include "relay/udp_datagram.h"
#include "relay/websocket_frame.h"
#include "util/defaults.h"
#include "util/logger.h"

// From the packet device to the edges: one thread reads the device in passes of up to
// kDeviceBatch packets, routes each by destination, and sends a pass with as few system
// calls as it can (one for the frames to one edge, one for all datagrams).

namespace larkspire {
namespace {

constexpr size_t kMaxPacket = 65535;
// Headroom in front of a packet read from the device: room for a frame or UDP header.
constexpr size_t kHeadroom = 16;
static_assert(kHeadroom >= kMaxFrameHeaderSize && kHeadroom >= kUdpDataHeaderSize);

}  // namespace

void RelayHub::PacketDeviceLoop() {
  // One slot per packet of a pass, each with headroom for the header written before it.
  constexpr size_t kSlot = kHeadroom + kMaxPacket;
  std::vector<uint8_t> slots(kDeviceBatch * kSlot);
  size_t sizes[kDeviceBatch];
  auto batch = std::make_unique<PassBatch>();
  std::optional<OffloadedReader> offloaded;
  if (options_.packetReadOffload) {
    offloaded.emplace(kTunnelMtu);
  }
  while (WaitReadable(options_.packetFd, wakeFd_.get())) {
    // Drain everything that is ready before waiting again.
    bool drained = false;
    while (!drained && !stopping_.load()) {
      size_t count = 0;
      if (!ReadBatch(slots, sizes, count, drained, offloaded ? &*offloaded : nullptr, *batch)) {
        return;
      }
      SendPass(slots, sizes, count, *batch);
    }
  }
}

void RelayHub::SendPass(std::vector<uint8_t>& slots, const size_t (&sizes)[kDeviceBatch],
                        size_t& count, PassBatch& batch) {
  constexpr size_t kSlot = kHeadroom + kMaxPacket;
  for (size_t i = 0; i < count; ++i) {
    SendToEdge(slots.data() + i * kSlot + kHeadroom, sizes[i], batch);
  }
  FlushDatagrams(batch);
  FlushFrames(batch);
  count = 0;
}

bool RelayHub::ReadBatch(std::vector<uint8_t>& slots, size_t (&sizes)[kDeviceBatch], size_t& count,
                         bool& drained, OffloadedReader* offloaded, PassBatch& batch) {
  constexpr size_t kSlot = kHeadroom + kMaxPacket;
  while (count < kDeviceBatch) {
    ssize_t size = offloaded != nullptr
                       ? offloaded->Read(options_.packetFd)
                       : ReadPacket({options_.packetFd, options_.packetOffloadHeader},
                                    slots.data() + count * kSlot + kHeadroom, kMaxPacket);
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      drained = true;
      return true;
    }
    if (size < 0) {
      g_log.Write("WARN", "Packet device read failed: " + std::string(std::strerror(errno)));
      return false;
    }
    if (size == 0) {
      return false;  // the other end of a test socket pair went away
    }
    if (offloaded == nullptr) {
      sizes[count++] = static_cast<size_t>(size);
      continue;
    }
    // One read may bring more packets than a pass holds: the full pass goes out first.
    for (size_t i = 0; i < offloaded->pieces(); ++i) {
      if (count == kDeviceBatch) {
        SendPass(slots, sizes, count, batch);
      }
      sizes[count] = offloaded->WritePiece(i, slots.data() + count * kSlot + kHeadroom);
      ++count;
    }
  }
  return true;
}

bool RelayHub::RouteLocked(const uint8_t* packet, size_t size, Route& route) {
  constexpr size_t kIpv4HeaderMin = 20;
  if (size < kIpv4HeaderMin || (packet[0] >> 4) != 4) {
    return false;  // only IPv4 is routed into edges' networks
  }
  const std::string* number = routes_.Lookup(static_cast<uint32_t>(LoadBigEndian(packet + 16, 4)));
  if (number == nullptr) {
    return false;
  }
  auto found = links_.find(*number);
  if (found == links_.end()) {
    return false;
  }
  route.link = found->second;
  route.connection = found->second->connection;
  if (route.connection) {
    route.udpChannelId = route.connection->udpChannelId;
    route.udpPeer = route.connection->udpPeer;
  }
  return true;
}

// `packet` has kHeadroom writable bytes in front of it: the frame or datagram header is
// written there, so the packet itself is never copied. Everything joins `batch`.
void RelayHub::SendToEdge(uint8_t* packet, size_t size, PassBatch& batch) {
  Route route;
  bool routed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    routed = RouteLocked(packet, size, route);
  }
  if (!routed) {
    unroutable_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!route.connection) {
    route.link->counters.CountDrop();
    return;
  }
  if (route.udpChannelId == 0 || !QualifiesForUdpChannel(packet, size)) {
    AddFrame(route.connection, packet, size, batch);
    return;
  }
  uint8_t* datagram = packet - kUdpDataHeaderSize;
  WriteUdpDataHeader(datagram, route.udpChannelId);
  const size_t i = batch.datagramCount++;
  batch.peers[i] = route.udpPeer;
  batch.datagramParts[i] = {datagram, kUdpDataHeaderSize + size};
  batch.datagrams[i] = {};
  batch.datagrams[i].msg_hdr.msg_name = &batch.peers[i];
  batch.datagrams[i].msg_hdr.msg_namelen = sizeof batch.peers[i];
  batch.datagrams[i].msg_hdr.msg_iov = &batch.datagramParts[i];
  batch.datagrams[i].msg_hdr.msg_iovlen = 1;
  batch.datagramPackets[i] = packet;
  batch.datagramConnections[i] = std::move(route.connection);
}

void RelayHub::AddFrame(const std::shared_ptr<EdgeConnection>& connection, uint8_t* packet,
                        size_t size, PassBatch& batch) {
  if (batch.frameConnection != connection) {
    FlushFrames(batch);
    batch.frameConnection = connection;
    batch.frameCounters = &connection->counters();
  }
  uint8_t* frame = BuildFrameInPlace(packet, size, kFinBit | kOpcodeBinary, nullptr);
  batch.frames[batch.frameCount++] = {frame, static_cast<size_t>(packet - frame) + size};
  batch.frameBytes += size;
}

void RelayHub::FlushFrames(PassBatch& batch) {
  if (batch.frameCount > 0) {
    RelayCounters& counters = *batch.frameCounters;
    if (batch.frameConnection->SendFrames(batch.frames, batch.frameCount)) {
      counters.webSocket.packetsToEdge.fetch_add(batch.frameCount, std::memory_order_relaxed);
      counters.webSocket.bytesToEdge.fetch_add(batch.frameBytes, std::memory_order_relaxed);
    } else {
      counters.dropped.fetch_add(batch.frameCount, std::memory_order_relaxed);
    }
  }
  batch.frameConnection.reset();
  batch.frameCounters = nullptr;
  batch.frameCount = 0;
  batch.frameBytes = 0;
}

// Datagrams of one size for one edge that follow each other go out as one segmented send
// (UDP GSO): the kernel carries them through the stack as one and cuts them into the same
// datagrams only at the end, so the edge receives exactly what separate sends would give it.
void RelayHub::FlushDatagrams(PassBatch& batch) {
  constexpr size_t kMaxSegmentedBytes = 60000;  // one UDP datagram's worth at most
  struct Group {
    size_t first = 0;
    size_t count = 0;
    size_t bytes = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))];
  };
  Group groups[kDeviceBatch];
  mmsghdr messages[kDeviceBatch];
  size_t groupCount = 0;
  for (size_t i = 0; i < batch.datagramCount;) {
    Group& group = groups[groupCount];
    group.first = i;
    group.count = 0;
    group.bytes = 0;
    const size_t size = batch.datagramParts[i].iov_len;
    while (i < batch.datagramCount && batch.datagramParts[i].iov_len == size &&
           group.bytes + size <= kMaxSegmentedBytes && (group.count == 0 || segmentUdp_) &&
           std::memcmp(&batch.peers[i], &batch.peers[group.first], sizeof batch.peers[i]) == 0) {
      group.bytes += size;
      ++group.count;
      ++i;
    }
    messages[groupCount] = batch.datagrams[group.first];
    msghdr& header = messages[groupCount].msg_hdr;
    header.msg_iovlen = group.count;  // the parts of one group lie next to each other
    if (group.count > 1) {
      header.msg_control = group.control;
      header.msg_controllen = sizeof group.control;
      cmsghdr* option = CMSG_FIRSTHDR(&header);
      option->cmsg_level = SOL_UDP;
      option->cmsg_type = UDP_SEGMENT;
      option->cmsg_len = CMSG_LEN(sizeof(uint16_t));
      const auto segment = static_cast<uint16_t>(size);
      std::memcpy(CMSG_DATA(option), &segment, sizeof segment);
    }
    ++groupCount;
  }
  size_t sent = 0;
  while (sent < groupCount) {
    int result = ::sendmmsg(udpSocket_.get(), messages + sent,
                            static_cast<unsigned>(groupCount - sent), MSG_DONTWAIT);
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result <= 0) {
      if (groups[sent].count > 1 && (errno == EINVAL || errno == EIO || errno == EOPNOTSUPP)) {
        // A kernel without UDP segmentation: from now on every datagram goes on its own.
        segmentUdp_ = false;
      }
      break;
    }
    sent += static_cast<size_t>(result);
  }
  for (size_t g = 0; g < groupCount; ++g) {
    const bool delivered = g < sent && messages[g].msg_len == groups[g].bytes;
    for (size_t i = groups[g].first; i < groups[g].first + groups[g].count; ++i) {
      const size_t size = batch.datagramParts[i].iov_len - kUdpDataHeaderSize;
      if (delivered) {
        batch.datagramConnections[i]->counters().udp.CountToEdge(size);
      } else {
        // Like the edge: a datagram that could not go out takes the WebSocket instead.
        AddFrame(batch.datagramConnections[i], batch.datagramPackets[i], size, batch);
      }
      batch.datagramConnections[i].reset();
    }
  }
  batch.datagramCount = 0;
}

}  // namespace larkspire
