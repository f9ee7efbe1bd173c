#include "config/settings.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "util/file.h"
#include "util/json.h"
#include "util/text.h"

namespace larkspire {
namespace {

// Decimal conversion in the manner of std::stoi; a failure keeps the default port.
int ParsePort(const std::string& raw) {
  if (raw.empty()) {
    return kDefaultWebPort;
  }
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(raw.c_str(), &end, 10);
  bool converted = end != raw.c_str() && errno != ERANGE &&
                   value >= std::numeric_limits<int>::min() &&
                   value <= std::numeric_limits<int>::max();
  if (!converted || value < 1 || value > 65535) {
    return kDefaultWebPort;
  }
  return static_cast<int>(value);
}

std::vector<std::string> NonEmptyTrimmedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  std::string line;
  while (std::getline(stream, line, '\n')) {
    line = Trim(line);
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

}  // namespace

Settings LoadSettings(const std::string& path) {
  Settings settings;
  const std::string text = ReadFile(path);
  if (text.empty()) {
    throw std::runtime_error("Config file was not found or is empty: " + path);
  }
  settings.serverUrl = JsonStringValue(text, "serverUrl", settings.serverUrl);
  settings.deviceNumber = JsonStringValue(text, "deviceNumber", settings.deviceNumber);
  settings.deviceSecret = JsonStringValue(text, "deviceSecret", settings.deviceSecret);
  settings.deviceName = JsonStringValue(text, "deviceName", settings.deviceName);
  settings.networkInterfaceName =
      JsonStringValue(text, "networkInterfaceName", settings.networkInterfaceName);
  settings.sharedNetworks = JsonStringArrayValue(text, "sharedNetworks");
  settings.additionalSharedNetworks = JsonStringArrayValue(text, "additionalSharedNetworks");
  settings.webUsername = JsonStringValue(text, "webUsername", settings.webUsername);
  settings.webPassword = JsonStringValue(text, "webPassword", settings.webPassword);
  settings.webBindAddress = JsonStringValue(text, "webBindAddress", settings.webBindAddress);
  settings.webPort = ParsePort(JsonFindRaw(text, "webPort"));
  if (settings.sharedNetworks.empty()) {
    // Older configurations kept the operator's networks as one multi-line text.
    settings.sharedNetworks = NonEmptyTrimmedLines(JsonStringValue(text, "sharedNetworksText", ""));
  }
  return settings;
}

std::string FormatSettings(const Settings& s) {
  std::string text = "{\n";
  text += "  \"serverUrl\": " + JsonString(s.serverUrl) + ",\n";
  text += "  \"deviceNumber\": " + JsonString(s.deviceNumber) + ",\n";
  text += "  \"deviceSecret\": " + JsonString(s.deviceSecret) + ",\n";
  text += "  \"deviceName\": " + JsonString(s.deviceName) + ",\n";
  text += "  \"networkInterfaceName\": " + JsonString(s.networkInterfaceName) + ",\n";
  text += "  \"sharedNetworks\": " + JsonArray(s.sharedNetworks) + ",\n";
  text += "  \"additionalSharedNetworks\": " + JsonArray(s.additionalSharedNetworks) + ",\n";
  text += "  \"webUsername\": " + JsonString(s.webUsername) + ",\n";
  text += "  \"webPassword\": " + JsonString(s.webPassword) + ",\n";
  text += "  \"webBindAddress\": " + JsonString(s.webBindAddress) + ",\n";
  text += "  \"webPort\": " + std::to_string(s.webPort) + "\n";
  text += "}\n";
  return text;
}

void SaveSettings(const std::string& path, const Settings& settings) {
  WriteFileAtomic(path, FormatSettings(settings), 0600);
}

}  // namespace larkspire
