#include "service/heartbeat.h"

#include <gtest/gtest.h>

#include <optional>

#include "service/registration.h"
#include "support/fake_http_server.h"
#include "util/json.h"
#include "util/metrics.h"
#include "util/run_flag.h"

namespace larkspire {
namespace {

std::string Reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Every outcome ends up in the state and is counted once; the Hub reads the device from the body.
TEST(HeartbeatTest, PostsTheDeviceAndRecordsAndCountsEveryOutcome) {
  const std::string closed = "http://127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort());
  const std::string ok = Reply(200, R"({"success":true,"data":null})");
  const std::string empty = "Device number or secret is empty.";
  // The Hub's reply ("" when nothing listens), number, secret and the state's message.
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {ok, "E 42", "s\"3", "Heartbeat accepted."},
      {Reply(403, R"({"success":false,"message":"Device secret mismatch."})"), "E 42", "s",
       "Heartbeat failed: Device secret mismatch."},
      {ok, "", "s", empty},
      {ok, "E 42", "", empty},
      {"", "E 42", "s", "TCP connect failed to " + closed.substr(7) + ": Connection refused"},
  };
  for (const auto& [reply, number, secret, message] : cases) {
    SCOPED_TRACE(message);
    std::optional<testing::FakeHttpServer> hub;
    if (!reply.empty()) {
      hub.emplace(reply);
    }
    Settings settings;
    settings.serverUrl = hub ? hub->Url() + "/" : closed;
    settings.deviceNumber = number;
    settings.deviceSecret = secret;
    settings.sharedNetworks = {"192.168.50.0/24", "10.1.0.0/16"};
    settings.additionalSharedNetworks = {"10.1.0.0/16"};
    std::vector<std::pair<std::string, bool>> writes;
    const MetricsSnapshot before = TakeMetricsSnapshot();
    SendHeartbeat(settings, [&](const std::string& m, bool a) { writes.emplace_back(m, a); });
    const MetricsSnapshot after = TakeMetricsSnapshot();
    const bool accepted = message == "Heartbeat accepted.";
    EXPECT_EQ(writes, (std::vector<std::pair<std::string, bool>>{{message, accepted}}));
    EXPECT_EQ(after.heartbeatsAccepted - before.heartbeatsAccepted, accepted ? 1u : 0u);
    EXPECT_EQ(after.heartbeatsFailed - before.heartbeatsFailed, accepted ? 0u : 1u);
    const auto requests = hub ? hub->Requests() : std::vector<std::string>{};
    EXPECT_EQ(requests.size(), hub && message != empty ? 1u : 0u);
    if (accepted) {
      const std::string body = requests.at(0).substr(requests.at(0).find("\r\n\r\n") + 4);
      EXPECT_EQ(requests.at(0).rfind("POST /api/devices/E%2042/heartbeat HTTP/1.1\r\n", 0), 0u);
      EXPECT_EQ(JsonStringValue(body, "deviceSecret", ""), "s\"3");
      EXPECT_EQ(JsonStringArrayValue(body, "sharedNetworks"), settings.sharedNetworks);
      EXPECT_GT(after.lastHeartbeatAcceptedTime, 0);
    }
  }
}

// A failed state write is retried once with the error; a second failure is the loop's to log.
TEST(HeartbeatTest, AStateFileThatCannotBeWrittenNeverEndsTheLoop) {
  testing::FakeHttpServer hub(Reply(200, R"({"success":true})"));
  Settings settings;
  settings.serverUrl = hub.Url();
  settings.deviceNumber = settings.deviceSecret = "x";
  std::vector<std::string> attempts;
  int failuresLeft = 1;
  auto flakyWriter = [&](const std::string& message, bool) {
    attempts.push_back(message);
    if (failuresLeft-- > 0) {
      throw std::runtime_error("disk full");
    }
  };
  const uint64_t failedBefore = TakeMetricsSnapshot().heartbeatsFailed;
  SendHeartbeat(settings, flakyWriter);
  EXPECT_EQ(attempts, (std::vector<std::string>{"Heartbeat accepted.", "disk full"}));
  EXPECT_EQ(TakeMetricsSnapshot().heartbeatsFailed, failedBefore);
  int loops = 0;
  RunPeriodically(
      [&] {
        failuresLeft = 2;
        g_running.store(++loops < 3);
        SendHeartbeat(settings, flakyWriter);
      },
      HeartbeatSchedule{2, std::chrono::milliseconds(1)});
  g_running.store(true);
  EXPECT_EQ(loops, 3);
  // The Hub counts a device offline after three missed beats of 30 seconds.
  EXPECT_EQ(HeartbeatSchedule{}.ticks * HeartbeatSchedule{}.tick, std::chrono::seconds(30));
}

// Absent keys and an empty list keep the settings; a refusal shows the message, else the body.
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

  // success, message, data, the result
  const std::tuple<bool, std::string, std::string, std::string> cases[] = {
      {true, "", R"({"deviceNumber":12,"deviceName":"","sharedNetworks":[]})",
       "|s\"1||192.168.50.0/24"},
      {true, "",
       R"({"deviceNumber":"E-7","deviceSecret":"k9","deviceName":"Hub","sharedNetworks":["10.9.0.0/16"]})",
       "E-7|k9|Hub|10.9.0.0/16"},
      {false, "Device secret mismatch.", "", "Register failed: Device secret mismatch."},
      {false, "", R"({"deviceNumber":"E-7"})", "Register failed: <html>502</html>"},
  };
  for (const auto& [success, message, data, expected] : cases) {
    SCOPED_TRACE(data);
    const ApiResponse reply{.success = success,
                            .code = "",
                            .message = message,
                            .data = data,
                            .body = "<html>502</html>"};
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
