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

void TunDevice::Open(const std::string& requestedName, bool offloadHeader) {
  Close();
  fd_ = ::open("/dev/net/tun", O_RDWR);
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
  offloadHeader_ = offloadHeader;
  g_log.Write("INFO", "TUN device opened: " + name_);
}

void TunDevice::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace larkspire
