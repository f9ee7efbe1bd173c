#include "relay/tun_device.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

#include <stdexcept>
#include <string>

#include "relay/test_packets.h"
#include "relay/tun_writer.h"
#include "support/namespaces.h"
#include "util/fd.h"
#include "util/socket_io.h"

namespace larkspire {
namespace {

using Packet = std::vector<uint8_t>;

// One interface per name, gone on close; with offload headers it takes the writer's datagrams.
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
  // From 10.250.0.9, routed into the device, to a socket on its address.
  const UniqueFd local(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, htons(5000), {htonl(0x0AFA0002)}, {}};
  ::bind(local.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  SetTimeout(local.get(), SO_RCVTIMEO, std::chrono::seconds(10));
  const testing::Flow flow{.destination = 0x0AFA0002, .destinationPort = 5000};
  std::vector<Packet> sent;
  std::vector<size_t> writes;
  TunWriter writer(tun.device(), [&](bool written, size_t packets, size_t) {
    writes.push_back(written ? packets : 0);
  });
  for (uint8_t i = 0; i < 5; ++i) {
    sent.push_back(testing::UdpDatagram(flow, i < 4 ? 300 : 120, i, i));
    writer.Write(sent.back());
  }
  writer.Flush();
  if (writes !=
      (tun.device().udpSegmentation ? std::vector<size_t>{5} : std::vector<size_t>(5, 1))) {
    return "merged datagrams refused or not merged";
  }
  for (const Packet& datagram : sent) {
    Packet received(2000);
    received.resize(std::max<ssize_t>(0, ::recv(local.get(), received.data(), received.size(), 0)));
    if (!std::equal(datagram.begin() + 28, datagram.end(), received.begin(), received.end())) {
      return "merged datagram " + std::to_string(datagram[5]) + " missing or changed";
    }
  }
  return "";
}

TEST(TunDeviceTest, OneInterfacePerNameThatTakesMergedWrites) {
  EXPECT_EQ(testing_support::RunInFreshNamespaces(RealDevice), "");
}

}  // namespace
}  // namespace larkspire
