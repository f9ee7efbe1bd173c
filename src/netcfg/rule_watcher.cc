#include "netcfg/rule_watcher.h"

#include <chrono>

#include "netcfg/gateway_rules.h"
#include "util/command.h"
#include "util/logger.h"
#include "util/metrics.h"
#include "util/run_flag.h"

namespace larkspire {

void GatewayRuleWatcher::CheckNow() {
  GatewayTarget target;
  std::lock_guard<std::mutex> lock(checkMutex_);
  if (!AppliedGateway(target)) {
    missing_.clear();
    return;
  }
  for (const GatewayRule& rule : BuildGatewayRules(target)) {
    if (GatewayRulePresent(rule)) {
      missing_.erase(rule.shown);
    } else if (RunCommandQuiet(rule.AddCommand()) == 0) {
      missing_.erase(rule.shown);
      CountUp(g_metrics.gatewayRulesRestored);
      g_log.Write("WARN", "Gateway rule restored: iptables " + rule.shown +
                              ". Another tool had removed it.");
    } else if (missing_.insert(rule.shown).second) {
      g_log.Write("WARN", "Gateway rule missing: iptables " + rule.shown +
                              ". Adding it back failed; trying again every " +
                              std::to_string(kIntervalSeconds) + " s.");
    }
  }
}

void GatewayRuleWatcher::Start() {
  Stop();
  stopping_ = false;
  thread_ = std::thread([this] { Loop(); });
}

void GatewayRuleWatcher::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void GatewayRuleWatcher::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_ && g_running.load()) {
    // Woken every second as well, so a cleared g_running is noticed promptly.
    for (int waited = 0; waited < kIntervalSeconds && !stopping_ && g_running.load(); ++waited) {
      wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
    }
    if (stopping_ || !g_running.load()) {
      break;
    }
    lock.unlock();
    CheckNow();
    lock.lock();
  }
}

}  // namespace larkspire
