#include "util/metrics.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

namespace larkspire {
namespace {

// "name{labels}" -> value; a malformed, repeated or untyped line, or a bad counter name, fails.
std::map<std::string, double> Scrape(const std::string& text) {
  static const std::regex kType(R"(# TYPE ([a-z_]+) (counter|gauge))");
  static const std::regex kSample(R"(([a-z_]+)(\{([a-z_]+="[^"\\]*",?)*\})? (-?[0-9.e+]+))");
  std::map<std::string, double> samples;
  std::set<std::string> typed;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    EXPECT_TRUE(line.starts_with("# HELP ") ||
                (std::regex_match(line, m, kType) && typed.insert(m[1]).second &&
                 (m[2] == "gauge" || m[1].str().ends_with("_total"))) ||
                (std::regex_match(line, m, kSample) && typed.contains(m[1]) &&
                 samples.emplace(m[1].str() + m[2].str(), std::stod(m[4])).second))
        << line;
  }
  return samples;
}

TEST(MetricsTest, EachCounterHasItsOwnWellFormedSample) {
  // Field by field: each channel's four counters and whether it is up, then the others in order.
  MetricsSnapshot s{1,  2,  3,  4,  true,       5,  6,  7,  8,  false, 9,         10,
                    11, 12, 13, 14, 1700000000, 15, 16, 17, 18, 19,    1690000000};
  const std::string edge = "larkspire_edge_";
  std::map<std::string, double> expected;
  for (const char* channel : {"websocket", "udp"}) {
    for (const char* direction : {"to_hub", "from_hub"}) {
      for (const char* kind : {"packets", "bytes"}) {
        expected[edge + "relay_" + kind + "_total{channel=\"" + channel + "\",direction=\"" +
                 direction + "\"}"] = static_cast<double>(expected.size() + 1);
      }
    }
  }
  const std::pair<std::string, double> others[] = {
      {"relay_channel_up{channel=\"websocket\"}", 1},
      {"relay_channel_up{channel=\"udp\"}", 0},
      {"relay_connections_made_total", 9},
      {"relay_connections_lost_total", 10},
      {"udp_probes_total{result=\"accepted\"}", 11},
      {"udp_probes_total{result=\"timed_out\"}", 12},
      {"heartbeats_total{result=\"accepted\"}", 13},
      {"heartbeats_total{result=\"failed\"}", 14},
      {"last_heartbeat_accepted_timestamp_seconds", 1700000000},
      {"tun_dropped_packets_total", 15},
      {"hub_packets_dropped_total{reason=\"not_ipv4\"}", 16},
      {"hub_packets_dropped_total{reason=\"source_outside_overlay\"}", 17},
      {"hub_packets_dropped_total{reason=\"destination_not_shared\"}", 18},
      {"gateway_rules_restored_total", 19},
  };
  for (const auto& [name, value] : others) {
    expected[edge + name] = value;
  }
  expected["process_start_time_seconds"] = 1690000000;
  EXPECT_EQ(Scrape(RenderPrometheusText(s)), expected);
  s.webSocket.bytesToHub = 18446744073709551615ull;
  EXPECT_NE(RenderPrometheusText(s).find("\"to_hub\"} 18446744073709551615\n"), std::string::npos);
}

}  // namespace
}  // namespace larkspire
