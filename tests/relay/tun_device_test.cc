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
#include "util/command.h"
#include "util/fd.h"
#include "util/file.h"
#include "util/logger.h"
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

// Opens larkspire0 as 10.250.0.2/16 and brings it up.
void OpenAndRaise(TunDevice& tun, bool offloadHeader) {
  tun.Open("larkspire0", offloadHeader);
  testing_support::RunOrThrow(
      "ip addr add 10.250.0.2/16 dev larkspire0 && ip link set larkspire0 up");
}

sockaddr_in Ipv4Address(uint32_t address, uint16_t port) {
  return {AF_INET, htons(port), {htonl(address)}, {}};
}

// A UDP socket on the device's own address, port 5000, that waits at most 10 s for a datagram.
UniqueFd LocalSocket() {
  UniqueFd local(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Ipv4Address(0x0AFA0002, 5000);
  ::bind(local.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  timeval patience{10, 0};
  ::setsockopt(local.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  return local;
}

// Datagrams from 10.250.0.9, which is routed into the device, to the local socket.
std::vector<uint8_t> DatagramToLocalSocket(size_t payloadSize, uint8_t seed) {
  testing::Flow flow;
  flow.destination = 0x0AFA0002;
  flow.destinationPort = 5000;
  return testing::UdpDatagram(flow, payloadSize, seed, seed);
}

// True when the next datagram `local` receives carries exactly the payload of `datagram`.
bool ReceivesPayloadOf(const UniqueFd& local, const std::vector<uint8_t>& datagram) {
  std::vector<uint8_t> received(2000);
  const ssize_t n = ::recv(local.get(), received.data(), received.size(), 0);
  return n >= 0 &&
         std::equal(datagram.begin() + 28, datagram.end(), received.begin(), received.begin() + n);
}

// The descriptors a command run by the agent holds.
std::string DescriptorsOfACommand() {
  RunCommand("ls /proc/self/fd >/tmp/descriptors");
  return ReadFile("/tmp/descriptors");
}

// The kernel's own packets through a real TUN device opened as the edge opens it, with
// offload headers: one leaves over the UDP channel, one arrives over WebSocket and reaches a
// local socket. Meanwhile a command run by the agent inherits none of its descriptors.
std::string RelayOverRealDevice() {
  testing_support::RunOrThrow("ip link set lo up");
  const std::string ownDescriptors = DescriptorsOfACommand();
  g_log.Open("/tmp/work");
  testing::FakeHub hub;
  TunDevice tun;
  OpenAndRaise(tun, true);
  WebSocketRelay webSocket;
  UdpRelay udp;
  std::thread relay([&] {
    RelayOneConnection(tun.device(), {hub.url(), "7", "s"}, IngressFilter({"10.250.0.2/32"}),
                       webSocket, udp);
  });
  std::string failure;
  const UniqueFd local = LocalSocket();
  if (hub.WaitForUpgrade().empty()) {
    failure = "no upgrade";
  }
  const std::vector<uint8_t> fromHub = DatagramToLocalSocket(8, 1);
  hub.SendBinary(fromHub);
  if (!ReceivesPayloadOf(local, fromHub)) {
    failure = "packet from the Hub did not reach the local socket";
  }
  const sockaddr_in routedIntoTheDevice = Ipv4Address(0x0AFA0009, 5000);
  ::sendto(local.get(), "to hub", 6, 0, reinterpret_cast<const sockaddr*>(&routedIntoTheDevice),
           sizeof routedIntoTheDevice);
  const auto out = hub.NextUdpPacket();
  if (failure.empty() && (!out || out->size() != 34 || (*out)[9] != 17)) {
    failure = "datagram from the kernel did not reach the Hub over UDP";
  }
  if (failure.empty() && DescriptorsOfACommand() != ownDescriptors) {
    failure = "a command inherited descriptors: " + DescriptorsOfACommand();
  }
  g_running = false;
  relay.join();
  g_running = true;
  return failure;
}

int g_refusedWrites = 0;

ssize_t CountRefusals(int fd, const iovec* parts, int count) {
  const ssize_t n = ::writev(fd, parts, count);
  g_refusedWrites += n < 0 ? 1 : 0;
  return n;
}

// Datagrams offered for merging as the relay offers them: the kernel takes every write the
// device's probe allowed (merged where this kernel knows UDP segmentation, one by one where it
// does not), and a local socket receives the datagrams one by one, intact.
std::string MergedDatagramsReachASocketIntact() {
  TunDevice tun;
  OpenAndRaise(tun, true);
  const UniqueFd local = LocalSocket();
  std::vector<std::vector<uint8_t>> sent;
  bool allWritten = true;
  g_refusedWrites = 0;
  TunWriter writer(
      tun.device(), [&](bool written, size_t, size_t) { allWritten &= written; }, CountRefusals);
  for (uint8_t i = 0; i < 5; ++i) {
    sent.push_back(DatagramToLocalSocket(i < 4 ? 300 : 120, i));
    writer.Write(sent.back());
  }
  writer.Flush();
  if (!allWritten || g_refusedWrites != 0) {
    return "the device refused a write the probe allowed";
  }
  for (const std::vector<uint8_t>& datagram : sent) {
    if (!ReceivesPayloadOf(local, datagram)) {
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
