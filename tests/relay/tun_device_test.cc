#include "relay/tun_device.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "relay/test_packets.h"
#include "relay/tun_writer.h"
#include "support/namespaces.h"
#include "util/fd.h"

namespace larkspire {
namespace {

using Packet = std::vector<uint8_t>;

sockaddr_in Ipv4Address(uint32_t address, uint16_t port) {
  return {AF_INET, htons(port), {htonl(address)}, {}};
}

// Datagrams from 10.250.0.9, which is routed into the device, to a socket on the device's own
// address 10.250.0.2, port 5000.
Packet DatagramToLocalSocket(size_t payloadSize, uint8_t seed) {
  testing::Flow flow;
  flow.destination = 0x0AFA0002;
  flow.destinationPort = 5000;
  return testing::UdpDatagram(flow, payloadSize, seed, seed);
}

// True when the next datagram `local` receives carries exactly the payload of `datagram`.
bool ReceivesPayloadOf(const UniqueFd& local, const Packet& datagram) {
  Packet received(2000);
  const ssize_t n = ::recv(local.get(), received.data(), received.size(), 0);
  return n >= 0 && Packet(datagram.begin() + 28, datagram.end()) ==
                       Packet(received.begin(), received.begin() + n);
}

int g_refusedWrites = 0;

ssize_t CountRefusals(int fd, const iovec* parts, int count) {
  const ssize_t n = ::writev(fd, parts, count);
  g_refusedWrites += n < 0 ? 1 : 0;
  return n;
}

// One interface per name, gone on close; with offload headers it takes merged datagrams the
// way the writer offers them.
std::string RealDevice() {
  TunDevice first;
  first.Open("larkspire0");
  TunDevice second;
  try {
    second.Open("larkspire0");
    return "second Open of the same name succeeded";
  } catch (const std::runtime_error& error) {
    if (std::string(error.what()).rfind("TUNSETIFF failed: ", 0) != 0 || second.fd() != -1) {
      return std::string("wrong failure: ") + error.what();
    }
  }
  first.Close();
  first.Close();  // harmless when already closed
  if (first.fd() != -1 || ::if_nametoindex("larkspire0") != 0) {
    return "interface survived Close";
  }

  TunDevice tun;
  tun.Open("larkspire0", /*offloadHeader=*/true);
  testing_support::RunOrThrow(
      "ip link set lo up && ip addr add 10.250.0.2/16 dev larkspire0 && "
      "ip link set larkspire0 up");
  const UniqueFd local(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in localAddress = Ipv4Address(0x0AFA0002, 5000);
  ::bind(local.get(), reinterpret_cast<const sockaddr*>(&localAddress), sizeof localAddress);
  timeval patience{10, 0};
  ::setsockopt(local.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  std::vector<Packet> sent;
  bool allWritten = true;
  // The kernel takes every write the device's probe allowed: merged where it knows UDP
  // segmentation, one by one where it does not.
  TunWriter writer(
      tun.device(), [&](bool written, size_t, size_t) { allWritten &= written; }, CountRefusals);
  for (uint8_t i = 0; i < 5; ++i) {
    sent.push_back(DatagramToLocalSocket(i < 4 ? 300 : 120, i));
    writer.Write(sent.back());
  }
  writer.Flush();
  for (const Packet& datagram : sent) {
    if (!allWritten || g_refusedWrites != 0 || !ReceivesPayloadOf(local, datagram)) {
      return "merged datagram " + std::to_string(datagram[5]) + " refused, missing or changed";
    }
  }

  return "";
}

TEST(TunDeviceTest, OneInterfacePerNameThatTakesMergedWrites) {
  EXPECT_EQ(testing_support::RunInFreshNamespaces(RealDevice), "");
}

}  // namespace
}  // namespace larkspire
