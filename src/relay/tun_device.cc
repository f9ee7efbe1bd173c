#include "relay/tun_device.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "util/logger.h"

namespace larkspire {
namespace {

// Newer than some kernel headers this is built against.
constexpr unsigned kTunOffloadUdp4 = 0x20;
constexpr unsigned kTunOffloadUdp6 = 0x40;
constexpr unsigned kTunOffloadTcp = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6;

// Lets the kernel hand over TCP super-packets of up to 64 KiB (and UDP ones from Linux 6.2
// on) and leave checksums unfinished: one read then carries what would take dozens, and
// OffloadedReader cuts it up again. Kernels before 6.2 refuse the UDP part, and they also
// refuse a write that merges UDP datagrams, so the answer decides both. A kernel that refuses
// even the TCP part hands over plain packets, read one at a time.
void RequestReadOffloads(PacketDevice& device) {
  if (::ioctl(device.fd, TUNSETOFFLOAD, kTunOffloadTcp | kTunOffloadUdp4 | kTunOffloadUdp6) == 0) {
    device.readOffload = true;
    device.udpSegmentation = true;
  } else if (::ioctl(device.fd, TUNSETOFFLOAD, kTunOffloadTcp) == 0) {
    device.readOffload = true;
  }
}

std::string OffloadLogLine(const PacketDevice& device) {
  if (!device.offloadHeader) {
    return "TUN offloads: none; every packet is written on its own.";
  }
  if (!device.udpSegmentation) {
    return "TUN offloads: TCP segments merged; UDP datagrams written one by one (the kernel has "
           "no UDP segmentation for TUN devices).";
  }
  return "TUN offloads: TCP segments and UDP datagrams merged.";
}

std::string ReadOffloadLogLine(const PacketDevice& device) {
  if (!device.readOffload) {
    return "TUN read offloads: none; every packet is read on its own.";
  }
  if (!device.udpSegmentation) {
    return "TUN read offloads: TCP segments and checksums (UDP datagrams are read one by one).";
  }
  return "TUN read offloads: TCP and UDP segments and checksums.";
}

}  // namespace

void TunDevice::Open(const std::string& requestedName, bool offloadHeader) {
  Close();
  fd_ = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd_ < 0) {
    throw std::runtime_error(std::string("Failed to open /dev/net/tun: ") + std::strerror(errno));
  }
  ifreq request{};
  // A plain layer-3 device: no packet-information prefix, not persistent, so the interface
  // disappears with the descriptor.
  request.ifr_flags = static_cast<short>(IFF_TUN | IFF_NO_PI | (offloadHeader ? IFF_VNET_HDR : 0));
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", requestedName.c_str());
  if (::ioctl(fd_, TUNSETIFF, &request) < 0) {
    const int error = errno;
    Close();
    throw std::runtime_error(std::string("TUNSETIFF failed: ") + std::strerror(error));
  }
  name_ = request.ifr_name;
  device_ = {fd_, offloadHeader};
  if (offloadHeader) {
    RequestReadOffloads(device_);
  }
  g_log.Write("INFO", "TUN device opened: " + name_);
  g_log.Write("INFO", OffloadLogLine(device_));
  g_log.Write("INFO", ReadOffloadLogLine(device_));
}

void TunDevice::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  device_ = {-1};
}

}  // namespace larkspire
