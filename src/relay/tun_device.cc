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

// Kernels before 6.2 do not know UDP segmentation on a TUN device and refuse a write that
// asks for it, so only the answer to this request tells whether merged UDP runs may be
// written. Granting it would also let the kernel hand us unfinished packets on reads, so the
// grant is withdrawn at once.
bool KernelTakesUdpSegments(int fd) {
  if (::ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | kTunOffloadUdp4 | kTunOffloadUdp6) != 0) {
    return false;
  }
  ::ioctl(fd, TUNSETOFFLOAD, 0);
  return true;
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
  device_ = {fd_, offloadHeader, offloadHeader && KernelTakesUdpSegments(fd_)};
  g_log.Write("INFO", "TUN device opened: " + name_);
  g_log.Write("INFO", OffloadLogLine(device_));
}

void TunDevice::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  device_ = {-1};
}

}  // namespace larkspire
