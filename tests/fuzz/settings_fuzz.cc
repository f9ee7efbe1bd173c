// LoadSettings on any file: what it read must survive a save and reload, as the file is rewritten.
#include <fstream>
#include <variant>

#include "config/settings.h"
#include "support/fuzz_harness.h"
#include "util/test_errors.h"

namespace larkspire {

void FuzzOne(const std::string& input) {
  const std::string path = FuzzScratchDir() + "/edge.json";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << input;
  Settings loaded;
  const std::string error = testing::ErrorOf([&] { loaded = LoadSettings(path); });
  if (error != "<no exception>") {
    FUZZ_CHECK(input.empty() && error == "Config file was not found or is empty: " + path);
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
