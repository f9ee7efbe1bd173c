#include "netcfg/configurator.h"

// Placeholder until the configurator lands.
namespace larkspire {

void LinuxNetworkConfigurator::Apply(const std::string& tunName,
                                     const std::vector<std::string>& uplinkInterfaces) {
  tunName_ = tunName;
  uplinkInterfaces_ = uplinkInterfaces;
}
void LinuxNetworkConfigurator::Cleanup() { applied_ = false; }

}  // namespace larkspire
