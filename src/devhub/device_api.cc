#include "devhub/device_api.h"

#include "devhub/json_object.h"
#include "util/json.h"

namespace larkspire {
namespace {

constexpr size_t kMaxTextBytes = 256;
constexpr size_t kMaxNetworks = 256;

const char kHeartbeatPrefix[] = "/api/devices/";
const char kHeartbeatSuffix[] = "/heartbeat";

HttpResponse BadRequest(const std::string& message) {
  return ErrorEnvelope(400, "BAD_REQUEST", message);
}

// Reads an optional string member; false (with `error` set) when present but not a short string.
bool ReadText(const std::map<std::string, std::string>& members, const char* key, std::string& out,
              std::string& error) {
  const auto found = members.find(key);
  if (found == members.end() || found->second == "null") {
    return true;
  }
  const auto text = JsonRawToString(found->second);
  if (!text || text->size() > kMaxTextBytes) {
    error = std::string("\"") + key + "\" must be a string of at most 256 bytes.";
    return false;
  }
  out = *text;
  return true;
}

// Reads an optional list of network texts; false when present but not a string array.
bool ReadNetworks(const std::map<std::string, std::string>& members,
                  std::optional<std::vector<std::string>>& out, std::string& error) {
  const auto found = members.find("sharedNetworks");
  if (found == members.end() || found->second == "null") {
    return true;
  }
  out = JsonRawToStringList(found->second);
  bool fits = out && out->size() <= kMaxNetworks;
  for (size_t i = 0; fits && i < out->size(); ++i) {
    fits = (*out)[i].size() <= kMaxTextBytes;
  }
  if (!fits) {
    error = "\"sharedNetworks\" must be an array of at most 256 strings.";
    return false;
  }
  return true;
}

HttpResponse CheckFailure(DeviceCheck check, const std::string& number) {
  if (check == DeviceCheck::kUnknownDevice) {
    return ErrorEnvelope(404, "UNKNOWN_DEVICE", "Unknown device number: " + number);
  }
  return ErrorEnvelope(403, "WRONG_SECRET", "Device secret does not match.");
}

}  // namespace

HttpResponse HandleRegister(DeviceStore& store, const HttpRequest& request) {
  const auto members = ParseJsonObject(request.body);
  if (!members) {
    return BadRequest("The request body must be a JSON object.");
  }
  Registration registration;
  std::optional<std::vector<std::string>> networks;
  std::string error;
  if (!ReadText(*members, "deviceNumber", registration.number, error) ||
      !ReadText(*members, "deviceSecret", registration.secret, error) ||
      !ReadText(*members, "deviceName", registration.name, error) ||
      !ReadNetworks(*members, networks, error)) {
    return BadRequest(error);
  }
  registration.sharedNetworks = networks.value_or(std::vector<std::string>{});
  const Device device = store.Register(registration);
  return OkEnvelope("Device registered.",
                    "{\"deviceNumber\":" + JsonString(device.number) + ",\"deviceSecret\":" +
                        JsonString(device.secret) + ",\"deviceName\":" + JsonString(device.name) +
                        ",\"sharedNetworks\":" + JsonArray(device.sharedNetworks) + "}");
}

HttpResponse HandleHeartbeat(DeviceStore& store, const HttpRequest& request) {
  const std::string& path = request.path;
  const size_t prefix = sizeof(kHeartbeatPrefix) - 1;
  const size_t suffix = sizeof(kHeartbeatSuffix) - 1;
  if (!path.starts_with(kHeartbeatPrefix) || !path.ends_with(kHeartbeatSuffix) ||
      path.size() <= prefix + suffix) {
    return ErrorEnvelope(404, "NOT_FOUND", "No such endpoint: " + path);
  }
  const std::string encoded = path.substr(prefix, path.size() - prefix - suffix);
  const auto number = PercentDecode(encoded);
  if (!number || encoded.find('/') != std::string::npos) {
    return BadRequest("Malformed device number in the path.");
  }
  const auto members = ParseJsonObject(request.body);
  if (!members) {
    return BadRequest("The request body must be a JSON object.");
  }
  std::string secret;
  std::optional<std::vector<std::string>> networks;
  std::string error;
  if (!ReadText(*members, "deviceSecret", secret, error) ||
      !ReadNetworks(*members, networks, error)) {
    return BadRequest(error);
  }
  const DeviceCheck check = store.RecordHeartbeat(*number, secret, networks);
  if (check != DeviceCheck::kOk) {
    return CheckFailure(check, *number);
  }
  return OkEnvelope("Heartbeat accepted.");
}

HttpResponse HandleListDevices(const DeviceStore& store, const HttpRequest&,
                               const DeviceListingExtra& extra) {
  std::string items;
  for (const Device& device : store.List()) {
    if (!items.empty()) {
      items += ",";
    }
    items += DeviceSummaryJson(device, extra ? extra(device.number) : std::string());
  }
  return OkEnvelope("", "[" + items + "]");
}

void AddDeviceRoutes(DevHubServer& server, DeviceStore& store, DeviceListingExtra extra) {
  server.Route("POST", "/api/devices/register", [&store](const HttpRequest& request, Connection&) {
    return HandleRegister(store, request);
  });
  server.Route("POST", "/api/devices/*", [&store](const HttpRequest& request, Connection&) {
    return HandleHeartbeat(store, request);
  });
  server.Route("GET", "/api/devices", [&store, extra](const HttpRequest& request, Connection&) {
    return HandleListDevices(store, request, extra);
  });
}

}  // namespace larkspire
