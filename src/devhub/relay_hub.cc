#include "devhub/relay_hub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "devhub/edge_connection.h"
#include "devhub/frame_stream.h"
#include "relay/byte_order.h"
#include "relay/channel_choice.h"
#include "relay/packet_device.h"
#include "relay/udp_datagram.h"
#include "relay/websocket_frame.h"
#include "util/logger.h"

namespace larkspire {
namespace {

constexpr size_t kMaxPacket = 65535;
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
constexpr uint16_t kCloseNormal = 1000;
constexpr uint16_t kCloseGoingAway = 1001;
constexpr uint16_t kCloseProtocolError = 1002;
// Headroom in front of a packet read from the device: room for a frame or UDP header.
constexpr size_t kHeadroom = 16;
static_assert(kHeadroom >= kMaxFrameHeaderSize && kHeadroom >= kUdpDataHeaderSize);

void SetIntOption(int fd, int level, int name, int value) {
  ::setsockopt(fd, level, name, &value, sizeof value);
}

void SetTimeout(int fd, int name, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, name, &tv, sizeof tv);
}

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

void SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) {
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
}

// Waits until `fd` is readable or the wake descriptor fires; false on the latter.
bool WaitReadable(int fd, int wakeFd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  while (true) {
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0 || (fds[1].revents & POLLIN) != 0) {
      return false;
    }
    return true;
  }
}

}  // namespace

RelayHub::RelayHub(RelayHubOptions options)
    : options_(std::move(options)), random_(std::random_device{}()) {
  wakeFd_.Reset(::eventfd(0, EFD_CLOEXEC));
  if (!wakeFd_.valid()) {
    throw std::runtime_error(std::string("eventfd failed: ") + std::strerror(errno));
  }
}

RelayHub::~RelayHub() {
  Stop();
}

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
  SetIntOption(socket.get(), SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
  SetIntOption(socket.get(), SOL_SOCKET, SO_SNDBUF, kSocketBufferBytes);
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

void RelayHub::Start() {
  if (options_.packetFd >= 0) {
    SetNonBlocking(options_.packetFd);
    deviceThread_ = std::thread([this] { PacketDeviceLoop(); });
  }
  if (udpSocket_.valid()) {
    udpThread_ = std::thread([this] { UdpLoop(); });
  }
}

void RelayHub::Stop() {
  if (stopping_.exchange(true)) {
    return;
  }
  uint64_t one = 1;
  if (::write(wakeFd_.get(), &one, sizeof one) < 0) {
    g_log.Write("WARN", "Relay stop signal failed: " + std::string(std::strerror(errno)));
  }
  if (deviceThread_.joinable()) {
    deviceThread_.join();
  }
  if (udpThread_.joinable()) {
    udpThread_.join();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (auto& [number, link] : links_) {
    if (link->connection) {
      link->connection->BeginClose(kCloseGoingAway);
    }
  }
  // Each connection thread ends when its edge closes, or at the latest one receive time-out
  // after the close grace; wait a little longer than that.
  auto limit = options_.closeGrace + std::chrono::seconds(3);
  connectionsDone_.wait_for(lock, limit, [this] { return activeConnections_ == 0; });
}

bool RelayHub::Authorize(const std::string& number, const std::string& secret) const {
  return options_.authorize && options_.authorize(number, secret);
}

std::string RelayHub::StatusJson(const std::string& deviceNumber) const {
  std::shared_ptr<DeviceLink> link;
  bool connected = false;
  uint64_t channelId = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = links_.find(deviceNumber);
    if (found != links_.end()) {
      link = found->second;
      connected = link->connection != nullptr;
      channelId = connected ? link->connection->udpChannelId : 0;
    }
  }
  static const RelayCounters kNone;
  const RelayCounters& counters = link ? link->counters : kNone;
  return std::string("{\"connected\":") + (connected ? "true" : "false") + ",\"udpChannelId\":\"" +
         (channelId != 0 ? std::to_string(channelId) : "") + "\"" +
         ",\"webSocketConnections\":" + std::to_string(counters.webSocketConnections.load()) +
         ",\"udpChannels\":" + std::to_string(counters.udpChannels.load()) +
         ",\"dropped\":" + std::to_string(counters.dropped.load()) +
         ",\"webSocket\":" + counters.webSocket.ToJson() + ",\"udp\":" + counters.udp.ToJson() +
         "}";
}

// ---- WebSocket connections ----

void RelayHub::ServeConnection(UniqueFd socket, const std::string& deviceNumber,
                               const std::string& upgradeReply) {
  const int fd = socket.get();
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
  SetIntOption(fd, SOL_SOCKET, SO_SNDBUF, kSocketBufferBytes);
  // The receive time-out paces pings and stop checks; the send time-out keeps one stalled
  // edge from holding the packet device reader for long.
  SetTimeout(fd, SO_RCVTIMEO, std::chrono::milliseconds(1000));
  SetTimeout(fd, SO_SNDTIMEO, std::chrono::milliseconds(5000));

  std::shared_ptr<DeviceLink> link = LinkFor(deviceNumber);
  auto connection =
      std::make_shared<EdgeConnection>(std::move(socket), deviceNumber, link->counters);
  // Registered before the reply, so the edge's UDP probe, sent as soon as it reads the
  // reply, finds the connection; frames wait for the reply inside the connection.
  Attach(connection, *link);
  if (connection->SendUpgradeReply(upgradeReply)) {
    ReadConnection(*connection);
  }
  Detach(connection);
}

std::shared_ptr<RelayHub::DeviceLink> RelayHub::LinkFor(const std::string& deviceNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<DeviceLink>& link = links_[deviceNumber];
  if (!link) {
    link = std::make_shared<DeviceLink>();
  }
  return link;
}

void RelayHub::Attach(const std::shared_ptr<EdgeConnection>& connection, DeviceLink& link) {
  const std::string& number = connection->deviceNumber();
  std::vector<std::string> networks;
  if (options_.sharedNetworks) {
    networks = options_.sharedNetworks(number);
  }
  std::shared_ptr<EdgeConnection> replaced;
  std::vector<Ipv4Network> accepted;
  bool stopping = false;
  uint64_t serial = link.counters.webSocketConnections.fetch_add(1) + 1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++activeConnections_;
    // Checked under the lock Stop takes, so a connection is either seen by Stop or sees it.
    stopping = stopping_.load();
    if (!stopping) {
      replaced = std::exchange(link.connection, connection);
      if (replaced && replaced->udpChannelId != 0) {
        udpChannels_.erase(replaced->udpChannelId);
      }
      accepted = routes_.SetDevice(number, networks);
    }
  }
  if (stopping) {
    connection->BeginClose(kCloseGoingAway);
    return;
  }
  if (replaced) {
    g_log.Write("INFO", "Relay connection of device " + number + " replaced by a newer one.");
    replaced->BeginClose(kCloseNormal);
  }
  for (const Ipv4Network& network : accepted) {
    if (options_.networkAnnounced) {
      options_.networkAnnounced(network);
    }
  }
  g_log.Write("INFO", "Relay connected: device " + number + ", connection " +
                          std::to_string(serial) + ", " + std::to_string(accepted.size()) +
                          " shared network(s).");
}

void RelayHub::Detach(const std::shared_ptr<EdgeConnection>& connection) {
  const std::string& number = connection->deviceNumber();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = links_.find(number);
    if (found != links_.end() && found->second->connection == connection) {
      found->second->connection = nullptr;
      routes_.RemoveDevice(number);
    }
    if (connection->udpChannelId != 0) {
      auto channel = udpChannels_.find(connection->udpChannelId);
      if (channel != udpChannels_.end() && channel->second == connection) {
        udpChannels_.erase(channel);
      }
    }
    --activeConnections_;
  }
  connectionsDone_.notify_all();
  g_log.Write("INFO", "Relay disconnected: device " + number + ".");
}

namespace {

// Tallies what a write into the packet device carried for one edge.
TunWriter::Report CountInto(ChannelCounters& channel, RelayCounters& counters) {
  return [&channel, &counters](bool written, size_t packets, size_t bytes) {
    if (written) {
      channel.CountFromEdge(bytes, packets);
    } else {
      counters.CountDrop(packets);
    }
  };
}

}  // namespace

void RelayHub::ReadConnection(EdgeConnection& connection) {
  FrameStream stream;
  // Without a packet device every write fails, so every packet counts as dropped.
  TunWriter device(PacketDevice(options_.packetFd, options_.packetOffloadHeader,
                                options_.packetUdpSegmentation),
                   CountInto(connection.counters().webSocket, connection.counters()));
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextPing = Clock::now() + options_.pingInterval;
  Clock::time_point closeDeadline = Clock::time_point::max();
  while (true) {
    if (connection.closing() && closeDeadline == Clock::time_point::max()) {
      closeDeadline = Clock::now() + options_.closeGrace;
    }
    ssize_t received = ::recv(connection.fd(), stream.FreeSpace(), stream.FreeSize(), 0);
    if (received == 0) {
      return;  // the edge closed its end
    }
    if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return;
    }
    // Once closing, whatever else the edge sends is read and discarded.
    if (received > 0 && !connection.closing()) {
      stream.Commit(static_cast<size_t>(received));
      HandleFrames(connection, stream, device);
      // Packets held back for merging go out before the next wait for the network.
      device.Flush();
    }
    Clock::time_point now = Clock::now();
    if (now >= closeDeadline) {
      return;
    }
    if (now >= nextPing && !connection.closing()) {
      connection.SendControl(kOpcodePing, nullptr, 0);
      nextPing = now + options_.pingInterval;
    }
  }
}

void RelayHub::HandleFrames(EdgeConnection& connection, FrameStream& stream, TunWriter& device) {
  for (FrameStream::Event event = stream.Next(); event != FrameStream::Event::kNone;
       event = stream.Next()) {
    switch (event) {
      case FrameStream::Event::kMessage:
        device.Write(stream.message());
        break;
      case FrameStream::Event::kPing:
        connection.SendControl(kOpcodePong, stream.payload().data(), stream.payload().size());
        break;
      case FrameStream::Event::kViolation:
        g_log.Write("WARN", "Relay protocol violation by device " + connection.deviceNumber() +
                                "; closing the connection.");
        connection.BeginClose(kCloseProtocolError);
        return;
      default:
        // The edge closes: answer its close frame and wait for it to hang up.
        connection.BeginClose(kCloseNormal);
        return;
    }
  }
}

// ---- packet device to edges ----

void RelayHub::PacketDeviceLoop() {
  // One slot per packet of a pass, each with headroom for the header written before it.
  constexpr size_t kSlot = kHeadroom + kMaxPacket;
  std::vector<uint8_t> slots(kDeviceBatch * kSlot);
  size_t sizes[kDeviceBatch];
  auto batch = std::make_unique<PassBatch>();
  while (WaitReadable(options_.packetFd, wakeFd_.get())) {
    // Drain everything that is ready before waiting again.
    bool drained = false;
    while (!drained && !stopping_.load()) {
      size_t count = 0;
      if (!ReadBatch(slots, sizes, count, drained)) {
        return;
      }
      for (size_t i = 0; i < count; ++i) {
        SendToEdge(slots.data() + i * kSlot + kHeadroom, sizes[i], *batch);
      }
      FlushDatagrams(*batch);
      FlushFrames(*batch);
    }
  }
}

bool RelayHub::ReadBatch(std::vector<uint8_t>& slots, size_t (&sizes)[kDeviceBatch], size_t& count,
                         bool& drained) {
  constexpr size_t kSlot = kHeadroom + kMaxPacket;
  while (count < kDeviceBatch) {
    ssize_t size = ReadPacket({options_.packetFd, options_.packetOffloadHeader},
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
    sizes[count++] = static_cast<size_t>(size);
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

// ---- UDP channels ----

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
        break;  // drained
      }
      // Other errors (an ICMP report of an edge gone away) concern one earlier datagram.
      for (int i = 0; i < count; ++i) {
        if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) == 0) {
          HandleUdpDatagram(slots.data() + i * kSlot, messages[i].msg_len, senders[i], delivery);
        }
      }
      delivery.device.Flush();
    }
  }
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
