#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "devhub/relay_counters.h"
#include "devhub/route_table.h"
#include "hub/byte_stream.h"
#include "relay/tun_writer.h"
#include "util/fd.h"

namespace larkspire {

class EdgeConnection;
class FrameStream;

struct RelayHubOptions {
  // The packet device: the Hub's TUN descriptor, or in tests one end of a SOCK_SEQPACKET
  // socket pair. -1 runs without one (packets from edges are counted as dropped).
  int packetFd = -1;
  // The packet device reads and writes offload headers (a TUN device opened with them).
  bool packetOffloadHeader = false;
  // The packet device also takes merged runs of UDP datagrams.
  bool packetUdpSegmentation = false;
  // Reads from the packet device may bring offloaded packets (see OffloadedReader).
  bool packetReadOffload = false;
  // Whether number and secret belong to a registered device.
  std::function<bool(const std::string& number, const std::string& secret)> authorize;
  // The device's shared networks ("a.b.c.d/n"), asked for at every relay connection.
  std::function<std::vector<std::string>(const std::string& number)> sharedNetworks;
  // Told about every network an edge serves, so the kernel can route it to the packet
  // device. May be empty.
  std::function<void(const Ipv4Network& network)> networkAnnounced;
  std::chrono::milliseconds pingInterval{20000};
  // How long a connection waits for the edge to close after our close frame.
  std::chrono::milliseconds closeGrace{2000};
};

// The Hub side of the relay: carries packets between the packet device and the edges'
// WebSocket connections and UDP channels. A packet read from the device goes to the edge
// whose shared networks hold its destination (over UDP when that edge's channel is up and
// the packet qualifies, else over WebSocket); packets from edges go into the device.
//
// Threads: a packet device reader and a UDP reader started here, plus one caller thread per
// edge connection inside ServeConnection. All of them may run at once; the hub's lock guards
// the routing table, the device links and the UDP channel map, never a send.
class RelayHub {
 public:
  explicit RelayHub(RelayHubOptions options);
  RelayHub(const RelayHub&) = delete;
  RelayHub& operator=(const RelayHub&) = delete;
  ~RelayHub();

  // Binds the UDP relay socket. Throws "UDP relay bind failed on <address>:<port>: <reason>".
  void EnableUdp(const std::string& address, int port);
  int UdpPort() const;  // the bound port, 0 without UDP

  // Starts the reader threads. Call once, after EnableUdp if UDP is wanted.
  void Start();
  // Sends every edge a close frame, stops the readers, and waits (bounded by the close grace
  // plus the receive time-out) for the connection threads to finish. Safe to call twice.
  void Stop();

  bool Authorize(const std::string& number, const std::string& secret) const;

  // Sends the upgrade reply, then runs the relay connection on the calling thread until it
  // ends. A newer connection of the same device replaces an older one.
  void ServeConnection(std::shared_ptr<ByteStream> stream, const std::string& deviceNumber,
                       const std::string& upgradeReply);

  // {"connected":..,"udpChannelId":"..",...,"webSocket":{..},"udp":{..}} for the listing.
  std::string StatusJson(const std::string& deviceNumber) const;
  // Packets from the device that no edge serves.
  uint64_t unroutable() const { return unroutable_.load(); }

 private:
  struct DeviceLink {
    RelayCounters counters;
    std::shared_ptr<EdgeConnection> connection;  // guarded by mutex_
  };
  struct Route {
    std::shared_ptr<DeviceLink> link;
    std::shared_ptr<EdgeConnection> connection;
    uint64_t udpChannelId = 0;
    sockaddr_in udpPeer{};
  };

  // Waits until `fd` is readable or the wake descriptor fires; false on the latter.
  static bool WaitReadable(int fd, int wakeFd);
  // Tallies what a write into the packet device carried for one edge.
  static TunWriter::Report CountInto(ChannelCounters& channel, RelayCounters& counters);

  // Connections (relay_hub.cc).
  std::shared_ptr<DeviceLink> LinkFor(const std::string& deviceNumber);
  void Attach(const std::shared_ptr<EdgeConnection>& connection, DeviceLink& link);
  void Detach(const std::shared_ptr<EdgeConnection>& connection);
  void ReadConnection(EdgeConnection& connection);
  void HandleFrames(EdgeConnection& connection, FrameStream& stream, TunWriter& device);

  // Packet device to edges (relay_hub_device.cc). Packets read from the device in one pass,
  // at most.
  static constexpr size_t kDeviceBatch = 32;
  // What one pass over the packet device sends: consecutive WebSocket frames bound for one
  // edge go out with one system call, and all UDP datagrams of the pass with another.
  struct PassBatch {
    std::shared_ptr<EdgeConnection> frameConnection;
    RelayCounters* frameCounters = nullptr;
    iovec frames[kDeviceBatch];
    size_t frameCount = 0;
    size_t frameBytes = 0;  // packet bytes without headers, for the counters

    mmsghdr datagrams[kDeviceBatch];
    iovec datagramParts[kDeviceBatch];
    sockaddr_in peers[kDeviceBatch];
    uint8_t* datagramPackets[kDeviceBatch];
    std::shared_ptr<EdgeConnection> datagramConnections[kDeviceBatch];
    size_t datagramCount = 0;
  };

  void PacketDeviceLoop();
  // Reads up to kDeviceBatch packets into `slots`; false when the loop must end. With
  // `offloaded` (a device with read offloads) one read may fill the pass and more: a full
  // pass is then sent before the rest is written into the emptied slots.
  bool ReadBatch(std::vector<uint8_t>& slots, size_t (&sizes)[kDeviceBatch], size_t& count,
                 bool& drained, OffloadedReader* offloaded, PassBatch& batch);
  // Sends the `count` packets in `slots` to their edges and empties the pass.
  void SendPass(std::vector<uint8_t>& slots, const size_t (&sizes)[kDeviceBatch], size_t& count,
                PassBatch& batch);
  bool RouteLocked(const uint8_t* packet, size_t size, Route& route);
  void SendToEdge(uint8_t* packet, size_t size, PassBatch& batch);
  void AddFrame(const std::shared_ptr<EdgeConnection>& connection, uint8_t* packet, size_t size,
                PassBatch& batch);
  void FlushFrames(PassBatch& batch);
  void FlushDatagrams(PassBatch& batch);

  // UDP channels (relay_hub_udp.cc).
  void UdpLoop();
  // Where the UDP reader writes packets from edges, and whose packets it holds.
  struct UdpDelivery;
  void HandleUdpDatagram(const uint8_t* datagram, size_t size, const sockaddr_in& from,
                         UdpDelivery& delivery);
  void HandleProbe(const uint8_t* datagram, size_t size, const sockaddr_in& from);
  uint64_t NewChannelIdLocked();

  RelayHubOptions options_;
  UniqueFd udpSocket_;
  UniqueFd wakeFd_;  // eventfd: tells the reader threads to stop
  std::thread deviceThread_;
  std::thread udpThread_;
  std::atomic<bool> stopping_{false};
  bool segmentUdp_ = true;  // UDP segmentation offload works; packet device thread only
  std::atomic<uint64_t> unroutable_{0};

  mutable std::mutex mutex_;
  RouteTable routes_;
  std::unordered_map<std::string, std::shared_ptr<DeviceLink>> links_;
  std::unordered_map<uint64_t, std::shared_ptr<EdgeConnection>> udpChannels_;
  std::mt19937_64 random_;
  int activeConnections_ = 0;
  std::condition_variable connectionsDone_;
};

}  // namespace larkspire
