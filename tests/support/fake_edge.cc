#include "support/fake_edge.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "relay/udp_datagram.h"
#include "relay/websocket_frame.h"
#include "util/socket_io.h"

namespace larkspire::testing {
namespace {

bool WaitReadable(int fd, std::chrono::milliseconds wait) {
  pollfd poller{fd, POLLIN, 0};
  return ::poll(&poller, 1, static_cast<int>(wait.count())) > 0;
}

}  // namespace

sockaddr_in FakeEdge::Loopback(int port) const {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

FakeEdge::FakeEdge(int port, const std::string& number, const std::string& secret)
    : socket_(::socket(AF_INET, SOCK_STREAM, 0)), udp_(::socket(AF_INET, SOCK_DGRAM, 0)) {
  sockaddr_in hub = Loopback(port);
  if (::connect(socket_.get(), reinterpret_cast<sockaddr*>(&hub), sizeof hub) != 0) {
    throw std::runtime_error("FakeEdge cannot connect");
  }
  const std::string request = "GET /api/relay/edge/" + number + "?secret=" + secret +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                              "Sec-WebSocket-Version: 13\r\n\r\n";
  SendAll(socket_.get(), request.data(), request.size());
  while (replyHead_.find("\r\n\r\n") == std::string::npos) {
    char byte;
    if (!WaitReadable(socket_.get(), std::chrono::seconds(5)) ||
        ::recv(socket_.get(), &byte, 1, 0) != 1) {
      break;
    }
    replyHead_.push_back(byte);
  }
}

std::string FakeEdge::ReadRest() {
  std::string rest;
  char chunk[4096];
  while (WaitReadable(socket_.get(), std::chrono::seconds(5))) {
    ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, 0);
    if (n <= 0) {
      break;
    }
    rest.append(chunk, static_cast<size_t>(n));
  }
  return rest;
}

void FakeEdge::SendRaw(const std::vector<uint8_t>& bytes) {
  SendAll(socket_.get(), bytes.data(), bytes.size());
}

void FakeEdge::SendFrame(uint8_t firstByte, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> buffer(kMaxFrameHeaderSize + payload.size());
  std::copy(payload.begin(), payload.end(), buffer.begin() + kMaxFrameHeaderSize);
  MaskKey key = MaskKeyFor(++maskCounter_, kDataMaskMultiplier);
  uint8_t* frame =
      BuildFrameInPlace(buffer.data() + kMaxFrameHeaderSize, payload.size(), firstByte, &key);
  SendAll(socket_.get(), frame, static_cast<size_t>(buffer.data() + buffer.size() - frame));
}

bool FakeEdge::Fill(std::chrono::milliseconds wait) {
  uint8_t chunk[65536];
  if (!socket_.valid() || !WaitReadable(socket_.get(), wait)) {
    return false;
  }
  ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, 0);
  if (n <= 0) {
    return false;
  }
  pending_.insert(pending_.end(), chunk, chunk + n);
  return true;
}

std::optional<FakeEdge::Frame> FakeEdge::NextFrame(std::chrono::milliseconds wait) {
  while (true) {
    FrameHeader header;
    if (ParseFrameHeader(pending_, header) &&
        pending_.size() >= header.headerSize + header.payloadLength) {
      Frame frame{header.opcode, header.fin, header.masked,
                  std::vector<uint8_t>(pending_.begin() + header.headerSize,
                                       pending_.begin() + header.headerSize +
                                           static_cast<long>(header.payloadLength))};
      if (header.masked) {
        ApplyMask(frame.payload.data(), frame.payload.size(), header.key);
      }
      pending_.erase(pending_.begin(), pending_.begin() + header.headerSize +
                                           static_cast<long>(header.payloadLength));
      return frame;
    }
    if (!Fill(wait)) {
      return std::nullopt;
    }
  }
}

std::optional<FakeEdge::Frame> FakeEdge::NextNonPingFrame() {
  while (true) {
    std::optional<Frame> frame = NextFrame();
    if (!frame || frame->opcode != kOpcodePing) {
      return frame;
    }
  }
}

std::optional<uint64_t> FakeEdge::Probe(int udpPort, const std::string& number,
                                        const std::string& secret, std::chrono::milliseconds wait) {
  std::vector<uint8_t> probe = BuildUdpProbe(number, secret);
  sockaddr_in hub = Loopback(udpPort);
  ::sendto(udp_.get(), probe.data(), probe.size(), 0, reinterpret_cast<sockaddr*>(&hub),
           sizeof hub);
  uint8_t reply[1500];
  if (!WaitReadable(udp_.get(), wait)) {
    return std::nullopt;
  }
  ssize_t n = ::recv(udp_.get(), reply, sizeof reply, 0);
  uint64_t id = n > 0 ? ParseUdpProbeReply({reply, static_cast<size_t>(n)}) : 0;
  return id != 0 ? std::optional<uint64_t>(id) : std::nullopt;
}

void FakeEdge::SendUdp(int udpPort, uint64_t channelId, const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> datagram(kUdpDataHeaderSize);
  WriteUdpDataHeader(datagram.data(), channelId);
  datagram.insert(datagram.end(), packet.begin(), packet.end());
  sockaddr_in hub = Loopback(udpPort);
  ::sendto(udp_.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&hub),
           sizeof hub);
}

std::optional<std::vector<uint8_t>> FakeEdge::NextUdpPacket(uint64_t& channelId,
                                                            std::chrono::milliseconds wait) {
  uint8_t datagram[1500];
  if (!WaitReadable(udp_.get(), wait)) {
    return std::nullopt;
  }
  ssize_t n = ::recv(udp_.get(), datagram, sizeof datagram, 0);
  UdpData data;
  if (n <= 0 || !ParseUdpData({datagram, static_cast<size_t>(n)}, data)) {
    return std::nullopt;
  }
  channelId = data.channelId;
  return std::vector<uint8_t>(data.packet.begin(), data.packet.end());
}

std::vector<uint8_t> Ipv4Packet(const std::string& destination, uint8_t protocol, size_t size) {
  std::vector<uint8_t> packet(size);
  for (size_t i = 20; i < size; ++i) {
    packet[i] = static_cast<uint8_t>(i);
  }
  packet[0] = 0x45;
  packet[2] = static_cast<uint8_t>(size >> 8);
  packet[3] = static_cast<uint8_t>(size);
  packet[8] = 64;
  packet[9] = protocol;
  inet_pton(AF_INET, "10.250.0.1", packet.data() + 12);
  inet_pton(AF_INET, destination.c_str(), packet.data() + 16);
  return packet;
}

}  // namespace larkspire::testing
