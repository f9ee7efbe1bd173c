#include "support/fake_hub.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "relay/udp_datagram.h"
#include "util/fd.h"

namespace larkspire::testing {
namespace {

using namespace std::chrono_literals;
// Generous: a slow sanitizer build must never make a test fail by waiting too little.
constexpr auto kPatience = 10s;
constexpr int kPatienceMilliseconds = 10000;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A TCP listener and a UDP socket on the same free port number.
void BindPair(int& listenFd, int& udpFd, int& port) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    udpFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::bind(udpFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listenFd, 8) == 0) {
      return;
    }
    ::close(listenFd);
    ::close(udpFd);
  }
  throw std::runtime_error("fake hub: no free port pair");
}

}  // namespace

FakeHub::FakeHub(Options options) : options_(options) {
  BindPair(listenFd_, udpFd_, port_);
  acceptThread_ = std::thread(&FakeHub::AcceptLoop, this);
  udpThread_ = std::thread(&FakeHub::UdpLoop, this);
}

FakeHub::~FakeHub() {
  stopping_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  ::shutdown(udpFd_, SHUT_RDWR);
  acceptThread_.join();
  udpThread_.join();
  Disconnect();
  ::close(listenFd_);
  ::close(udpFd_);
}

void FakeHub::AcceptLoop() {
  while (!stopping_) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    std::string head;
    char byte;
    while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &byte, 1, 0) == 1) {
      head += byte;
    }
    const std::string reply = options_.upgradeStatus == 101
                                  ? "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                    "Connection: Upgrade\r\n\r\n"
                                  : "HTTP/1.1 " + std::to_string(options_.upgradeStatus) +
                                        " Refused\r\nContent-Length: 0\r\n\r\n";
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    std::lock_guard lock(mutex_);
    if (options_.upgradeStatus != 101) {
      ::close(fd);
    } else {
      if (connectionFd_ >= 0) {
        ::close(connectionFd_);
      }
      connectionFd_ = fd;
    }
    upgrades_.push_back(head);
    changed_.notify_all();
  }
}

void FakeHub::UdpLoop() {
  uint8_t buffer[2048];
  uint64_t nextChannelId = 0x0102030405060708ULL;
  while (!stopping_) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(udpFd_, buffer, sizeof buffer, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0) {
      continue;
    }
    const std::span<const uint8_t> datagram(buffer, static_cast<size_t>(n));
    UdpProbe probe;
    UdpData data;
    std::lock_guard lock(mutex_);
    edgeUdpAddress_ = from;
    haveEdgeUdpAddress_ = true;
    if (ParseUdpProbe(datagram, probe)) {
      ++probes_;
      if (options_.answerProbes) {
        channelId_ = nextChannelId++;
        uint8_t reply[kUdpProbeReplySize];
        WriteUdpProbeReply(reply, channelId_);
        ::sendto(udpFd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
      }
    } else if (ParseUdpData(datagram, data) && data.channelId == channelId_) {
      udpPackets_.emplace_back(data.packet.begin(), data.packet.end());
      changed_.notify_all();
    }
  }
}

std::string FakeHub::WaitForUpgrade() {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, kPatience, [this] { return !upgrades_.empty(); })) {
    return {};
  }
  std::string head = upgrades_.front();
  upgrades_.pop_front();
  return head;
}

void FakeHub::SendRaw(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  ::send(connectionFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakeHub::SendBinary(std::span<const uint8_t> packet) {
  std::vector<uint8_t> frame(kMaxFrameHeaderSize);
  frame.resize(WriteFrameHeader(frame.data(), kFinBit | kOpcodeBinary, packet.size(), nullptr));
  frame.insert(frame.end(), packet.begin(), packet.end());
  SendRaw(frame);
}

bool FakeHub::ReadExact(uint8_t* out, size_t count) {
  int fd;
  {
    std::lock_guard lock(mutex_);
    fd = connectionFd_;
  }
  if (fd < 0) {
    return false;
  }
  while (count > 0) {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, kPatienceMilliseconds) <= 0) {
      return false;
    }
    const ssize_t n = ::recv(fd, out, count, 0);
    if (n <= 0) {
      return false;
    }
    out += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<FakeHub::Frame> FakeHub::NextFrame() {
  uint8_t head[kMaxFrameHeaderSize];
  Frame frame;
  size_t have = 2;
  if (!ReadExact(head, 2)) {
    return std::nullopt;
  }
  while (!ParseFrameHeader(std::span<const uint8_t>(head, have), frame.header)) {
    if (!ReadExact(head + have, 1)) {
      return std::nullopt;
    }
    ++have;
  }
  frame.payload.resize(frame.header.payloadLength);
  if (!ReadExact(frame.payload.data(), frame.payload.size())) {
    return std::nullopt;
  }
  if (frame.header.masked) {
    ApplyMask(frame.payload.data(), frame.payload.size(), frame.header.key);
  }
  return frame;
}

void FakeHub::Disconnect() {
  std::lock_guard lock(mutex_);
  if (connectionFd_ >= 0) {
    ::close(connectionFd_);
    connectionFd_ = -1;
  }
}

std::optional<std::vector<uint8_t>> FakeHub::NextUdpPacket() {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, kPatience, [this] { return !udpPackets_.empty(); })) {
    return std::nullopt;
  }
  std::vector<uint8_t> packet = std::move(udpPackets_.front());
  udpPackets_.pop_front();
  return packet;
}

void FakeHub::SendUdpPacket(std::span<const uint8_t> packet, std::optional<uint64_t> channelId,
                            const char* fromAddress) {
  std::vector<uint8_t> datagram(kUdpDataHeaderSize);
  WriteUdpDataHeader(datagram.data(), channelId.value_or(channelId_.load()));
  datagram.insert(datagram.end(), packet.begin(), packet.end());
  std::lock_guard lock(mutex_);
  int fd = udpFd_;
  UniqueFd stranger;
  if (fromAddress != nullptr) {
    stranger.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, fromAddress, &from.sin_addr);
    if (::bind(stranger.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
      throw std::runtime_error(std::string("cannot send from ") + fromAddress);
    }
    fd = stranger.get();
  }
  ::sendto(fd, datagram.data(), datagram.size(), 0,
           reinterpret_cast<const sockaddr*>(&edgeUdpAddress_), sizeof edgeUdpAddress_);
}

void FakeHub::SendUdpPacketsTogether(const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<uint8_t> run;
  for (const std::vector<uint8_t>& packet : packets) {
    const size_t at = run.size();
    run.resize(at + kUdpDataHeaderSize);
    WriteUdpDataHeader(run.data() + at, channelId_.load());
    run.insert(run.end(), packet.begin(), packet.end());
  }
  // One segmented send: the kernel keeps the run together up to a receiver that asked for
  // coalesced datagrams.
  const auto segment = static_cast<uint16_t>(kUdpDataHeaderSize + packets.front().size());
  iovec part{run.data(), run.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof segment)] = {};
  msghdr message{};
  message.msg_name = &edgeUdpAddress_;
  message.msg_namelen = sizeof edgeUdpAddress_;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* option = CMSG_FIRSTHDR(&message);
  option->cmsg_level = SOL_UDP;
  option->cmsg_type = UDP_SEGMENT;
  option->cmsg_len = CMSG_LEN(sizeof segment);
  std::memcpy(CMSG_DATA(option), &segment, sizeof segment);
  std::lock_guard lock(mutex_);
  ::sendmsg(udpFd_, &message, 0);
}

}  // namespace larkspire::testing
