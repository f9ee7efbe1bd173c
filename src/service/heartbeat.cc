#include "service/heartbeat.h"

#include <exception>
#include <thread>

#include "config/state_file.h"
#include "hub/http_client.h"
#include "util/json.h"
#include "util/logger.h"
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
    writeState("Device number or secret is empty.", false);
    g_log.Write("WARN", "Heartbeat skipped: deviceNumber/deviceSecret is empty.");
    return;
  }
  try {
    HttpClient client(settings.serverUrl);
    ApiResponse reply =
        client.Send("POST", BuildHeartbeatPath(settings), BuildHeartbeatBody(settings));
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
