#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace larkspire {

// Packets and bytes carried for one device on one channel, in each direction. Written by
// the relay threads without a lock (relaxed atomics: each figure is a plain tally), read by
// the devices listing.
struct ChannelCounters {
  std::atomic<uint64_t> packetsToEdge{0};
  std::atomic<uint64_t> bytesToEdge{0};
  std::atomic<uint64_t> packetsFromEdge{0};
  std::atomic<uint64_t> bytesFromEdge{0};

  void CountToEdge(size_t bytes) {
    packetsToEdge.fetch_add(1, std::memory_order_relaxed);
    bytesToEdge.fetch_add(bytes, std::memory_order_relaxed);
  }
  void CountFromEdge(size_t bytes, size_t packets = 1) {
    packetsFromEdge.fetch_add(packets, std::memory_order_relaxed);
    bytesFromEdge.fetch_add(bytes, std::memory_order_relaxed);
  }
  std::string ToJson() const;
};

// Everything the relay tallies for one device over the devhub's lifetime.
struct RelayCounters {
  ChannelCounters webSocket;
  ChannelCounters udp;
  // Packets that could not be delivered: to an edge whose channel broke mid-send, or into
  // the packet device when it refused them.
  std::atomic<uint64_t> dropped{0};
  std::atomic<uint64_t> webSocketConnections{0};  // accepted relay handshakes
  std::atomic<uint64_t> udpChannels{0};           // channel identifiers granted

  void CountDrop(size_t packets = 1) { dropped.fetch_add(packets, std::memory_order_relaxed); }
};

}  // namespace larkspire
