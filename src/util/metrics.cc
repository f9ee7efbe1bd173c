#include "util/metrics.h"

#include "util/clock.h"

namespace larkspire {
namespace {

uint64_t Load(const std::atomic<uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

MetricsSnapshot::Channel LoadChannel(const ChannelCounters& channel) {
  return {Load(channel.packetsToHub), Load(channel.bytesToHub), Load(channel.packetsFromHub),
          Load(channel.bytesFromHub), channel.up.load(std::memory_order_relaxed)};
}

// Builds one metric family: HELP and TYPE once, then one sample per call of Add.
class Family {
 public:
  Family(std::string& out, const std::string& name, const std::string& type,
         const std::string& help)
      : out_(out), name_(name) {
    out_ += "# HELP " + name + " " + help + "\n";
    out_ += "# TYPE " + name + " " + type + "\n";
  }
  Family& Add(const std::string& labels, const std::string& value) {
    out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    return *this;
  }
  template <typename Number>
  Family& Add(const std::string& labels, Number value) {
    return Add(labels, std::to_string(value));
  }

 private:
  std::string& out_;
  std::string name_;
};

std::string ChannelLabels(const char* channel, const char* direction) {
  return std::string("channel=\"") + channel + "\",direction=\"" + direction + "\"";
}

}  // namespace

EdgeMetrics g_metrics;

EdgeMetrics::EdgeMetrics() : processStartTime(UnixSeconds()) {}

MetricsSnapshot TakeMetricsSnapshot(const EdgeMetrics& metrics) {
  MetricsSnapshot snapshot;
  snapshot.webSocket = LoadChannel(metrics.webSocket);
  snapshot.udp = LoadChannel(metrics.udp);
  snapshot.relayConnectionsMade = Load(metrics.relayConnectionsMade);
  snapshot.relayConnectionsLost = Load(metrics.relayConnectionsLost);
  snapshot.udpProbesAccepted = Load(metrics.udpProbesAccepted);
  snapshot.udpProbesTimedOut = Load(metrics.udpProbesTimedOut);
  snapshot.heartbeatsAccepted = Load(metrics.heartbeatsAccepted);
  snapshot.heartbeatsFailed = Load(metrics.heartbeatsFailed);
  snapshot.lastHeartbeatAcceptedTime =
      metrics.lastHeartbeatAcceptedTime.load(std::memory_order_relaxed);
  snapshot.tunDroppedPackets = Load(metrics.tunDroppedPackets);
  snapshot.hubPacketsRefused = {Load(metrics.hubPacketsRefused.notIpv4),
                                Load(metrics.hubPacketsRefused.sourceOutsideOverlay),
                                Load(metrics.hubPacketsRefused.destinationNotShared)};
  snapshot.gatewayRulesRestored = Load(metrics.gatewayRulesRestored);
  snapshot.processStartTime = metrics.processStartTime;
  return snapshot;
}

std::string RenderPrometheusText(const MetricsSnapshot& s) {
  std::string out;
  const struct {
    const char* name;
    const MetricsSnapshot::Channel& counters;
  } channels[] = {{"websocket", s.webSocket}, {"udp", s.udp}};

  Family packets(out, "larkspire_edge_relay_packets_total", "counter",
                 "IP packets carried by the relay, per channel and direction.");
  for (const auto& channel : channels) {
    packets.Add(ChannelLabels(channel.name, "to_hub"), channel.counters.packetsToHub)
        .Add(ChannelLabels(channel.name, "from_hub"), channel.counters.packetsFromHub);
  }
  Family bytes(out, "larkspire_edge_relay_bytes_total", "counter",
               "IP packet bytes carried by the relay, per channel and direction.");
  for (const auto& channel : channels) {
    bytes.Add(ChannelLabels(channel.name, "to_hub"), channel.counters.bytesToHub)
        .Add(ChannelLabels(channel.name, "from_hub"), channel.counters.bytesFromHub);
  }
  Family up(out, "larkspire_edge_relay_channel_up", "gauge",
            "1 while the relay channel is connected to the Hub.");
  for (const auto& channel : channels) {
    up.Add(std::string("channel=\"") + channel.name + "\"", channel.counters.up ? 1 : 0);
  }
  Family(out, "larkspire_edge_relay_connections_made_total", "counter",
         "Relay connections whose WebSocket handshake succeeded.")
      .Add("", s.relayConnectionsMade);
  Family(out, "larkspire_edge_relay_connections_lost_total", "counter",
         "Relay connections that ended while the service kept running.")
      .Add("", s.relayConnectionsLost);
  Family(out, "larkspire_edge_udp_probes_total", "counter", "UDP channel probes, by outcome.")
      .Add("result=\"accepted\"", s.udpProbesAccepted)
      .Add("result=\"timed_out\"", s.udpProbesTimedOut);
  Family(out, "larkspire_edge_heartbeats_total", "counter", "Heartbeat attempts, by outcome.")
      .Add("result=\"accepted\"", s.heartbeatsAccepted)
      .Add("result=\"failed\"", s.heartbeatsFailed);
  Family(out, "larkspire_edge_last_heartbeat_accepted_timestamp_seconds", "gauge",
         "Time of the last accepted heartbeat in seconds since the epoch; 0 before the first.")
      .Add("", s.lastHeartbeatAcceptedTime);
  Family(out, "larkspire_edge_tun_dropped_packets_total", "counter",
         "Packets from the Hub that the TUN device did not take.")
      .Add("", s.tunDroppedPackets);
  Family(out, "larkspire_edge_hub_packets_dropped_total", "counter",
         "Packets from the Hub dropped before the TUN device, by reason.")
      .Add("reason=\"not_ipv4\"", s.hubPacketsRefused.notIpv4)
      .Add("reason=\"source_outside_overlay\"", s.hubPacketsRefused.sourceOutsideOverlay)
      .Add("reason=\"destination_not_shared\"", s.hubPacketsRefused.destinationNotShared);
  Family(out, "larkspire_edge_gateway_rules_restored_total", "counter",
         "Gateway firewall rules that another tool removed and the agent added back.")
      .Add("", s.gatewayRulesRestored);
  Family(out, "process_start_time_seconds", "gauge",
         "Start time of the process in seconds since the epoch.")
      .Add("", s.processStartTime);
  return out;
}

std::string RenderMetricsJson(const MetricsSnapshot& s) {
  auto channel = [](const MetricsSnapshot::Channel& c) {
    return std::string("{\"up\":") + (c.up ? "true" : "false") +
           ",\"packetsToHub\":" + std::to_string(c.packetsToHub) +
           ",\"bytesToHub\":" + std::to_string(c.bytesToHub) +
           ",\"packetsFromHub\":" + std::to_string(c.packetsFromHub) +
           ",\"bytesFromHub\":" + std::to_string(c.bytesFromHub) + "}";
  };
  return "{\"webSocket\":" + channel(s.webSocket) + ",\"udp\":" + channel(s.udp) +
         ",\"relayConnectionsMade\":" + std::to_string(s.relayConnectionsMade) +
         ",\"relayConnectionsLost\":" + std::to_string(s.relayConnectionsLost) +
         ",\"udpProbesAccepted\":" + std::to_string(s.udpProbesAccepted) +
         ",\"udpProbesTimedOut\":" + std::to_string(s.udpProbesTimedOut) +
         ",\"heartbeatsAccepted\":" + std::to_string(s.heartbeatsAccepted) +
         ",\"heartbeatsFailed\":" + std::to_string(s.heartbeatsFailed) +
         ",\"lastHeartbeatAcceptedTime\":" + std::to_string(s.lastHeartbeatAcceptedTime) +
         ",\"tunDroppedPackets\":" + std::to_string(s.tunDroppedPackets) +
         ",\"processStartTime\":" + std::to_string(s.processStartTime) + "}";
}

}  // namespace larkspire
