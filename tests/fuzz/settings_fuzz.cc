// LoadSettings on any file contents; what was read must survive a save and a reload, since the
// service and the web page rewrite the file all the time.
#include <fstream>
#include <variant>

#include "config/settings.h"
#include "support/fuzz_harness.h"

namespace larkspire {

void FuzzOne(const std::string& input) {
  const std::string path = FuzzScratchDir() + "/edge.json";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << input;
  Settings loaded;
  if (const std::optional<std::string> error = ErrorOf([&] { loaded = LoadSettings(path); })) {
    FUZZ_CHECK(input.empty() && *error == "Config file was not found or is empty: " + path);
    return;
  }
  FUZZ_CHECK(!input.empty() && loaded.webPort >= 1 && loaded.webPort <= 65535);
  SaveSettings(path, loaded);
  const Settings reloaded = LoadSettings(path);
  for (const SettingsField& field : SettingsFields()) {
    std::visit([&](auto member) { FUZZ_CHECK(loaded.*member == reloaded.*member); }, field.member);
  }
}

}  // namespace larkspire
