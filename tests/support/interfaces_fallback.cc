// Lets the test binaries link before interface detection is built into the core library.
// Weak, so the real detector replaces it as soon as it is linked in.

#include "netcfg/interfaces.h"

namespace larkspire {

__attribute__((weak)) std::vector<InterfaceNetwork> DetectHardwareInterfaceNetworks() {
  return {};
}

}  // namespace larkspire
