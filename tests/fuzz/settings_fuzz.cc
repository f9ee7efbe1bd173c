// LoadSettings on arbitrary file contents, and the stability of a save and a reload.
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/settings.h"
#include "support/fuzz_check.h"
#include "support/scratch_dir.h"

namespace larkspire {
namespace {

bool SameSettings(const Settings& a, const Settings& b) {
  return a.serverUrl == b.serverUrl && a.deviceNumber == b.deviceNumber &&
         a.deviceSecret == b.deviceSecret && a.deviceName == b.deviceName &&
         a.networkInterfaceName == b.networkInterfaceName && a.sharedNetworks == b.sharedNetworks &&
         a.additionalSharedNetworks == b.additionalSharedNetworks &&
         a.webUsername == b.webUsername && a.webPassword == b.webPassword &&
         a.webBindAddress == b.webBindAddress && a.webPort == b.webPort;
}

void WriteRaw(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace
}  // namespace larkspire

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  const std::string path = FuzzScratchDir() + "/edge.json";
  WriteRaw(path, data, size);

  Settings loaded;
  try {
    loaded = LoadSettings(path);
  } catch (const std::runtime_error& error) {
    FUZZ_CHECK(size == 0);
    FUZZ_CHECK(std::string(error.what()) == "Config file was not found or is empty: " + path);
    return 0;
  }
  FUZZ_CHECK(size > 0);
  FUZZ_CHECK(loaded.webPort >= 1 && loaded.webPort <= 65535);

  // Whatever was read, saving it and reading it again must give the same record: the
  // service and the web page rewrite the file all the time.
  SaveSettings(path, loaded);
  const Settings reloaded = LoadSettings(path);
  FUZZ_CHECK(SameSettings(loaded, reloaded));
  return 0;
}
