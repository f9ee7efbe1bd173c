#include "config/settings.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <variant>

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

// Writes one value the way the file lays it out.
std::string FormatValue(const std::string& value) { return JsonString(value); }
std::string FormatValue(const std::vector<std::string>& value) { return JsonArray(value); }
std::string FormatValue(int value) { return std::to_string(value); }
std::string FormatValue(bool value) { return value ? "true" : "false"; }

void ReadValue(const std::string& text, const char* key, std::string& value) {
  value = JsonStringValue(text, key, value);
}
void ReadValue(const std::string& text, const char* key, std::vector<std::string>& value) {
  value = JsonStringArrayValue(text, key);
}
void ReadValue(const std::string& text, const char* key, int& value) {
  value = ParsePort(JsonFindRaw(text, key));
}
void ReadValue(const std::string& text, const char* key, bool& value) {
  value = JsonBoolValue(text, key, value);
}

}  // namespace

const std::vector<SettingsField>& SettingsFields() {
  static const std::vector<SettingsField> fields = {
      {"serverUrl", &Settings::serverUrl},
      {"deviceNumber", &Settings::deviceNumber},
      {"deviceSecret", &Settings::deviceSecret},
      {"deviceName", &Settings::deviceName},
      {"networkInterfaceName", &Settings::networkInterfaceName},
      {"sharedNetworks", &Settings::sharedNetworks},
      {"additionalSharedNetworks", &Settings::additionalSharedNetworks},
      {"webUsername", &Settings::webUsername},
      {"webPassword", &Settings::webPassword},
      {"webBindAddress", &Settings::webBindAddress},
      {"webPort", &Settings::webPort},
      {"hubCaFile", &Settings::hubCaFile},
      {"hubCertSha256", &Settings::hubCertSha256},
      {"webAllowedHosts", &Settings::webAllowedHosts},
      {"overlayCanReachEdge", &Settings::overlayCanReachEdge},
  };
  return fields;
}

Settings LoadSettings(const std::string& path) {
  Settings settings;
  const std::string text = ReadFile(path);
  if (text.empty()) {
    throw std::runtime_error("Config file was not found or is empty: " + path);
  }
  for (const SettingsField& field : SettingsFields()) {
    std::visit([&](auto member) { ReadValue(text, field.key, settings.*member); }, field.member);
  }
  if (settings.sharedNetworks.empty()) {
    // Older configurations kept the operator's networks as one multi-line text.
    settings.sharedNetworks = NonEmptyTrimmedLines(JsonStringValue(text, "sharedNetworksText", ""));
  }
  return settings;
}

std::string FormatSettings(const Settings& s) {
  std::string text = "{\n";
  const auto& fields = SettingsFields();
  for (size_t i = 0; i < fields.size(); ++i) {
    std::visit(
        [&](auto member) {
          text += "  \"" + std::string(fields[i].key) + "\": " + FormatValue(s.*member);
        },
        fields[i].member);
    text += i + 1 < fields.size() ? ",\n" : "\n";
  }
  text += "}\n";
  return text;
}

void SaveSettings(const std::string& path, const Settings& settings) {
  WriteFileAtomic(path, FormatSettings(settings), 0600);
}

}  // namespace larkspire
