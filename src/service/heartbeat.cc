#include "service/heartbeat.h"

#include <chrono>
#include <exception>
#include <thread>

#include "config/state_file.h"
#include "service/hub_client.h"
#include "util/clock.h"
#include "util/json.h"
#include "util/logger.h"
#include "util/metrics.h"
#include "util/run_flag.h"
#include "util/text.h"

namespace larkspire {
namespace {

// Sleeps up to the whole schedule; false when a stop was requested meanwhile.
bool WaitForNextAttempt(const HeartbeatSchedule& schedule) {
  for (int i = 0; i < schedule.ticks; ++i) {
    if (!g_running.load()) {
      return false;
    }
    std::this_thread::sleep_for(schedule.tick);
  }
  return g_running.load();
}

// Counted once per attempt, by what the Hub made of it; a skipped attempt counts as failed.
void CountHeartbeat(bool accepted) {
  if (accepted) {
    CountUp(g_metrics.heartbeatsAccepted);
    g_metrics.lastHeartbeatAcceptedTime.store(UnixSeconds(), std::memory_order_relaxed);
  } else {
    CountUp(g_metrics.heartbeatsFailed);
  }
}

}  // namespace

std::string BuildHeartbeatBody(const Settings& settings) {
  return "{\"deviceSecret\":" + JsonString(settings.deviceSecret) +
         ",\"sharedNetworks\":" + JsonArray(settings.sharedNetworks) +
         ",\"rustDesk\":" + kRustDeskAbsentJson + ",\"rustDeskAccessPassword\":\"\"}";
}

std::string BuildHeartbeatPath(const Settings& settings) {
  return "/api/devices/" + UrlEncode(settings.deviceNumber) + "/heartbeat";
}

void SendHeartbeat(const Settings& settings, const HeartbeatStateWriter& writeState) {
  if (settings.deviceNumber.empty() || settings.deviceSecret.empty()) {
    CountHeartbeat(false);
    writeState("Device number or secret is empty.", false);
    g_log.Write("WARN", "Heartbeat skipped: deviceNumber/deviceSecret is empty.");
    return;
  }
  bool counted = false;
  try {
    HttpClient client = HubClientFor(settings);
    ApiResponse reply =
        client.Send("POST", BuildHeartbeatPath(settings), BuildHeartbeatBody(settings));
    CountHeartbeat(reply.success);
    counted = true;
    if (reply.success) {
      writeState("Heartbeat accepted.", true);
      g_log.Write("INFO", "Heartbeat accepted.");
    } else {
      std::string text = "Heartbeat failed: " + reply.message;
      writeState(text, false);
      g_log.Write("WARN", text);
    }
  } catch (const std::exception& error) {
    // A failed state write lands here too; the second write below then reports the first
    // failure, and if it fails as well, that error leaves to the caller.
    if (!counted) {
      CountHeartbeat(false);
    }
    writeState(error.what(), false);
    g_log.Write("WARN", std::string("Heartbeat failed: ") + error.what());
  }
}

void SendHeartbeat(const Settings& settings) { SendHeartbeat(settings, SaveState); }

void RunPeriodically(const std::function<void()>& attempt, const HeartbeatSchedule& schedule) {
  while (WaitForNextAttempt(schedule)) {
    try {
      attempt();
    } catch (const std::exception& error) {
      g_log.Write("WARN", std::string("Heartbeat state could not be recorded: ") + error.what());
    }
  }
}

void RunHeartbeatLoop(const Settings& settings) {
  RunPeriodically([&settings] { SendHeartbeat(settings); }, HeartbeatSchedule{});
}

}  // namespace larkspire
