#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace larkspire {

// Keeps the applied gateway's iptables rules in place against other tools (a firewall
// reload, an operator's flush): a rule found missing is added back, with one WARN line
// "Gateway rule restored: ..." and one count in the metrics per restoration. A rule that
// cannot be added back is reported once per disappearance, however often it is checked.
// Start runs the check every kIntervalSeconds on a thread of its own until Stop, the
// destructor or a cleared g_running; CheckNow is the same single check for the caller's
// thread. Any thread; one check runs at a time.
class GatewayRuleWatcher {
 public:
  // Fixed: a shorter interval would cost a few iptables runs per rule for nothing, and a
  // firewall reload that drops the rules is rare enough that half a minute of repair is fine.
  static constexpr int kIntervalSeconds = 30;

  GatewayRuleWatcher() = default;
  GatewayRuleWatcher(const GatewayRuleWatcher&) = delete;
  GatewayRuleWatcher& operator=(const GatewayRuleWatcher&) = delete;
  ~GatewayRuleWatcher() { Stop(); }

  void Start();
  void Stop();
  void CheckNow();

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::mutex checkMutex_;          // one check at a time
  std::set<std::string> missing_;  // rules that could not be restored; guarded by checkMutex_
  std::thread thread_;
};

}  // namespace larkspire
