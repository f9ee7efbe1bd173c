// The health and metrics endpoints over real loopback sockets.

#include <gtest/gtest.h>

#include "support/prometheus_text.h"
#include "util/json.h"
#include "util/metrics.h"
#include "web/raw_http.h"

namespace larkspire {
namespace {

using namespace webtest;

class OpsEndpointsTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override {
    StartServer();
    server->checkGatewayHealth = [] {
      GatewayHealth health;
      health.applied = true;
      health.target = {"larkspire0", {"eth0"}};
      health.checks = {{"ipForward", "", "0", false}};
      return health;
    };
  }
};

TEST_F(OpsEndpointsTest, HealthNeedsLoginAndReportsTheChecks) {
  EXPECT_EQ(Status(Get("/api/health")), 401);
  const Reply reply = SplitReply(Send(Get("/api/health", Login())));
  ASSERT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
  EXPECT_TRUE(JsonBoolValue(reply.body, "success", false));
  const std::string data = JsonFindRaw(reply.body, "data");
  EXPECT_FALSE(JsonBoolValue(data, "healthy", true));
  EXPECT_EQ(JsonStringValue(JsonFindRaw(data, "checks"), "value", ""), "0");
  EXPECT_NE(JsonFindRaw(data, "relay"), "");
}

// A scraper has no cookie; the reply is the exposition format and follows the counters.
TEST_F(OpsEndpointsTest, MetricsAreOpenAndFollowTheCounters) {
  const auto scrape = [this] {
    const Reply reply = SplitReply(Send(Get("/metrics")));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
    EXPECT_NE(reply.headers.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos);
    return testing::ParsePrometheusText(reply.body);
  };
  const std::string sample = "larkspire_edge_heartbeats_total{result=\"failed\"}";
  const double before = scrape().at(sample);
  CountUp(g_metrics.heartbeatsFailed, 3);
  EXPECT_EQ(scrape().at(sample), before + 3);
  EXPECT_EQ(Status(Post("/metrics", "")), 401);
}

}  // namespace
}  // namespace larkspire
