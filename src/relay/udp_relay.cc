#include "relay/udp_relay.h"

#include <netdb.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "hub/url.h"
#include "util/logger.h"
#include "util/metrics.h"
#include "util/run_flag.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

constexpr int kProbeAttempts = 4;
constexpr std::chrono::milliseconds kProbeWait{900};
constexpr std::chrono::seconds kReceiveWait{2};

// Receives one datagram into `buffer`. MSG_TRUNC reports the real length, so a datagram
// larger than the buffer is recognised and refused instead of being taken cut short.
std::span<const uint8_t> ReceiveDatagram(int fd, std::span<uint8_t> buffer) {
  const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
  if (n <= 0 || static_cast<size_t>(n) > buffer.size()) {
    return {};
  }
  return buffer.first(static_cast<size_t>(n));
}

}  // namespace

void UdpRelay::Connect(const std::string& serverUrl, const std::string& deviceNumber,
                       const std::string& deviceSecret, const std::function<bool()>& worthProbing) {
  Close();
  if (!OpenSocket(serverUrl)) {
    return;
  }
  if (!Probe(deviceNumber, deviceSecret, worthProbing)) {
    Close();
    if (g_running.load()) {
      CountUp(g_metrics.udpProbesTimedOut);
      g_log.Write("WARN", "UDP relay probe timed out; WebSocket relay remains active.");
    }
    return;
  }
  SetTimeout(fd_, SO_RCVTIMEO, kReceiveWait);
  // Runs of datagrams the Hub sent together may then arrive as one message; refused by an
  // older kernel, which is fine: they arrive one by one.
  SetIntOption(fd_, SOL_UDP, UDP_GRO, 1);
  batchNext_ = batchReceived_ = 0;
  segmentOffset_ = 0;
  connected_ = true;
  CountUp(g_metrics.udpProbesAccepted);
  g_log.Write("INFO", "UDP relay connected.");
}

bool UdpRelay::OpenSocket(const std::string& serverUrl) {
  ParsedUrl url;
  try {
    url = ParseUrl(NormalizeServerUrl(serverUrl));
  } catch (const std::exception&) {
    g_log.Write("WARN", "UDP relay resolve failed.");
    return false;
  }
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd_ < 0) {
    g_log.Write("WARN", "UDP relay socket failed.");
    return false;
  }
  SetSocketBuffers(fd_);

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    if (found != nullptr) {
      ::freeaddrinfo(found);
    }
    g_log.Write("WARN", "UDP relay resolve failed.");
    Close();
    return false;
  }
  std::memcpy(&peer_, found->ai_addr, sizeof peer_);
  ::freeaddrinfo(found);
  // Connected, the socket takes datagrams from the Hub's address and port alone: anyone else
  // on the path could otherwise answer the probe or slip packets into the tunnel.
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_) != 0) {
    g_log.Write("WARN", "UDP relay connect failed.");
    Close();
    return false;
  }
  return true;
}

bool UdpRelay::Probe(const std::string& deviceNumber, const std::string& deviceSecret,
                     const std::function<bool()>& worthProbing) {
  SetTimeout(fd_, SO_RCVTIMEO, kProbeWait);
  const std::vector<uint8_t> probe = BuildUdpProbe(deviceNumber, deviceSecret);
  // Each attempt examines one datagram; the connected socket lets only the Hub's through.
  for (int attempt = 0;
       attempt < kProbeAttempts && g_running.load() && (!worthProbing || worthProbing());
       ++attempt) {
    SendDatagram(probe.data(), probe.size());
    const uint64_t channelId = ParseUdpProbeReply(ReceiveDatagram(fd_, recvBuffer_));
    if (channelId != 0) {
      channelId_ = channelId;
      return true;
    }
  }
  return false;
}

void UdpRelay::SendPacketsInPlace(std::span<const std::span<uint8_t>> packets,
                                  const DatagramOutcome& outcome) {
  if (!connected_.load()) {
    for (const std::span<uint8_t>& packet : packets) {
      outcome(packet, false);
    }
    return;
  }
  while (!packets.empty()) {
    const size_t count = std::min(packets.size(), kSendBatch);
    SendChunk(packets.first(count), outcome);
    packets = packets.subspan(count);
  }
}

void UdpRelay::SendChunk(std::span<const std::span<uint8_t>> packets,
                         const DatagramOutcome& outcome) {
  // Well below the 64 KiB a UDP datagram can hold before the kernel cuts it.
  constexpr size_t kMaxSegmentedBytes = 60000;
  struct Group {
    size_t first = 0;
    size_t count = 0;
    size_t bytes = 0;
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(uint16_t))];
  };
  const size_t total = packets.size();
  iovec parts[kSendBatch];
  Group groups[kSendBatch];
  mmsghdr messages[kSendBatch];
  for (size_t i = 0; i < total; ++i) {
    uint8_t* datagram = packets[i].data() - kUdpDataHeaderSize;
    WriteUdpDataHeader(datagram, channelId_);
    parts[i] = {datagram, kUdpDataHeaderSize + packets[i].size()};
  }
  size_t groupCount = 0;
  for (size_t i = 0; i < total;) {
    Group& group = groups[groupCount];
    group.first = i;
    group.count = 0;
    group.bytes = 0;
    const size_t size = parts[i].iov_len;
    while (i < total && parts[i].iov_len == size && group.bytes + size <= kMaxSegmentedBytes &&
           (group.count == 0 || segment_)) {
      group.bytes += size;
      ++group.count;
      ++i;
    }
    messages[groupCount] = {};
    msghdr& header = messages[groupCount].msg_hdr;
    header.msg_iov = &parts[group.first];  // the parts of one group lie next to each other
    header.msg_iovlen = group.count;
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
  // sendmmsg stops at the first message that fails and reports what went before it; the
  // failed one is given up (it may still go another way) and the rest are tried again, as
  // separate sends would have been.
  bool sent[kSendBatch] = {};
  for (size_t next = 0; next < groupCount;) {
    const int result = sendBatch_(fd_, messages + next, static_cast<unsigned>(groupCount - next),
                                  MSG_NOSIGNAL);
    if (result > 0) {
      for (size_t g = next; g < next + static_cast<size_t>(result); ++g) {
        sent[g] = messages[g].msg_len == groups[g].bytes;
      }
      next += static_cast<size_t>(result);
    } else if (result < 0 && errno == EINTR) {
      continue;
    } else {
      if (groups[next].count > 1 && (errno == EINVAL || errno == EIO || errno == EOPNOTSUPP)) {
        segment_ = false;
      }
      ++next;
    }
  }
  for (size_t g = 0; g < groupCount; ++g) {
    for (size_t i = groups[g].first; i < groups[g].first + groups[g].count; ++i) {
      outcome(packets[i], sent[g]);
    }
  }
}

bool UdpRelay::SendDatagram(const uint8_t* datagram, size_t length) {
  const ssize_t sent = ::send(fd_, datagram, length, MSG_NOSIGNAL);
  return sent == static_cast<ssize_t>(length);
}

bool UdpRelay::ReceivePacket(std::span<const uint8_t>& packet,
                             const std::function<void()>& beforeWait) {
  if (!HasQueuedPacket()) {
    // What is queued already is taken without waiting, so the caller's held packets go out
    // only before a receive that would wait and can grow into larger writes meanwhile.
    const int queued = ReceiveBatch(MSG_DONTWAIT);
    if (queued < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (beforeWait) {
        beforeWait();
      }
      if (ReceiveBatch(MSG_WAITFORONE) <= 0) {
        return false;
      }
    } else if (queued <= 0) {
      return false;
    }
  }
  const std::span<const uint8_t> datagram = NextQueuedDatagram();
  UdpData data;
  if (datagram.empty() || !ParseUdpData(datagram, data) || data.channelId != channelId_) {
    return false;
  }
  packet = data.packet;
  return true;
}

int UdpRelay::ReceiveBatch(int flags) {
  batchNext_ = batchReceived_ = 0;
  segmentOffset_ = 0;
  if (batchBuffer_.empty()) {
    batchBuffer_.resize(kReceiveBatch * kReceiveSlot);
  }
  for (size_t i = 0; i < kReceiveBatch; ++i) {
    batchSlots_[i] = {batchBuffer_.data() + i * kReceiveSlot, kReceiveSlot};
    batchMessages_[i] = {};
    batchMessages_[i].msg_hdr.msg_iov = &batchSlots_[i];
    batchMessages_[i].msg_hdr.msg_iovlen = 1;
    batchMessages_[i].msg_hdr.msg_control = batchControl_[i].bytes;
    batchMessages_[i].msg_hdr.msg_controllen = sizeof batchControl_[i].bytes;
  }
  const int n = ::recvmmsg(fd_, batchMessages_.data(), kReceiveBatch, flags, nullptr);
  if (n > 0) {
    batchReceived_ = static_cast<size_t>(n);
  }
  return n;
}

namespace {

// The size of the datagrams a coalesced message holds, or 0 for a single datagram.
size_t CoalescedSegmentSize(const msghdr& message) {
  for (const cmsghdr* option = CMSG_FIRSTHDR(&message); option != nullptr;
       option = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(option))) {
    if (option->cmsg_level == SOL_UDP && option->cmsg_type == UDP_GRO) {
      int size = 0;
      std::memcpy(&size, CMSG_DATA(option), sizeof size);
      return size > 0 ? static_cast<size_t>(size) : 0;
    }
  }
  return 0;
}

}  // namespace

// With receive coalescing one message may hold a run of datagrams of one size (the last one
// may be shorter); the size comes with it. Hands them out one by one.
std::span<const uint8_t> UdpRelay::NextQueuedDatagram() {
  const mmsghdr& message = batchMessages_[batchNext_];
  const uint8_t* bytes = static_cast<const uint8_t*>(batchSlots_[batchNext_].iov_base);
  const size_t segment = CoalescedSegmentSize(message.msg_hdr);
  const size_t offset = segmentOffset_;
  const size_t rest = message.msg_len - offset;
  const size_t length = segment == 0 ? rest : std::min(segment, rest);
  segmentOffset_ += length;
  // A message larger than its slot arrives cut short: all of it is refused, not taken.
  const bool truncated = (message.msg_hdr.msg_flags & MSG_TRUNC) != 0;
  if (segmentOffset_ >= message.msg_len || truncated || length == 0) {
    ++batchNext_;
    segmentOffset_ = 0;
  }
  if (truncated) {
    return {};
  }
  return {bytes + offset, length};
}

void UdpRelay::Interrupt() {
  connected_ = false;
  if (fd_ >= 0) {
    // Also on an unconnected UDP socket this wakes a thread blocked in recvfrom.
    ::shutdown(fd_, SHUT_RDWR);
  }
}

void UdpRelay::Close() {
  connected_ = false;
  channelId_ = 0;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace larkspire
