#include "config/settings_changes.h"

#include <mutex>
#include <stdexcept>

#include "config/config_lock.h"

namespace larkspire {
namespace {

template <typename T>
void TakeChange(T& current, const T& base, const T& mine) {
  if (mine != base) {
    current = mine;
  }
}

}  // namespace

void SaveSettingsChanges(const std::string& path, const Settings& base, const Settings& mine) {
  std::lock_guard<std::mutex> lock(ConfigFileMutex());
  Settings current;
  try {
    current = LoadSettings(path);
  } catch (const std::runtime_error&) {
    SaveSettings(path, mine);
    return;
  }
  TakeChange(current.serverUrl, base.serverUrl, mine.serverUrl);
  TakeChange(current.deviceNumber, base.deviceNumber, mine.deviceNumber);
  TakeChange(current.deviceSecret, base.deviceSecret, mine.deviceSecret);
  TakeChange(current.deviceName, base.deviceName, mine.deviceName);
  TakeChange(current.networkInterfaceName, base.networkInterfaceName, mine.networkInterfaceName);
  TakeChange(current.sharedNetworks, base.sharedNetworks, mine.sharedNetworks);
  TakeChange(current.additionalSharedNetworks, base.additionalSharedNetworks,
             mine.additionalSharedNetworks);
  TakeChange(current.webUsername, base.webUsername, mine.webUsername);
  TakeChange(current.webPassword, base.webPassword, mine.webPassword);
  TakeChange(current.webBindAddress, base.webBindAddress, mine.webBindAddress);
  TakeChange(current.webPort, base.webPort, mine.webPort);
  SaveSettings(path, current);
}

}  // namespace larkspire
