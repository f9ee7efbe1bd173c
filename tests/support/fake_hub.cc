#include "support/fake_hub.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

#include "relay/udp_datagram.h"

namespace larkspire::testing {
namespace {

// Generous: a slow sanitizer build must never make a test fail by waiting too little.
void SetPatience(int fd) {
  timeval patience{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
}

sockaddr* Address(sockaddr_in& address) {
  return reinterpret_cast<sockaddr*>(&address);
}

}  // namespace

FakeHub::FakeHub() {
  for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    udp_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(listener_.get(), Address(address), length);
    ::getsockname(listener_.get(), Address(address), &length);
    if (::bind(udp_.get(), Address(address), length) == 0 && ::listen(listener_.get(), 8) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  if (port_ == 0) {
    throw std::runtime_error("fake hub: no free port pair");
  }
  SetPatience(udp_.get());
}

std::string FakeHub::Accept() {
  pollfd waiting{listener_.get(), POLLIN, 0};
  if (::poll(&waiting, 1, 10000) != 1) {
    return {};
  }
  connection_.Reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  SetPatience(connection_.get());
  std::string head;
  char byte;
  while (head.find("\r\n\r\n") == std::string::npos &&
         ::recv(connection_.get(), &byte, 1, 0) == 1) {
    head += byte;
  }
  const std::string reply =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
  Send({reinterpret_cast<const uint8_t*>(reply.data()), reply.size()});
  return head;
}

void FakeHub::Send(std::span<const uint8_t> bytes) {
  ::send(connection_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakeHub::SendFrame(std::span<const uint8_t> payload, uint8_t firstByte) {
  Packet frame(kMaxFrameHeaderSize);
  frame.resize(WriteFrameHeader(frame.data(), firstByte, payload.size(), nullptr));
  frame.insert(frame.end(), payload.begin(), payload.end());
  Send(frame);
}

std::optional<FakeHub::Frame> FakeHub::NextFrame() {
  auto read = [this](uint8_t* out, size_t count) {
    return ::recv(connection_.get(), out, count, MSG_WAITALL) == static_cast<ssize_t>(count);
  };
  uint8_t head[kMaxFrameHeaderSize];
  Frame frame;
  size_t have = 0;
  do {
    if (!read(head + have++, 1)) {
      return std::nullopt;
    }
  } while (!ParseFrameHeader({head, have}, frame.header));
  frame.payload.resize(frame.header.payloadLength);
  if (!read(frame.payload.data(), frame.payload.size())) {
    return std::nullopt;
  }
  ApplyMask(frame.payload.data(), frame.header.masked ? frame.payload.size() : 0, frame.header.key);
  return frame;
}

bool FakeHub::TakeProbe(bool answer, bool wait) {
  uint8_t datagram[2048];
  socklen_t length = sizeof edge_;
  const ssize_t n = ::recvfrom(udp_.get(), datagram, sizeof datagram, wait ? 0 : MSG_DONTWAIT,
                               Address(edge_), &length);
  UdpProbe probe;
  if (n <= 0 || !ParseUdpProbe({datagram, static_cast<size_t>(n)}, probe)) {
    return false;
  }
  if (answer) {
    uint8_t reply[kUdpProbeReplySize];
    WriteUdpProbeReply(reply, ++channelId_);
    ::sendto(udp_.get(), reply, sizeof reply, 0, Address(edge_), sizeof edge_);
  }
  return true;
}

std::optional<FakeHub::Packet> FakeHub::NextUdpPacket() {
  uint8_t datagram[2048];
  const ssize_t n = ::recv(udp_.get(), datagram, sizeof datagram, 0);
  UdpData data;
  if (n <= 0 || !ParseUdpData({datagram, static_cast<size_t>(n)}, data) ||
      data.channelId != channelId_) {
    return std::nullopt;
  }
  return Packet(data.packet.begin(), data.packet.end());
}

void FakeHub::SendUdp(const Packet& packet, uint64_t channelId, const char* from) {
  Packet run(kUdpDataHeaderSize);
  WriteUdpDataHeader(run.data(), channelId != 0 ? channelId : channelId_);
  run.insert(run.end(), packet.begin(), packet.end());
  UniqueFd stranger;
  if (from != nullptr) {
    stranger.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, from, &address.sin_addr);
    if (::bind(stranger.get(), Address(address), sizeof address) != 0) {
      throw std::runtime_error(std::string("cannot send from ") + from);
    }
  }
  ::sendto(from != nullptr ? stranger.get() : udp_.get(), run.data(), run.size(), 0, Address(edge_),
           sizeof edge_);
}

}  // namespace larkspire::testing
