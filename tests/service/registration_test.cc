#include "service/registration.h"

#include <gtest/gtest.h>

#include "util/json.h"

namespace larkspire {
namespace {

// The body carries the device even without a number; present keys of the Hub's assignment
// replace the settings (a non-string blanks one), absent ones and an empty network list keep
// them; a refusal shows the Hub's message, or the raw body, and keeps every setting.
TEST(RegistrationTest, TheBodyTheAssignmentAndARefusal) {
  Settings local;
  local.deviceSecret = "s\"1";
  local.deviceName = "Old Name";
  local.sharedNetworks = {"192.168.50.0/24"};
  const std::string body = BuildRegisterBody(local);
  EXPECT_EQ(JsonFindRaw(body, "deviceNumber"), "\"\"");
  EXPECT_EQ(JsonStringValue(body, "deviceSecret", "") + JsonStringValue(body, "deviceName", ""),
            "s\"1Old Name");
  EXPECT_EQ(JsonStringArrayValue(body, "sharedNetworks"), local.sharedNetworks);

  const std::tuple<bool, std::string, std::string, std::string> cases[] = {
      // success, message,
      {true, "", "", "|s\"1|Old Name|192.168.50.0/24"},  // data, the result
      {true, "", R"({"deviceNumber":12,"deviceName":"","sharedNetworks":[]})",
       "|s\"1||192.168.50.0/24"},
      {true, "",
       R"({"deviceNumber":"E-7","deviceSecret":"k9","deviceName":"Hub","sharedNetworks":["10.9.0.0/16"]})",
       "E-7|k9|Hub|10.9.0.0/16"},
      {false, "Device secret mismatch.", R"({"deviceNumber":"E-7"})",
       "Register failed: Device secret mismatch."},
      {false, "", R"({"deviceNumber":"E-7"})", "Register failed: <html>502</html>"},
  };
  for (const auto& [success, message, data, expected] : cases) {
    SCOPED_TRACE(data);
    ApiResponse reply;
    reply.success = success;
    reply.message = message;
    reply.body = "<html>502</html>";
    reply.data = data;
    Settings settings = local;
    try {
      ApplyRegisterReply(reply, settings);
      EXPECT_EQ(settings.deviceNumber + "|" + settings.deviceSecret + "|" + settings.deviceName +
                    "|" + settings.sharedNetworks.at(0),
                expected);
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), expected);
      EXPECT_EQ(settings.deviceNumber, "");
    }
  }
}

}  // namespace
}  // namespace larkspire
