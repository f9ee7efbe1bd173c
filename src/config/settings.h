#pragma once

#include <string>
#include <variant>
#include <vector>

#include "util/defaults.h"

namespace larkspire {

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
  // PEM file of the CAs trusted for an https Hub; empty: the system's trust store.
  std::string hubCaFile;
  // Hex SHA-256 of the Hub's public key (SubjectPublicKeyInfo DER), pinned when set.
  std::string hubCertSha256;
  // Further Host names the web page answers to, besides the local and bound addresses.
  std::vector<std::string> webAllowedHosts;
  // Lets the overlay open connections to the edge machine's own services.
  bool overlayCanReachEdge = false;
};

// One configuration key and the member of Settings it fills. The reader, the writer and the
// change merger all walk this one table, so a new key is added in one place.
struct SettingsField {
  using Member = std::variant<std::string Settings::*, std::vector<std::string> Settings::*,
                              int Settings::*, bool Settings::*>;
  const char* key;
  Member member;
};
// In the order the file lists them.
const std::vector<SettingsField>& SettingsFields();

// Throws "Config file was not found or is empty: <path>"; malformed keys take defaults.
Settings LoadSettings(const std::string& path);
// The fixed layout, mode 0600; throws the errors of WriteFileAtomic.
void SaveSettings(const std::string& path, const Settings& settings);
// The text SaveSettings writes.
std::string FormatSettings(const Settings& settings);

}  // namespace larkspire
