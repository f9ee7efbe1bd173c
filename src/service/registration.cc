#include "service/registration.h"

#include <stdexcept>
#include <vector>

#include "service/heartbeat.h"
#include "util/json.h"

namespace larkspire {

std::string BuildRegisterBody(const Settings& settings) {
  return "{\"deviceNumber\":" + JsonString(settings.deviceNumber) +
         ",\"deviceSecret\":" + JsonString(settings.deviceSecret) +
         ",\"deviceName\":" + JsonString(settings.deviceName) +
         ",\"sharedNetworks\":" + JsonArray(settings.sharedNetworks) +
         ",\"rustDesk\":" + kRustDeskAbsentJson + ",\"rustDeskAccessPassword\":\"\"}";
}

void ApplyRegisterReply(const ApiResponse& reply, Settings& settings) {
  if (!reply.success) {
    throw std::runtime_error("Register failed: " +
                             (reply.message.empty() ? reply.body : reply.message));
  }
  const std::string& data = reply.data;
  settings.deviceNumber = JsonStringValue(data, "deviceNumber", settings.deviceNumber);
  settings.deviceSecret = JsonStringValue(data, "deviceSecret", settings.deviceSecret);
  settings.deviceName = JsonStringValue(data, "deviceName", settings.deviceName);
  std::vector<std::string> hubNetworks = JsonStringArrayValue(data, "sharedNetworks");
  if (!hubNetworks.empty()) {
    settings.sharedNetworks = std::move(hubNetworks);
  }
}

}  // namespace larkspire
