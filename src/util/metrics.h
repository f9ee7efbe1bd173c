#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace larkspire {

// Traffic of one relay channel. "ToHub" is what the edge read from the TUN device and sent;
// "FromHub" is what it received and wrote into the TUN device. Bytes are IP packet bytes,
// without the channel's own framing.
struct ChannelCounters {
  std::atomic<uint64_t> packetsToHub{0};
  std::atomic<uint64_t> bytesToHub{0};
  std::atomic<uint64_t> packetsFromHub{0};
  std::atomic<uint64_t> bytesFromHub{0};
  std::atomic<bool> up{false};
};

// Process-wide operating counters, written by the relay threads and the heartbeat and read
// by the web server. Every access is a relaxed atomic: the packet path takes no lock, and a
// reader only needs each number to be a value it really had, not a consistent set.
struct EdgeMetrics {
  ChannelCounters webSocket;
  ChannelCounters udp;
  std::atomic<uint64_t> relayConnectionsMade{0};
  std::atomic<uint64_t> relayConnectionsLost{0};
  std::atomic<uint64_t> udpProbesAccepted{0};
  std::atomic<uint64_t> udpProbesTimedOut{0};
  std::atomic<uint64_t> heartbeatsAccepted{0};
  std::atomic<uint64_t> heartbeatsFailed{0};
  // Seconds since the epoch of the last accepted heartbeat; 0 until one is accepted.
  std::atomic<int64_t> lastHeartbeatAcceptedTime{0};
  // Packets from the Hub that the TUN device did not take.
  std::atomic<uint64_t> tunDroppedPackets{0};
  // Packets from the Hub that the relay refused to write to the TUN device, by reason.
  struct {
    std::atomic<uint64_t> notIpv4{0};
    std::atomic<uint64_t> sourceOutsideOverlay{0};
    std::atomic<uint64_t> destinationNotShared{0};
  } hubPacketsRefused;
  // Gateway rules that another tool removed and the rule watcher added back.
  std::atomic<uint64_t> gatewayRulesRestored{0};
  // Seconds since the epoch, fixed when the program starts.
  const int64_t processStartTime;

  EdgeMetrics();
};

extern EdgeMetrics g_metrics;

inline void CountUp(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
  counter.fetch_add(amount, std::memory_order_relaxed);
}
inline void CountPacket(std::atomic<uint64_t>& packets, std::atomic<uint64_t>& bytes,
                        size_t length) {
  CountUp(packets);
  CountUp(bytes, length);
}
inline void SetUp(std::atomic<bool>& flag, bool up) {
  flag.store(up, std::memory_order_relaxed);
}

// A plain copy of the counters at one moment.
struct MetricsSnapshot {
  struct Channel {
    uint64_t packetsToHub = 0;
    uint64_t bytesToHub = 0;
    uint64_t packetsFromHub = 0;
    uint64_t bytesFromHub = 0;
    bool up = false;
  };
  Channel webSocket;
  Channel udp;
  uint64_t relayConnectionsMade = 0;
  uint64_t relayConnectionsLost = 0;
  uint64_t udpProbesAccepted = 0;
  uint64_t udpProbesTimedOut = 0;
  uint64_t heartbeatsAccepted = 0;
  uint64_t heartbeatsFailed = 0;
  int64_t lastHeartbeatAcceptedTime = 0;
  uint64_t tunDroppedPackets = 0;
  struct {
    uint64_t notIpv4 = 0;
    uint64_t sourceOutsideOverlay = 0;
    uint64_t destinationNotShared = 0;
  } hubPacketsRefused;
  uint64_t gatewayRulesRestored = 0;
  int64_t processStartTime = 0;
};

MetricsSnapshot TakeMetricsSnapshot(const EdgeMetrics& metrics = g_metrics);

// The counters in the Prometheus text exposition format (version 0.0.4), every family with
// its HELP and TYPE lines.
std::string RenderPrometheusText(const MetricsSnapshot& snapshot);
inline constexpr const char* kPrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

// The relay part of the snapshot as one compact JSON object, for the health reply.
std::string RenderMetricsJson(const MetricsSnapshot& snapshot);

}  // namespace larkspire
