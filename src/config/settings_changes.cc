#include "config/settings_changes.h"

#include <mutex>
#include <stdexcept>
#include <variant>

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
  for (const SettingsField& field : SettingsFields()) {
    std::visit([&](auto member) { TakeChange(current.*member, base.*member, mine.*member); },
               field.member);
  }
  SaveSettings(path, current);
}

}  // namespace larkspire
