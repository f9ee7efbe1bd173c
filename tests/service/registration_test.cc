#include "service/registration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "service/heartbeat.h"
#include "util/json.h"

namespace larkspire {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

// What the Hub reads from the two bodies; the heartbeat carries no name.
TEST(HubRequestBodyTest, RegistrationAndHeartbeatCarryTheDevice) {
  Settings settings;
  settings.deviceNumber = "";
  settings.deviceSecret = "s\"1";
  settings.deviceName = "Lab Edge";
  settings.sharedNetworks = {"192.168.50.0/24", "10.1.0.0/16"};
  for (const std::string& body : {BuildRegisterBody(settings), BuildHeartbeatBody(settings)}) {
    SCOPED_TRACE(body);
    EXPECT_EQ(JsonStringValue(body, "deviceSecret", "?"), "s\"1");
    EXPECT_EQ(JsonStringArrayValue(body, "sharedNetworks"), settings.sharedNetworks);
    EXPECT_EQ(JsonFindRaw(body, "rustDesk"), kRustDeskAbsentJson);
    EXPECT_EQ(JsonFindRaw(body, "rustDeskAccessPassword"), "\"\"");
  }
  EXPECT_EQ(JsonFindRaw(BuildRegisterBody(settings), "deviceNumber"), "\"\"");
  EXPECT_EQ(JsonStringValue(BuildRegisterBody(settings), "deviceName", ""), "Lab Edge");
  EXPECT_EQ(JsonFindRaw(BuildHeartbeatBody(settings), "deviceName"), "");
}

Settings Registered() {
  Settings settings;
  settings.deviceNumber = "old-number";
  settings.deviceSecret = "old-secret";
  settings.deviceName = "Old Name";
  settings.sharedNetworks = {"192.168.50.0/24"};
  return settings;
}

ApiResponse Reply(bool success, const std::string& message, const std::string& body,
                  const std::string& data) {
  ApiResponse reply;
  reply.status = success ? 200 : 502;
  reply.success = success;
  reply.message = message;
  reply.body = body;
  reply.data = data;
  return reply;
}

TEST(RegisterReplyTest, TakesTheAssignmentKeyByKey) {
  struct Case {
    const char* label;
    std::string data;
    std::string number, secret, name;
    std::vector<std::string> networks;
  };
  const std::vector<std::string> local = {"192.168.50.0/24"};
  const Case cases[] = {
      {"full assignment",
       R"({"deviceNumber":"E-7","deviceSecret":"k9","deviceName":"Hub Name",)"
       R"("sharedNetworks":["10.9.0.0/16"]})",
       "E-7",
       "k9",
       "Hub Name",
       {"10.9.0.0/16"}},
      {"absent keys keep the current values", "{}", "old-number", "old-secret", "Old Name", local},
      {"no data at all", "", "old-number", "old-secret", "Old Name", local},
      {"present empty strings blank the settings",
       R"({"deviceNumber":"","deviceSecret":"","deviceName":""})", "", "", "", local},
      {"a non-string value blanks the setting", R"({"deviceNumber":12})", "", "old-secret",
       "Old Name", local},
      {"an empty network list keeps the local one", R"({"sharedNetworks":[]})", "old-number",
       "old-secret", "Old Name", local},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Settings settings = Registered();
    ApplyRegisterReply(Reply(true, "", "{\"success\":true,\"data\":" + c.data + "}", c.data),
                       settings);
    EXPECT_EQ(settings.deviceNumber, c.number);
    EXPECT_EQ(settings.deviceSecret, c.secret);
    EXPECT_EQ(settings.deviceName, c.name);
    EXPECT_EQ(settings.sharedNetworks, c.networks);
  }
}

// A refused registration keeps every setting, even where the reply carries data.
TEST(RegisterReplyTest, RefusalCarriesTheHubMessageOrTheRawBody) {
  const std::string data = R"({"deviceNumber":"must-not-be-taken"})";
  const std::string mismatch = R"({"success":false,"message":"Device secret mismatch."})";
  const std::pair<ApiResponse, std::string> cases[] = {
      {Reply(false, "Device secret mismatch.", mismatch, data),
       "Register failed: Device secret mismatch."},
      {Reply(false, "", "<html>502 Bad Gateway</html>", data),
       "Register failed: <html>502 Bad Gateway</html>"},
      {Reply(false, "", "", data), "Register failed: "},
  };
  for (const auto& [reply, expected] : cases) {
    SCOPED_TRACE(expected);
    Settings settings = Registered();
    EXPECT_THAT([&] { ApplyRegisterReply(reply, settings); },
                ThrowsMessage<std::runtime_error>(StrEq(expected)));
    EXPECT_EQ(settings.deviceNumber, "old-number");
  }
}

}  // namespace
}  // namespace larkspire
