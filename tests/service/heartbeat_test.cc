#include "service/heartbeat.h"

#include <gtest/gtest.h>

#include <optional>
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
         " X\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
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

TEST(HeartbeatRequestTest, GoesToAnEncodedPath) {
  Settings settings = Device("http://hub");
  const std::pair<std::string, std::string> paths[] = {
      {"E-42_a.b~c", "/api/devices/E-42_a.b~c/heartbeat"},
      {"dev 7/x?y", "/api/devices/dev%207%2Fx%3Fy/heartbeat"},
      {"\xC3\xA4", "/api/devices/%C3%A4/heartbeat"},
  };
  for (const auto& [number, path] : paths) {
    SCOPED_TRACE(number);
    settings.deviceNumber = number;
    EXPECT_EQ(BuildHeartbeatPath(settings), path);
  }
}

// Every outcome ends up in the state, a failure as not accepted and without an exception, and
// each attempt is counted once by its outcome.
TEST(SendHeartbeatTest, PostsToTheHubAndRecordsAndCountsEveryOutcome) {
  const int closedPort = testing::UnusedLoopbackPort();
  const std::string ok = JsonReply(200, R"({"success":true,"data":null})");
  const std::string noIdentity = "Device number or secret is empty.";
  struct Case {
    const char* label;
    std::string reply;  // empty: nothing listens
    std::string number, secret;
    std::string message;  // the start of it where nothing listens
    bool accepted;
  };
  const Case cases[] = {
      {"accepted", ok, "E 42", "s3cret", "Heartbeat accepted.", true},
      {"refused with a message",
       JsonReply(403, R"({"success":false,"message":"Device secret mismatch."})"), "E-42", "s3cret",
       "Heartbeat failed: Device secret mismatch.", false},
      {"an error status without envelope", JsonReply(500, "oops"), "E-42", "s3cret",
       "Heartbeat failed: ", false},
      {"no number", ok, "", "s3cret", noIdentity, false},
      {"no secret", ok, "E-42", "", noIdentity, false},
      {"nothing listens", "", "E-42", "s3cret",
       "TCP connect failed to 127.0.0.1:" + std::to_string(closedPort) + ": ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::optional<FakeHttpServer> hub;
    if (!c.reply.empty()) {
      hub.emplace(c.reply);
    }
    Settings settings =
        Device(hub ? hub->Url() + "/" : "http://127.0.0.1:" + std::to_string(closedPort));
    settings.deviceNumber = c.number;
    settings.deviceSecret = c.secret;
    StateRecord state;
    const MetricsSnapshot before = TakeMetricsSnapshot();
    SendHeartbeat(settings, state.Writer());
    const MetricsSnapshot after = TakeMetricsSnapshot();

    ASSERT_EQ(state.writes.size(), 1u);
    const std::string& message = state.writes[0].first;
    EXPECT_EQ(hub ? message : message.substr(0, c.message.size()), c.message) << message;
    EXPECT_EQ(state.writes[0].second, c.accepted);
    EXPECT_EQ(after.heartbeatsAccepted - before.heartbeatsAccepted, c.accepted ? 1u : 0u);
    EXPECT_EQ(after.heartbeatsFailed - before.heartbeatsFailed, c.accepted ? 0u : 1u);
    const std::vector<std::string> requests = hub ? hub->Requests() : std::vector<std::string>{};
    if (c.number.empty() || c.secret.empty()) {
      EXPECT_TRUE(requests.empty());
    }
    if (c.accepted) {
      ASSERT_EQ(requests.size(), 1u);
      const std::string& request = requests[0];
      EXPECT_EQ(request.rfind("POST /api/devices/E%2042/heartbeat HTTP/1.1\r\n", 0), 0u) << request;
      EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
      const std::string body = BuildHeartbeatBody(settings);
      EXPECT_EQ(request.substr(request.size() - body.size()), body);
    }
  }
  EXPECT_GT(TakeMetricsSnapshot().lastHeartbeatAcceptedTime, 0);
}

// A state file that cannot be written after an accepted reply is retried once with the error
// (still counted as accepted, not also as failed); a second failure leaves to the caller.
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
  const MetricsSnapshot before = TakeMetricsSnapshot();
  SendHeartbeat(Device(hub.Url()), flakyWriter);
  const MetricsSnapshot after = TakeMetricsSnapshot();
  EXPECT_EQ(attempts,
            (std::vector<std::string>{"Heartbeat accepted.",
                                      "Failed to write /var/lib/larkspire/edge.state.json.tmp"}));
  EXPECT_EQ(after.heartbeatsAccepted - before.heartbeatsAccepted, 1u);
  EXPECT_EQ(after.heartbeatsFailed, before.heartbeatsFailed);

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

TEST_F(HeartbeatLoopTest, AFailingAttemptNeverEndsTheLoopAndAStopSkipsTheNext) {
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

  attempts = 0;
  RunPeriodically([&] { ++attempts; }, HeartbeatSchedule{30, std::chrono::milliseconds(1)});
  EXPECT_EQ(attempts, 0) << "a stop during the wait";
}

}  // namespace
}  // namespace larkspire
