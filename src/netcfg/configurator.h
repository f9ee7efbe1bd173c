#pragma once

#include <string>
#include <vector>

namespace larkspire {

// Owns the kernel gateway configuration for the TUN device: address, route, forwarding,
// rp_filter and the iptables forward and masquerade rules per uplink. Apply adds what is
// missing; Cleanup removes what Apply added (only once per Apply). Commands go through
// RunCommand; their failures are logged, never thrown. Used from one thread.
class LinuxNetworkConfigurator {
 public:
  LinuxNetworkConfigurator() = default;
  LinuxNetworkConfigurator(const LinuxNetworkConfigurator&) = delete;
  LinuxNetworkConfigurator& operator=(const LinuxNetworkConfigurator&) = delete;
  ~LinuxNetworkConfigurator() { Cleanup(); }

  void Apply(const std::string& tunName, const std::vector<std::string>& uplinkInterfaces);
  void Cleanup();

  bool applied() const { return applied_; }

 private:
  bool applied_ = false;
  std::string tunName_;
  std::vector<std::string> uplinkInterfaces_;
};

}  // namespace larkspire
