#pragma once

#include <string>
#include <vector>

namespace larkspire {

inline constexpr const char* kDefaultServerUrl = "http://hub.larkspire.local:31080";
inline constexpr const char* kDefaultWebPassword = "admin";
inline constexpr const char* kDefaultConfigPath = "/etc/larkspire/edge.json";
inline constexpr int kDefaultWebPort = 18080;

// The edge's configuration record, as stored in the configuration file.
struct Settings {
  std::string serverUrl = kDefaultServerUrl;
  std::string deviceNumber;
  std::string deviceSecret;
  std::string deviceName = "Ubuntu Edge";
  std::string networkInterfaceName;
  std::vector<std::string> sharedNetworks;
  std::vector<std::string> additionalSharedNetworks;
  std::string webUsername = "admin";
  std::string webPassword = kDefaultWebPassword;
  std::string webBindAddress = "127.0.0.1";
  int webPort = kDefaultWebPort;
};

// Throws "Config file was not found or is empty: <path>"; malformed keys take defaults.
Settings LoadSettings(const std::string& path);
// The fixed layout, mode 0600; throws the errors of WriteFileAtomic.
void SaveSettings(const std::string& path, const Settings& settings);
// The text SaveSettings writes.
std::string FormatSettings(const Settings& settings);

}  // namespace larkspire
