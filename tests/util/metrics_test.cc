#include "util/metrics.h"

#include <gtest/gtest.h>

#include "support/prometheus_text.h"

namespace larkspire {
namespace {

using testing::ParsePrometheusText;

MetricsSnapshot Distinct() {
  MetricsSnapshot s;
  s.webSocket = {1, 2, 3, 4, true};
  s.udp = {5, 6, 7, 8, false};
  s.relayConnectionsMade = 9;
  s.relayConnectionsLost = 10;
  s.udpProbesAccepted = 11;
  s.udpProbesTimedOut = 12;
  s.heartbeatsAccepted = 13;
  s.heartbeatsFailed = 14;
  s.lastHeartbeatAcceptedTime = 1700000000;
  s.tunDroppedPackets = 15;
  s.hubPacketsRefused = {16, 17, 18};
  s.gatewayRulesRestored = 19;
  s.processStartTime = 1690000000;
  return s;
}

// Every number lands in its own sample, so a value put under the wrong name shows.
TEST(PrometheusTextTest, EachCounterHasItsOwnWellFormedSample) {
  const auto samples = ParsePrometheusText(RenderPrometheusText(Distinct()));
  const std::map<std::string, double> expected = {
      {"larkspire_edge_relay_packets_total{channel=\"websocket\",direction=\"to_hub\"}", 1},
      {"larkspire_edge_relay_bytes_total{channel=\"websocket\",direction=\"to_hub\"}", 2},
      {"larkspire_edge_relay_packets_total{channel=\"websocket\",direction=\"from_hub\"}", 3},
      {"larkspire_edge_relay_bytes_total{channel=\"websocket\",direction=\"from_hub\"}", 4},
      {"larkspire_edge_relay_packets_total{channel=\"udp\",direction=\"to_hub\"}", 5},
      {"larkspire_edge_relay_bytes_total{channel=\"udp\",direction=\"to_hub\"}", 6},
      {"larkspire_edge_relay_packets_total{channel=\"udp\",direction=\"from_hub\"}", 7},
      {"larkspire_edge_relay_bytes_total{channel=\"udp\",direction=\"from_hub\"}", 8},
      {"larkspire_edge_relay_channel_up{channel=\"websocket\"}", 1},
      {"larkspire_edge_relay_channel_up{channel=\"udp\"}", 0},
      {"larkspire_edge_relay_connections_made_total", 9},
      {"larkspire_edge_relay_connections_lost_total", 10},
      {"larkspire_edge_udp_probes_total{result=\"accepted\"}", 11},
      {"larkspire_edge_udp_probes_total{result=\"timed_out\"}", 12},
      {"larkspire_edge_heartbeats_total{result=\"accepted\"}", 13},
      {"larkspire_edge_heartbeats_total{result=\"failed\"}", 14},
      {"larkspire_edge_last_heartbeat_accepted_timestamp_seconds", 1700000000},
      {"larkspire_edge_tun_dropped_packets_total", 15},
      {"larkspire_edge_hub_packets_dropped_total{reason=\"not_ipv4\"}", 16},
      {"larkspire_edge_hub_packets_dropped_total{reason=\"source_outside_overlay\"}", 17},
      {"larkspire_edge_hub_packets_dropped_total{reason=\"destination_not_shared\"}", 18},
      {"larkspire_edge_gateway_rules_restored_total", 19},
      {"process_start_time_seconds", 1690000000},
  };
  EXPECT_EQ(samples, expected);

  MetricsSnapshot large;  // stays an exact integer, not 1.8e+19
  large.webSocket.bytesToHub = 18446744073709551615ull;
  EXPECT_NE(RenderPrometheusText(large).find("\"to_hub\"} 18446744073709551615\n"),
            std::string::npos);
}

}  // namespace
}  // namespace larkspire
