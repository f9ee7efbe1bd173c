// LoadSettings on arbitrary file contents, and the stability of a save and a reload.
#include <fstream>
#include <stdexcept>
#include <string>
#include <variant>

#include "config/settings.h"
#include "support/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  const std::string path = FuzzScratchDir() + "/edge.json";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  Settings loaded;
  try {
    loaded = LoadSettings(path);
  } catch (const std::runtime_error& error) {
    FUZZ_CHECK(size == 0);
    FUZZ_CHECK(std::string(error.what()) == "Config file was not found or is empty: " + path);
    return 0;
  }
  FUZZ_CHECK(size > 0 && loaded.webPort >= 1 && loaded.webPort <= 65535);
  // Whatever was read, saving it and reading it again must give the same record: the
  // service and the web page rewrite the file all the time.
  SaveSettings(path, loaded);
  const Settings reloaded = LoadSettings(path);
  for (const SettingsField& field : SettingsFields()) {
    std::visit([&](auto member) { FUZZ_CHECK(loaded.*member == reloaded.*member); }, field.member);
  }
  return 0;
}
