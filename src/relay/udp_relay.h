#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "relay/udp_datagram.h"

namespace larkspire {

// The optional UDP relay channel: a probe gets a channel identifier from the Hub, then data
// datagrams carry small IPv4 UDP packets both ways. The relay thread connects and sends; the
// UDP reader thread receives. Nothing here throws; failures are logged and leave it down.
class UdpRelay {
 public:
  // How a batch of datagrams reaches the socket: sendmmsg(2), or a stand-in in tests.
  using SendBatch = int (*)(int fd, mmsghdr* messages, unsigned int count, int flags);
  // Told of each packet of a batch whether it left as a datagram.
  using DatagramOutcome = std::function<void(std::span<uint8_t> packet, bool sent)>;

  explicit UdpRelay(SendBatch sendBatch = ::sendmmsg) : sendBatch_(sendBatch) {}
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;
  ~UdpRelay() { Close(); }

  // Probes the Hub for a channel. `worthProbing`, when given, is asked before each probe
  // attempt: once it says no (the WebSocket channel it would accompany has failed), the
  // probe ends at once instead of holding up the reconnect.
  void Connect(const std::string& serverUrl, const std::string& deviceNumber,
               const std::string& deviceSecret,
               const std::function<bool()>& worthProbing = nullptr);

  // Sends packets (each at most kMaxUdpPacket bytes) as data datagrams without copying
  // them: the kUdpDataHeaderSize bytes in front of each packet must be writable; the packets
  // themselves are left unchanged, so each can still go another way. The channel stays up
  // whatever happens. As few system calls as it can: runs of equal-sized datagrams
  // leave as one segmented send (the kernel cuts them into the same datagrams), and the
  // whole batch with one sendmmsg. A datagram that fails does not hold up the ones after it.
  // `outcome` is told of every packet, in order, whether it left.
  void SendPacketsInPlace(std::span<const std::span<uint8_t>> packets,
                          const DatagramOutcome& outcome);

  // Waits up to 2 seconds for one valid data datagram of this channel. `packet` points
  // into the receive buffer until the next call. `beforeWait`, when given, is called before
  // a receive that would wait, so whatever the caller holds back can go out first. Reader
  // thread only.
  bool ReceivePacket(std::span<const uint8_t>& packet,
                     const std::function<void()>& beforeWait = nullptr);

  // Marks the channel down and wakes a blocked reader; the descriptor stays open so its
  // number cannot be reused under the reader.
  void Interrupt();
  // Interrupt plus closing the socket; safe at any time.
  void Close();

  bool IsConnected() const { return connected_.load(); }
  uint64_t channelId() const { return channelId_; }

 private:
  bool OpenSocket(const std::string& serverUrl);
  bool Probe(const std::string& deviceNumber, const std::string& deviceSecret,
             const std::function<bool()>& worthProbing);
  bool SendDatagram(const uint8_t* datagram, size_t length);
  // Datagrams already taken from the socket wait to be handed out.
  bool HasQueuedPacket() const { return batchNext_ < batchReceived_; }
  // Takes the next messages from the socket with recvmmsg `flags`: MSG_DONTWAIT takes what
  // is queued, MSG_WAITFORONE waits (up to the receive time-out) for the first datagram
  // only. recvmmsg's result: the count, or -1 with errno.
  int ReceiveBatch(int flags);
  // The next queued datagram, or empty for one that must be refused. Needs HasQueuedPacket.
  std::span<const uint8_t> NextQueuedDatagram();

  // Sends up to kSendBatch packets; see SendPacketsInPlace.
  static constexpr size_t kSendBatch = 64;
  void SendChunk(std::span<const std::span<uint8_t>> packets, const DatagramOutcome& outcome);

  SendBatch sendBatch_;
  // A kernel that refuses segmented sends gets one datagram per message from then on.
  bool segment_ = true;
  int fd_ = -1;
  std::atomic<bool> connected_{false};
  uint64_t channelId_ = 0;
  sockaddr_in peer_{};
  std::array<uint8_t, kMaxUdpDatagram> recvBuffer_{};  // the probe reply

  // Data datagrams taken from the socket together, handed out one per ReceivePacket: under
  // load one system call brings many instead of one each. With receive coalescing on, the
  // kernel may join a run of datagrams into one message of up to 64 KiB.
  static constexpr size_t kReceiveBatch = 16;
  static constexpr size_t kReceiveSlot = 65536;
  struct Control {
    alignas(cmsghdr) uint8_t bytes[CMSG_SPACE(sizeof(int))];
  };
  std::vector<uint8_t> batchBuffer_;  // kReceiveBatch slots of kReceiveSlot bytes
  std::array<iovec, kReceiveBatch> batchSlots_{};
  std::array<mmsghdr, kReceiveBatch> batchMessages_{};
  std::array<Control, kReceiveBatch> batchControl_{};
  size_t batchReceived_ = 0;
  size_t batchNext_ = 0;
  size_t segmentOffset_ = 0;  // within message batchNext_
};

}  // namespace larkspire
