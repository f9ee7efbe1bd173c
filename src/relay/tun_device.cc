#include "relay/tun_device.h"

#include <stdexcept>

// Placeholder until the TUN device lands.
namespace larkspire {

void TunDevice::Open(const std::string&) { throw std::runtime_error("TUN device not built yet"); }
void TunDevice::Close() { fd_ = -1; }

}  // namespace larkspire
