#include "service/heartbeat.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "support/fake_http_server.h"
#include "util/metrics.h"
#include "util/run_flag.h"

namespace larkspire {
namespace {

using testing::FakeHttpServer;

std::string JsonReply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

struct StateRecord {
  std::vector<std::pair<std::string, bool>> writes;
  HeartbeatStateWriter Writer() {
    return [this](const std::string& message, bool accepted) {
      writes.emplace_back(message, accepted);
    };
  }
};

Settings Device(const std::string& serverUrl) {
  Settings settings;
  settings.serverUrl = serverUrl;
  settings.deviceNumber = "E-42";
  settings.deviceSecret = "s3cret";
  settings.sharedNetworks = {"192.168.50.0/24", "10.1.0.0/16"};
  return settings;
}

TEST(HeartbeatRequestTest, BodyCarriesSecretAndNetworksOnly) {
  Settings settings = Device("http://hub");
  settings.deviceName = "not sent";
  settings.networkInterfaceName = "eth0";
  EXPECT_EQ(BuildHeartbeatBody(settings),
            "{\"deviceSecret\":\"s3cret\",\"sharedNetworks\":[\"192.168.50.0/24\","
            "\"10.1.0.0/16\"],\"rustDesk\":{\"enabled\":false,\"rustDeskId\":\"\","
            "\"serviceRunning\":false,\"passwordConfigured\":false,"
            "\"message\":\"RustDesk is not included in Linux Edge v1.\"},"
            "\"rustDeskAccessPassword\":\"\"}");
}

TEST(HeartbeatRequestTest, PathPercentEncodesTheDeviceNumber) {
  const std::pair<std::string, std::string> cases[] = {
      {"E-42_a.b~c", "/api/devices/E-42_a.b~c/heartbeat"},
      {"dev 7/x?y", "/api/devices/dev%207%2Fx%3Fy/heartbeat"},
      {"\xC3\xA4", "/api/devices/%C3%A4/heartbeat"},
  };
  for (const auto& [number, path] : cases) {
    SCOPED_TRACE(number);
    Settings settings;
    settings.deviceNumber = number;
    EXPECT_EQ(BuildHeartbeatPath(settings), path);
  }
}

TEST(SendHeartbeatTest, PostsToTheHubAndRecordsAnAcceptedReply) {
  FakeHttpServer hub(JsonReply(200, R"({"success":true,"data":null})"));
  Settings settings = Device(hub.Url() + "/");
  settings.deviceNumber = "E 42";
  StateRecord state;
  SendHeartbeat(settings, state.Writer());

  ASSERT_EQ(state.writes.size(), 1u);
  EXPECT_EQ(state.writes[0], std::make_pair(std::string("Heartbeat accepted."), true));
  std::vector<std::string> requests = hub.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& request = requests[0];
  EXPECT_EQ(request.rfind("POST /api/devices/E%2042/heartbeat HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
  std::string body = BuildHeartbeatBody(settings);
  EXPECT_EQ(request.substr(request.size() - body.size()), body);
}

TEST(SendHeartbeatTest, ReportsEveryFailureWithoutThrowing) {
  struct Case {
    const char* label;
    std::string reply;
    std::string message;
  };
  const Case cases[] = {
      {"refused with a message",
       JsonReply(403, R"({"success":false,"message":"Device secret mismatch."})"),
       "Heartbeat failed: Device secret mismatch."},
      {"an error status without envelope", JsonReply(500, "oops"),
       "Heartbeat failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeHttpServer hub(c.reply);
    StateRecord state;
    SendHeartbeat(Device(hub.Url()), state.Writer());
    ASSERT_EQ(state.writes.size(), 1u);
    EXPECT_EQ(state.writes[0].first, c.message);
    EXPECT_FALSE(state.writes[0].second);
  }
}

// One count per attempt, by the Hub's verdict: a state file that cannot be written after an
// accepted reply does not also count the attempt as failed.
TEST(SendHeartbeatTest, CountsEachAttemptOnceByOutcome) {
  FakeHttpServer accepting(JsonReply(200, R"({"success":true})"));
  FakeHttpServer refusing(JsonReply(401, R"({"success":false,"message":"bad secret"})"));
  StateRecord state;
  Settings anonymous = Device(accepting.Url());
  anonymous.deviceSecret.clear();
  auto brokenDisk = [](const std::string&, bool accepted) {
    if (accepted) {
      throw std::runtime_error("disk full");
    }
  };
  const MetricsSnapshot before = TakeMetricsSnapshot();
  SendHeartbeat(Device(accepting.Url()), state.Writer());
  SendHeartbeat(Device(refusing.Url()), state.Writer());
  SendHeartbeat(anonymous, state.Writer());
  SendHeartbeat(Device(accepting.Url()), brokenDisk);
  const MetricsSnapshot after = TakeMetricsSnapshot();
  EXPECT_EQ(after.heartbeatsAccepted - before.heartbeatsAccepted, 2u);
  EXPECT_EQ(after.heartbeatsFailed - before.heartbeatsFailed, 2u);
  EXPECT_GT(after.lastHeartbeatAcceptedTime, 0);
}

TEST(SendHeartbeatTest, AnUnreachableHubLeavesTheBareErrorInTheState) {
  int port = testing::UnusedLoopbackPort();
  std::string url = "http://127.0.0.1:" + std::to_string(port);
  StateRecord state;
  SendHeartbeat(Device(url), state.Writer());
  ASSERT_EQ(state.writes.size(), 1u);
  std::string expectedStart = "TCP connect failed to 127.0.0.1:" + std::to_string(port) + ": ";
  EXPECT_EQ(state.writes[0].first.rfind(expectedStart, 0), 0u) << state.writes[0].first;
  EXPECT_FALSE(state.writes[0].second);
}

TEST(SendHeartbeatTest, AnEmptyIdentitySendsNothing) {
  for (bool emptyNumber : {true, false}) {
    SCOPED_TRACE(emptyNumber ? "empty number" : "empty secret");
    FakeHttpServer hub(JsonReply(200, R"({"success":true})"));
    Settings settings = Device(hub.Url());
    (emptyNumber ? settings.deviceNumber : settings.deviceSecret).clear();
    StateRecord state;
    SendHeartbeat(settings, state.Writer());
    ASSERT_EQ(state.writes.size(), 1u);
    EXPECT_EQ(state.writes[0],
              std::make_pair(std::string("Device number or secret is empty."), false));
    EXPECT_TRUE(hub.Requests().empty());
  }
}

TEST(SendHeartbeatTest, AStateFileThatCannotBeWrittenIsRetriedOnceThenThrown) {
  FakeHttpServer hub(JsonReply(200, R"({"success":true})"));
  std::vector<std::string> attempts;
  int failuresLeft = 1;
  auto flakyWriter = [&](const std::string& message, bool) {
    attempts.push_back(message);
    if (failuresLeft-- > 0) {
      throw std::runtime_error("Failed to write /var/lib/larkspire/edge.state.json.tmp");
    }
  };
  SendHeartbeat(Device(hub.Url()), flakyWriter);
  EXPECT_EQ(attempts, (std::vector<std::string>{
                          "Heartbeat accepted.",
                          "Failed to write /var/lib/larkspire/edge.state.json.tmp"}));

  failuresLeft = 2;
  attempts.clear();
  EXPECT_THROW(SendHeartbeat(Device(hub.Url()), flakyWriter), std::runtime_error);
  EXPECT_EQ(attempts.size(), 2u);
}

// The loop tests clear the process-wide run flag; this puts it back for the next test.
class HeartbeatLoopTest : public ::testing::Test {
 protected:
  void TearDown() override { g_running.store(true); }
};

TEST_F(HeartbeatLoopTest, AFailingAttemptNeverEndsTheLoop) {
  int attempts = 0;
  RunPeriodically(
      [&] {
        if (++attempts == 3) {
          g_running.store(false);
        }
        throw std::runtime_error("Failed to write state");
      },
      HeartbeatSchedule{1, std::chrono::milliseconds(1)});
  EXPECT_EQ(attempts, 3);
}

TEST_F(HeartbeatLoopTest, AStopDuringTheWaitSkipsTheAttempt) {
  int attempts = 0;
  g_running.store(false);
  RunPeriodically([&] { ++attempts; }, HeartbeatSchedule{30, std::chrono::milliseconds(1)});
  EXPECT_EQ(attempts, 0);
}

}  // namespace
}  // namespace larkspire
