#include "relay/tun_device.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

#include "relay/relay_session.h"
#include "relay/test_packets.h"
#include "relay/tun_writer.h"
#include "relay/udp_relay.h"
#include "relay/websocket_relay.h"
#include "support/fake_hub.h"
#include "support/namespaces.h"
#include "util/fd.h"
#include "util/run_flag.h"

namespace larkspire {
namespace {

std::string OpenSecondOpenAndClose() {
  TunDevice first;
  first.Open("larkspire0");
  if (first.name() != "larkspire0" || first.fd() < 0) {
    return "unexpected name or descriptor: " + first.name();
  }
  if (::if_nametoindex("larkspire0") == 0) {
    return "interface missing after Open";
  }
  TunDevice second;
  try {
    second.Open("larkspire0");
    return "second Open of the same name succeeded";
  } catch (const std::runtime_error& error) {
    if (std::string(error.what()).rfind("TUNSETIFF failed: ", 0) != 0) {
      return std::string("wrong error: ") + error.what();
    }
  }
  if (second.fd() != -1) {
    return "failed Open kept its descriptor";
  }
  first.Close();
  first.Close();  // harmless when already closed
  if (first.fd() != -1 || ::if_nametoindex("larkspire0") != 0) {
    return "interface survived Close";
  }
  return "";
}

TEST(TunDeviceTest, OpensOneInterfaceRefusesItsTwinAndRemovesItOnClose) {
  EXPECT_EQ(testing_support::RunInFreshNamespaces(OpenSecondOpenAndClose), "");
}

// A minimal IPv4 UDP packet from 10.250.0.9:4000 to 10.250.0.2:`port` (UDP checksum left 0,
// which IPv4 allows).
std::vector<uint8_t> UdpPacketToEdge(uint16_t port, const std::string& text) {
  std::vector<uint8_t> packet(28 + text.size());
  const size_t total = packet.size();
  const uint8_t header[20] = {0x45,
                              0,
                              uint8_t(total >> 8),
                              uint8_t(total),
                              0,
                              0,
                              0,
                              0,
                              64,
                              17,
                              0,
                              0,
                              10,
                              250,
                              0,
                              9,
                              10,
                              250,
                              0,
                              2};
  std::copy(std::begin(header), std::end(header), packet.begin());
  uint32_t sum = 0;
  for (size_t i = 0; i < 20; i += 2) {
    sum += (packet[i] << 8) | packet[i + 1];
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  packet[10] = uint8_t(~sum >> 8);
  packet[11] = uint8_t(~sum);
  const uint16_t udpLength = uint16_t(8 + text.size());
  const uint8_t udp[8] = {
      0x0F, 0xA0, uint8_t(port >> 8), uint8_t(port), uint8_t(udpLength >> 8), uint8_t(udpLength),
      0,    0};
  std::copy(std::begin(udp), std::end(udp), packet.begin() + 20);
  std::copy(text.begin(), text.end(), packet.begin() + 28);
  return packet;
}

// The kernel's own packets through a real TUN device: one leaves over the UDP channel, one
// arrives over WebSocket and reaches a local socket.
std::string RelayOverRealDevice() {
  testing_support::RunOrThrow("ip link set lo up");
  testing::FakeHub hub;
  TunDevice tun;
  tun.Open("larkspire0");
  testing_support::RunOrThrow(
      "ip addr add 10.250.0.2/16 dev larkspire0 && ip link set larkspire0 up");
  WebSocketRelay webSocket;
  UdpRelay udp;
  std::thread relay([&] { RunRelayConnection(tun.fd(), {hub.url(), "7", "s"}, webSocket, udp); });
  std::string failure;
  const int local = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5000);
  ::inet_pton(AF_INET, "10.250.0.2", &address.sin_addr);
  ::bind(local, reinterpret_cast<sockaddr*>(&address), sizeof address);
  timeval patience{10, 0};
  ::setsockopt(local, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);

  if (hub.WaitForUpgrade().empty()) {
    failure = "no upgrade";
  }
  hub.SendBinary(UdpPacketToEdge(5000, "from hub"));
  char received[64] = {};
  if (::recv(local, received, sizeof received, 0) != 8 || std::string(received) != "from hub") {
    failure = "packet from the Hub did not reach the local socket";
  }
  address.sin_addr.s_addr = htonl(0x0AFA0009);  // 10.250.0.9, routed into the device
  ::sendto(local, "to hub", 6, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const auto out = hub.NextUdpPacket();
  if (failure.empty() && (!out || out->size() != 34 || (*out)[9] != 17)) {
    failure = "datagram from the kernel did not reach the Hub over UDP";
  }
  ::close(local);
  g_running = false;
  relay.join();
  g_running = true;
  return failure;
}

// Datagrams merged into one write with an offload header: the kernel takes the header as
// meant and a local socket receives the datagrams one by one, intact.
std::string MergedDatagramsReachASocketIntact() {
  TunDevice tun;
  tun.Open("larkspire0", /*offloadHeader=*/true);
  testing_support::RunOrThrow(
      "ip addr add 10.250.0.2/16 dev larkspire0 && ip link set larkspire0 up");
  const UniqueFd local(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5000);
  ::inet_pton(AF_INET, "10.250.0.2", &address.sin_addr);
  ::bind(local.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  timeval patience{5, 0};
  ::setsockopt(local.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);

  testing::Flow flow;
  flow.destination = 0x0AFA0002;
  flow.destinationPort = 5000;
  std::vector<std::vector<uint8_t>> sent;
  bool allWritten = true;
  TunWriter writer(tun.fd(), true, [&](bool written, size_t, size_t) { allWritten &= written; });
  for (uint8_t i = 0; i < 5; ++i) {
    sent.push_back(testing::UdpDatagram(flow, i < 4 ? 300 : 120, i, i));
    writer.Write(sent.back());
  }
  writer.Flush();
  if (!allWritten) {
    return "the device refused the merged write";
  }
  for (const std::vector<uint8_t>& datagram : sent) {
    std::vector<uint8_t> received(2000);
    const ssize_t n = ::recv(local.get(), received.data(), received.size(), 0);
    if (n < 0 ||
        !std::equal(datagram.begin() + 28, datagram.end(), received.begin(),
                    received.begin() + n) ||
        static_cast<size_t>(n) != datagram.size() - 28) {
      return "datagram " + std::to_string(datagram[5]) + " missing or changed";
    }
  }
  return "";
}

TEST(TunDeviceTest, TakesMergedDatagramsWithAnOffloadHeader) {
  EXPECT_EQ(testing_support::RunInFreshNamespaces(MergedDatagramsReachASocketIntact), "");
}

TEST(TunDeviceTest, RelayCarriesKernelPacketsThroughTheDevice) {
  EXPECT_EQ(testing_support::RunInFreshNamespaces(RelayOverRealDevice), "");
}

}  // namespace
}  // namespace larkspire
