#include "service/registration.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace larkspire {
namespace {

TEST(RegisterBodyTest, IsCompactJsonInTheAgreedKeyOrder) {
  Settings settings;
  settings.deviceNumber = "";
  settings.deviceSecret = "s\"1";
  settings.deviceName = "Lab Edge";
  settings.sharedNetworks = {"192.168.50.0/24", "10.1.0.0/16"};
  EXPECT_EQ(BuildRegisterBody(settings),
            "{\"deviceNumber\":\"\",\"deviceSecret\":\"s\\\"1\",\"deviceName\":\"Lab Edge\","
            "\"sharedNetworks\":[\"192.168.50.0/24\",\"10.1.0.0/16\"],"
            "\"rustDesk\":{\"enabled\":false,\"rustDeskId\":\"\",\"serviceRunning\":false,"
            "\"passwordConfigured\":false,"
            "\"message\":\"RustDesk is not included in Linux Edge v1.\"},"
            "\"rustDeskAccessPassword\":\"\"}");
}

Settings Registered() {
  Settings settings;
  settings.deviceNumber = "old-number";
  settings.deviceSecret = "old-secret";
  settings.deviceName = "Old Name";
  settings.sharedNetworks = {"192.168.50.0/24"};
  return settings;
}

ApiResponse Accepted(const std::string& data) {
  ApiResponse reply;
  reply.status = 200;
  reply.success = true;
  reply.data = data;
  reply.body = "{\"success\":true,\"data\":" + data + "}";
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
       "E-7", "k9", "Hub Name", {"10.9.0.0/16"}},
      {"absent keys keep the current values", "{}", "old-number", "old-secret", "Old Name",
       local},
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
    ApplyRegisterReply(Accepted(c.data), settings);
    EXPECT_EQ(settings.deviceNumber, c.number);
    EXPECT_EQ(settings.deviceSecret, c.secret);
    EXPECT_EQ(settings.deviceName, c.name);
    EXPECT_EQ(settings.sharedNetworks, c.networks);
  }
}

TEST(RegisterReplyTest, RefusalCarriesTheHubMessageOrTheRawBody) {
  struct Case {
    std::string message, body, expected;
  };
  const Case cases[] = {
      {"Device secret mismatch.", R"({"success":false,"message":"Device secret mismatch."})",
       "Register failed: Device secret mismatch."},
      {"", "<html>502 Bad Gateway</html>", "Register failed: <html>502 Bad Gateway</html>"},
      {"", "", "Register failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    ApiResponse reply;
    reply.status = 502;
    reply.success = false;
    reply.message = c.message;
    reply.body = c.body;
    reply.data = R"({"deviceNumber":"must-not-be-taken"})";
    Settings settings = Registered();
    try {
      ApplyRegisterReply(reply, settings);
      FAIL() << "a refused registration must throw";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), c.expected);
    }
    EXPECT_EQ(settings.deviceNumber, "old-number");
  }
}

}  // namespace
}  // namespace larkspire
