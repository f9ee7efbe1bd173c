#include "devhub/relay_hub.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "devhub/edge_connection.h"
#include "devhub/frame_stream.h"
#include "relay/websocket_frame.h"
#include "util/logger.h"
#include "util/socket_io.h"

// The relay's lifecycle and its WebSocket connections, one caller thread each. What goes
// from the packet device to the edges is in relay_hub_device.cc, the UDP channels in
// relay_hub_udp.cc.

namespace larkspire {
namespace {

constexpr uint16_t kCloseNormal = 1000;
constexpr uint16_t kCloseGoingAway = 1001;
constexpr uint16_t kCloseProtocolError = 1002;

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

bool RelayHub::WaitReadable(int fd, int wakeFd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  while (true) {
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    return ready >= 0 && (fds[1].revents & POLLIN) == 0;
  }
}

TunWriter::Report RelayHub::CountInto(ChannelCounters& channel, RelayCounters& counters) {
  return [&channel, &counters](bool written, size_t packets, size_t bytes) {
    if (written) {
      channel.CountFromEdge(bytes, packets);
    } else {
      counters.CountDrop(packets);
    }
  };
}

void RelayHub::ServeConnection(std::shared_ptr<ByteStream> stream, const std::string& deviceNumber,
                               const std::string& upgradeReply) {
  const int fd = stream->fd();
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetSocketBuffers(fd);
  // The receive time-out paces pings and stop checks.
  SetTimeout(fd, SO_RCVTIMEO, std::chrono::milliseconds(1000));

  std::shared_ptr<DeviceLink> link = LinkFor(deviceNumber);
  auto connection =
      std::make_shared<EdgeConnection>(std::move(stream), deviceNumber, link->counters);
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

void RelayHub::ReadConnection(EdgeConnection& connection) {
  FrameStream stream;
  // Without a packet device every write fails, so every packet counts as dropped.
  TunWriter device(
      PacketDevice(options_.packetFd, options_.packetOffloadHeader, options_.packetUdpSegmentation),
      CountInto(connection.counters().webSocket, connection.counters()));
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextPing = Clock::now() + options_.pingInterval;
  Clock::time_point closeDeadline = Clock::time_point::max();
  while (true) {
    if (connection.closing() && closeDeadline == Clock::time_point::max()) {
      closeDeadline = Clock::now() + options_.closeGrace;
    }
    ssize_t received = connection.Receive(stream.FreeSpace(), stream.FreeSize());
    if (received == 0) {
      break;  // the edge closed its end
    }
    if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      break;
    }
    // Once closing, whatever else the edge sends is read and discarded.
    if (received > 0 && !connection.closing()) {
      stream.Commit(static_cast<size_t>(received));
      HandleFrames(connection, stream, device);
    }
    // Packets held back for merging go out before the next receive that would wait; one
    // that returns at once may bring the rest of their run.
    if (received <= 0 || connection.closing() || !connection.ReceiveReady()) {
      device.Flush();
    }
    Clock::time_point now = Clock::now();
    if (now >= closeDeadline) {
      break;
    }
    if (now >= nextPing && !connection.closing()) {
      connection.SendControl(kOpcodePing, nullptr, 0);
      nextPing = now + options_.pingInterval;
    }
  }
  device.Flush();
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

}  // namespace larkspire
