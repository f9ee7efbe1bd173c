#include "devhub/device_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <random>
#include <stdexcept>

#include "devhub/json_object.h"
#include "util/file.h"
#include "util/json.h"
#include "util/logger.h"

namespace larkspire {
namespace {

constexpr unsigned long kFirstNumber = 1001;

std::string RandomSecret() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device random;
  std::string secret;
  for (int i = 0; i < 32; ++i) {
    secret.push_back(kHex[random() % 16]);
  }
  return secret;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// Compares without an early exit, so the time taken says nothing about the secret.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::optional<Device> DeviceFromJson(const std::string& raw) {
  const auto members = ParseJsonObject(raw);
  if (!members) {
    return std::nullopt;
  }
  auto text = [&](const char* key) -> std::optional<std::string> {
    const auto found = members->find(key);
    return found == members->end() ? std::optional<std::string>("")
                                   : JsonRawToString(found->second);
  };
  Device device;
  const auto number = text("deviceNumber");
  const auto secret = text("deviceSecret");
  const auto name = text("deviceName");
  const auto heartbeat = text("lastHeartbeat");
  const auto networks = members->count("sharedNetworks")
                            ? JsonRawToStringList(members->at("sharedNetworks"))
                            : std::optional<std::vector<std::string>>(std::vector<std::string>());
  if (!number || number->empty() || !secret || !name || !heartbeat || !networks) {
    return std::nullopt;
  }
  return Device{*number, *secret, *name, *networks, *heartbeat};
}

}  // namespace

std::string DeviceSummaryJson(const Device& device, const std::string& extraMembers) {
  return "{\"deviceNumber\":" + JsonString(device.number) +
         ",\"deviceName\":" + JsonString(device.name) +
         ",\"sharedNetworks\":" + JsonArray(device.sharedNetworks) +
         ",\"lastHeartbeat\":" + JsonString(device.lastHeartbeat) +
         (extraMembers.empty() ? "" : "," + extraMembers) + "}";
}

DeviceStore::DeviceStore(std::string dataPath) : dataPath_(std::move(dataPath)) {
  if (dataPath_.empty() || !FileExists(dataPath_)) {
    return;
  }
  auto devices = Deserialize(ReadFile(dataPath_));
  if (!devices) {
    throw std::runtime_error("Cannot load device data from " + dataPath_ +
                             ": not a devhub data file");
  }
  devices_ = std::move(*devices);
}

std::string DeviceStore::Serialize(const std::vector<Device>& devices) {
  std::string text = "{\n  \"devices\": [";
  for (size_t i = 0; i < devices.size(); ++i) {
    const Device& d = devices[i];
    text += std::string(i == 0 ? "" : ",") + "\n    {\"deviceNumber\": " + JsonString(d.number) +
            ", \"deviceSecret\": " + JsonString(d.secret) +
            ", \"deviceName\": " + JsonString(d.name) +
            ", \"sharedNetworks\": " + JsonArray(d.sharedNetworks) +
            ", \"lastHeartbeat\": " + JsonString(d.lastHeartbeat) + "}";
  }
  return text + (devices.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

std::optional<std::vector<Device>> DeviceStore::Deserialize(const std::string& text) {
  const auto members = ParseJsonObject(text);
  if (!members) {
    return std::nullopt;
  }
  const auto found = members->find("devices");
  const auto items = found == members->end() ? std::optional<std::vector<std::string>>({})
                                             : ParseJsonArray(found->second);
  if (!items) {
    return std::nullopt;
  }
  std::vector<Device> devices;
  for (const std::string& raw : *items) {
    auto device = DeviceFromJson(raw);
    if (!device) {
      return std::nullopt;
    }
    devices.push_back(std::move(*device));
  }
  return devices;
}

Device DeviceStore::Register(const Registration& registration) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = FindLocked(registration.number);
  if (device == nullptr || !SameSecret(device->secret, registration.secret)) {
    devices_.push_back(Device{NextNumberLocked(), RandomSecret(), "", {}, ""});
    device = &devices_.back();
  }
  if (!registration.name.empty()) {
    device->name = registration.name;
  } else if (device->name.empty()) {
    device->name = "edge-" + device->number;
  }
  device->sharedNetworks = registration.sharedNetworks;
  const Device copy = *device;
  SaveLocked();
  return copy;
}

DeviceCheck DeviceStore::Check(const std::string& number, const std::string& secret) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Device* device = const_cast<DeviceStore*>(this)->FindLocked(number);
  if (device == nullptr) {
    return DeviceCheck::kUnknownDevice;
  }
  return SameSecret(device->secret, secret) ? DeviceCheck::kOk : DeviceCheck::kWrongSecret;
}

DeviceCheck DeviceStore::RecordHeartbeat(
    const std::string& number, const std::string& secret,
    const std::optional<std::vector<std::string>>& sharedNetworks) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = FindLocked(number);
  if (device == nullptr) {
    return DeviceCheck::kUnknownDevice;
  }
  if (!SameSecret(device->secret, secret)) {
    return DeviceCheck::kWrongSecret;
  }
  device->lastHeartbeat = UtcNow();
  if (sharedNetworks) {
    device->sharedNetworks = *sharedNetworks;
  }
  try {
    SaveLocked();
  } catch (const std::exception& error) {
    // The edge is alive whether or not we could note it on disk; only the time is lost.
    g_log.Write("WARN", std::string("Heartbeat not saved: ") + error.what());
  }
  return DeviceCheck::kOk;
}

std::optional<Device> DeviceStore::Find(const std::string& number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Device* device = const_cast<DeviceStore*>(this)->FindLocked(number);
  return device == nullptr ? std::nullopt : std::optional<Device>(*device);
}

std::vector<Device> DeviceStore::List() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

Device* DeviceStore::FindLocked(const std::string& number) {
  if (number.empty()) {
    return nullptr;
  }
  const auto found = std::find_if(devices_.begin(), devices_.end(),
                                  [&](const Device& d) { return d.number == number; });
  return found == devices_.end() ? nullptr : &*found;
}

std::string DeviceStore::NextNumberLocked() const {
  unsigned long next = kFirstNumber;
  for (const Device& device : devices_) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(device.number.c_str(), &end, 10);
    if (errno == 0 && *end == '\0' && value >= next) {
      next = value + 1;
    }
  }
  return std::to_string(next);
}

void DeviceStore::SaveLocked() const {
  if (!dataPath_.empty()) {
    WriteFileAtomic(dataPath_, Serialize(devices_), 0600);
  }
}

}  // namespace larkspire
