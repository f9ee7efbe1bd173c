#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "util/metrics.h"

namespace larkspire {

// The interfaces whose gateway state is checked.
struct GatewayTarget {
  std::string tunName;
  std::vector<std::string> uplinks;
};

// The configurator publishes what it applied, so that the web server thread and the rule
// watcher check exactly those names. Any thread; a lock guards the record.
void PublishAppliedGateway(const GatewayTarget& target);
void WithdrawAppliedGateway();
// True and the target while a configuration is applied in this process.
bool AppliedGateway(GatewayTarget& target);

// One line of the health report. `kind` says what was checked: "ipForward", "rpFilter",
// "tunUp", "tunAddress", "tunRoute", "rule", "webSocket", "udp" or "heartbeat"; `subject`
// names the interface or rule where the kind alone does not; `value` is what was found.
// A check that is not `required` (the optional UDP channel) does not make the gateway
// unhealthy when it fails.
struct HealthCheck {
  std::string kind;
  std::string subject;
  std::string value;
  bool ok = false;
  bool required = true;
};

struct GatewayHealth {
  bool applied = false;
  GatewayTarget target;
  std::vector<HealthCheck> checks;
  MetricsSnapshot relay;
  int64_t checkedAt = 0;

  bool Healthy() const;
};

// A heartbeat older than this many seconds counts as missing (three intervals).
inline constexpr int64_t kHeartbeatStaleSeconds = 95;

// Reads the kernel state for `target` and judges it together with the relay counters.
// Read-only: sysctls and interface state come from /proc and /sys, the rules from quiet
// iptables checks through the command seam. Never throws; an unreadable value is reported
// as "unknown" and not ok.
GatewayHealth CheckGatewayHealth(const GatewayTarget& target, bool applied,
                                 const MetricsSnapshot& relay, int64_t now);
// The applied gateway, or before (or without) the service the TUN name larkspire0 and the
// detected hardware interfaces as uplinks.
GatewayHealth CheckCurrentGatewayHealth();

// Compact JSON: {"healthy":..,"applied":..,"checkedAt":..,"tunName":..,"uplinks":[..],
// "checks":[{"kind","subject","value","ok","required"}..],"relay":{counters}}.
std::string RenderGatewayHealthJson(const GatewayHealth& health);

// Logs one WARN line when one of the applied gateway's iptables rules disappears (and one
// INFO line when it is back), however often it is checked meanwhile. Start runs the check
// every `interval` seconds on a thread of its own until Stop, the destructor or a cleared
// g_running; CheckNow is the same single check for the caller's thread.
class GatewayRuleWatcher {
 public:
  explicit GatewayRuleWatcher(int intervalSeconds = 30) : intervalSeconds_(intervalSeconds) {}
  GatewayRuleWatcher(const GatewayRuleWatcher&) = delete;
  GatewayRuleWatcher& operator=(const GatewayRuleWatcher&) = delete;
  ~GatewayRuleWatcher() { Stop(); }

  void Start();
  void Stop();
  void CheckNow();

 private:
  void Loop();

  int intervalSeconds_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::mutex checkMutex_;          // one check at a time
  std::set<std::string> missing_;  // rules found missing; guarded by checkMutex_
  std::thread thread_;
};

}  // namespace larkspire
