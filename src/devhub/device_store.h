#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace larkspire {

struct Device {
  std::string number;
  std::string secret;
  std::string name;
  std::vector<std::string> sharedNetworks;
  std::string lastHeartbeat;  // UTC "YYYY-MM-DDTHH:MM:SSZ", empty before the first
};

// What an edge sends when it registers.
struct Registration {
  std::string number;
  std::string secret;
  std::string name;
  std::vector<std::string> sharedNetworks;
};

enum class DeviceCheck { kOk, kUnknownDevice, kWrongSecret };

// The devhub's devices, shared by all connection threads (every member takes the lock).
// Each change is written through to the data file (mode 0600, it holds the secrets), so
// devices keep their numbers and secrets across restarts. An empty data path keeps the
// devices in memory only.
class DeviceStore {
 public:
  // Loads the data file when it exists. Throws "Cannot load device data from <path>: <why>"
  // for a file that exists but cannot be understood, so a typo never wipes the devices.
  explicit DeviceStore(std::string dataPath);

  // Keeps number and secret when both match a known device, else assigns a new number and
  // a random secret. Stores the name (an empty one keeps the old name or gets a default)
  // and the shared networks. Throws when the data file cannot be written.
  Device Register(const Registration& registration);
  DeviceCheck Check(const std::string& number, const std::string& secret) const;
  // On success records the time and, when given, the shared networks.
  DeviceCheck RecordHeartbeat(const std::string& number, const std::string& secret,
                              const std::optional<std::vector<std::string>>& sharedNetworks);
  std::optional<Device> Find(const std::string& number) const;
  std::vector<Device> List() const;  // in registration order

  // The data file's text for `devices`, and back (nullopt when malformed).
  static std::string Serialize(const std::vector<Device>& devices);
  static std::optional<std::vector<Device>> Deserialize(const std::string& text);

 private:
  Device* FindLocked(const std::string& number);
  std::string NextNumberLocked() const;
  void SaveLocked() const;

  std::string dataPath_;
  mutable std::mutex mutex_;
  std::vector<Device> devices_;
};

// A device as shown by GET /api/devices (no secret). `extraMembers` ("\"name\":value" text,
// may be empty) is added to the object.
std::string DeviceSummaryJson(const Device& device, const std::string& extraMembers = "");

}  // namespace larkspire
