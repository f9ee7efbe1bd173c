// One relay connection: how packets flow and which thread carries them.
//
//            service thread (pump)                      Hub
//   TUN --read--> RouteToHub -> PacketBatch --small IPv4 UDP--> UdpRelay ------> UDP channel
//   (a read of up to 64 KiB is   |
//   first cut into packets of    +--everything else--> WebSocketRelay ----> WebSocket
//   the tunnel MTU: OffloadedReader)  (and datagrams UDP could not send)
//
//            WebSocket reader thread
//   TUN <--TunWriter <-- IngressFilter <-- WebSocketRelay::ReadMessage <-- WebSocket
//                                          (answers pings under the send lock)
//            UDP reader thread
//   TUN <--TunWriter <-- IngressFilter <-- UdpRelay::ReceivePacket <------ UDP channel
//
// Each reader has its own TunWriter, which may hold back a run of one flow to write it
// merged; it is flushed before every receive that would wait, so nothing held waits for
// the Hub. The pump stops when the WebSocket channel fails or g_running is cleared; the
// connection's teardown (ConnectionThreads) then wakes and joins both readers before the
// sockets are closed.

#include "relay/relay_session.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "hub/url.h"
#include "relay/channel_choice.h"
#include "relay/packet_batch.h"
#include "relay/tun_writer.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"
#include "util/defaults.h"
#include "util/logger.h"
#include "util/metrics.h"
#include "util/rate_limited_log.h"
#include "util/run_flag.h"
#include "util/thread_start.h"

namespace larkspire {
namespace {

constexpr int kPumpWaitMilliseconds = 1000;
// Bounds the work done between two looks at the stop conditions under full load.
constexpr int kMaxPacketsPerWake = 256;

RateLimitedLog g_webSocketRefusals;
RateLimitedLog g_udpRefusals;

// A packet the device refused counts as dropped at the TUN.
TunWriter::Report WarnOfRefusal(RateLimitedLog& log, const char* warning) {
  return [&log, warning](bool written, size_t packets, size_t) {
    if (!written) {
      CountUp(g_metrics.tunDroppedPackets, packets);
      log.Warn(warning);
    }
  };
}

// Only what the filter lets in is written and counted as carried.
void Deliver(std::span<const uint8_t> packet, const IngressFilter& filter, TunWriter& writer,
             ChannelCounters& counters) {
  const IngressFilter::Verdict verdict = filter.Check(packet);
  if (verdict != IngressFilter::Verdict::kPass) {
    ReportIngressDrop(verdict, packet);
    return;
  }
  CountPacket(counters.packetsFromHub, counters.bytesFromHub, packet.size());
  writer.Write(packet);
}

// Packets held back for merging go out before any wait for the Hub: a packet followed by a
// ping, a text frame or a datagram of another channel must not wait for the next data.
void CarryWebSocketToDevice(WebSocketRelay& webSocket, PacketDevice device,
                            const IngressFilter& filter) {
  TunWriter writer(device,
                   WarnOfRefusal(g_webSocketRefusals, "Failed to write WebSocket packet to TUN."));
  const std::function<void()> flush = [&writer] { writer.Flush(); };
  std::span<const uint8_t> message;
  while (g_running.load() && webSocket.IsConnected() && webSocket.ReadMessage(message, flush)) {
    Deliver(message, filter, writer, g_metrics.webSocket);
  }
  writer.Flush();
}

void CarryUdpToDevice(UdpRelay& udp, PacketDevice device, const IngressFilter& filter) {
  TunWriter writer(device, WarnOfRefusal(g_udpRefusals, "Failed to write UDP packet to TUN."));
  const std::function<void()> flush = [&writer] { writer.Flush(); };
  std::span<const uint8_t> packet;
  while (g_running.load() && udp.IsConnected()) {
    if (udp.ReceivePacket(packet, flush)) {
      Deliver(packet, filter, writer, g_metrics.udp);
    }
  }
  writer.Flush();
}

// Owns the two reader threads of one connection. Its destructor is the connection's
// teardown: mark both channels down and wake the readers, join them, then close the
// sockets, so no reader can touch a descriptor number after it was closed and reused.
class ConnectionThreads {
 public:
  ConnectionThreads(WebSocketRelay& webSocket, UdpRelay& udp) : webSocket_(webSocket), udp_(udp) {}
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  ~ConnectionThreads() {
    SetUp(g_metrics.webSocket.up, false);
    SetUp(g_metrics.udp.up, false);
    webSocket_.Interrupt();
    udp_.Interrupt();
    for (std::thread* reader : {&webSocketReader_, &udpReader_}) {
      if (reader->joinable()) {
        reader->join();
      }
    }
    webSocket_.Close();
    udp_.Close();
  }

  // Both throw ThreadStartError; a reader already started is then joined by the destructor.
  void StartWebSocketReader(PacketDevice device, const IngressFilter& filter) {
    webSocketReader_ = StartThread("WebSocket reader", [&] {
      return std::thread(CarryWebSocketToDevice, std::ref(webSocket_), device, std::cref(filter));
    });
  }
  void StartUdpReader(PacketDevice device, const IngressFilter& filter) {
    udpReader_ = StartThread("UDP reader", [&] {
      return std::thread(CarryUdpToDevice, std::ref(udp_), device, std::cref(filter));
    });
  }

 private:
  WebSocketRelay& webSocket_;
  UdpRelay& udp_;
  std::thread webSocketReader_;
  std::thread udpReader_;
};

// The pump drains the device without blocking after each wake-up; the descriptor's own
// flags are restored afterwards because it belongs to the caller.
class NonBlockingScope {
 public:
  explicit NonBlockingScope(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
    if (flags_ >= 0) {
      ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    }
  }
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;
  ~NonBlockingScope() {
    if (flags_ >= 0) {
      ::fcntl(fd_, F_SETFL, flags_);
    }
  }

 private:
  int fd_;
  int flags_;
};

// Small IPv4 UDP packets are meant for the UDP channel when it is up, everything else for
// the WebSocket channel; both leave together when the batch is flushed.
void RouteToHub(PacketBatch& batch, size_t length, UdpRelay& udp) {
  const bool datagram = udp.IsConnected() && QualifiesForUdpChannel(batch.NextSlot(), length);
  batch.Add(length, datagram ? PacketBatch::Channel::kUdp : PacketBatch::Channel::kWebSocket);
}

// Sends the batched packets to the Hub, the datagrams first; a datagram the UDP channel
// could not send goes over WebSocket instead. False when the WebSocket channel failed.
bool FlushToHub(PacketBatch& batch, WebSocketRelay& webSocket, UdpRelay& udp) {
  if (batch.empty()) {
    return true;
  }
  udp.SendPacketsInPlace(batch.datagrams(), [&batch](std::span<uint8_t> packet, bool sent) {
    if (sent) {
      CountPacket(g_metrics.udp.packetsToHub, g_metrics.udp.bytesToHub, packet.size());
    } else {
      batch.MoveToWebSocket(packet);
    }
  });
  const bool sent = batch.packets().empty() || webSocket.SendPacketsInPlace(batch.packets());
  if (sent) {
    for (const std::span<uint8_t>& packet : batch.packets()) {
      CountPacket(g_metrics.webSocket.packetsToHub, g_metrics.webSocket.bytesToHub, packet.size());
    }
  }
  batch.Clear();
  // A send abandoned because the program is stopping is not a relay failure.
  if (!sent && g_running.load()) {
    g_log.Write("WARN", "Relay packet send failed; reconnecting relay.");
  }
  return sent;
}

enum class DrainResult { kDrained, kChannelFailed, kDeviceFailed };

// Where the pump reads from: straight into the batch's next slot, or, for a device with read
// offloads, into the reader's own buffer to be cut into the batch's slots.
struct DeviceSource {
  PacketDevice device;
  OffloadedReader* offloaded;  // null without read offloads
};

// Queues the packet in the batch's next slot; false when a full batch could not be sent.
bool Queue(size_t length, PacketBatch& batch, WebSocketRelay& webSocket, UdpRelay& udp) {
  RouteToHub(batch, length, udp);
  return !batch.full() || FlushToHub(batch, webSocket, udp);
}

// What ReadIntoBatch returns when the WebSocket channel failed under it.
constexpr ssize_t kChannelFailedRead = -2;

// One read; as read(2), or kChannelFailedRead.
ssize_t ReadIntoBatch(DeviceSource source, PacketBatch& batch, WebSocketRelay& webSocket,
                      UdpRelay& udp) {
  if (source.offloaded == nullptr) {
    const ssize_t n = ReadPacket(source.device, batch.NextSlot(), PacketBatch::kMaxPacket);
    return n > 0 && !Queue(static_cast<size_t>(n), batch, webSocket, udp) ? kChannelFailedRead : n;
  }
  OffloadedReader& reader = *source.offloaded;
  const ssize_t n = reader.Read(source.device.fd);
  for (size_t i = 0; n > 0 && i < reader.pieces(); ++i) {
    if (!Queue(reader.WritePiece(i, batch.NextSlot()), batch, webSocket, udp)) {
      return kChannelFailedRead;
    }
  }
  return n;
}

// Reads every packet that is ready and sends them on in batches: a burst costs one send
// per batch, and a lone packet still leaves as soon as the device has nothing more.
DrainResult DrainDevice(DeviceSource source, PacketBatch& batch, WebSocketRelay& webSocket,
                        UdpRelay& udp) {
  DrainResult result = DrainResult::kDrained;
  for (int count = 0; count < kMaxPacketsPerWake; ++count) {
    const ssize_t n = ReadIntoBatch(source, batch, webSocket, udp);
    if (n == kChannelFailedRead) {
      return DrainResult::kChannelFailed;
    }
    if (n <= 0) {
      if (!(n < 0 && (errno == EAGAIN || errno == EINTR))) {
        result = DrainResult::kDeviceFailed;
      }
      break;
    }
  }
  // What was read before a device failure still goes out.
  return FlushToHub(batch, webSocket, udp) ? result : DrainResult::kChannelFailed;
}

void PumpDeviceToHub(DeviceSource source, PacketBatch& batch, WebSocketRelay& webSocket,
                     UdpRelay& udp) {
  const PacketDevice device = source.device;
  NonBlockingScope nonBlocking(device.fd);
  while (g_running.load() && webSocket.IsConnected()) {
    pollfd wait{device.fd, POLLIN, 0};
    if (::poll(&wait, 1, kPumpWaitMilliseconds) <= 0) {
      continue;  // time-out or a signal: look at the stop conditions again
    }
    const DrainResult result = DrainDevice(source, batch, webSocket, udp);
    if (result == DrainResult::kChannelFailed) {
      return;
    }
    if (result == DrainResult::kDeviceFailed) {
      // A device that reports an error or end of file would wake the pump at once forever.
      g_log.Write("WARN", "TUN device read failed; reconnecting relay.");
      return;
    }
  }
}

}  // namespace

void RelayOneConnection(PacketDevice device, const RelayEndpoint& endpoint,
                        const IngressFilter& filter, WebSocketRelay& webSocket, UdpRelay& udp) {
  webSocket.Connect(endpoint.serverUrl, endpoint.deviceNumber, endpoint.deviceSecret,
                    endpoint.trust);
  CountUp(g_metrics.relayConnectionsMade);
  SetUp(g_metrics.webSocket.up, true);
  ConnectionThreads threads(webSocket, udp);
  // The WebSocket reader runs during the UDP probe, so a Hub that fails in the meantime is
  // noticed and the probe (seconds when unanswered) does not delay the reconnect.
  threads.StartWebSocketReader(device, filter);
  if (IsTlsScheme(ParseUrl(NormalizeServerUrl(endpoint.serverUrl)).scheme)) {
    // Datagrams carry the device secret and the packets in clear; over an encrypted link
    // everything stays inside it.
    g_log.Write("INFO", "UDP relay off: the Hub link is encrypted, so every packet goes over it.");
  } else {
    udp.Connect(endpoint.serverUrl, endpoint.deviceNumber, endpoint.deviceSecret,
                [&webSocket] { return webSocket.IsConnected(); });
  }
  SetUp(g_metrics.udp.up, udp.IsConnected());
  threads.StartUdpReader(device, filter);
  // One batch buffer per connection, with room in front of each packet for either
  // channel's header.
  PacketBatch batch;
  std::optional<OffloadedReader> offloaded;
  if (device.readOffload) {
    offloaded.emplace(kTunnelMtu);
  }
  PumpDeviceToHub({device, offloaded ? &*offloaded : nullptr}, batch, webSocket, udp);
  // A connection that ends while the service keeps running was lost, not stopped.
  if (g_running.load()) {
    CountUp(g_metrics.relayConnectionsLost);
  }
}

}  // namespace larkspire
