#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "config/settings.h"

namespace larkspire {

// This edge has no remote-desktop component and always reports it absent.
inline constexpr const char* kRustDeskAbsentJson =
    "{\"enabled\":false,\"rustDeskId\":\"\",\"serviceRunning\":false,\"passwordConfigured\":false,"
    "\"message\":\"RustDesk is not included in Linux Edge v1.\"}";

std::string BuildHeartbeatBody(const Settings& settings);
std::string BuildHeartbeatPath(const Settings& settings);

// Where the outcome of an attempt goes: the state file in the product, a recorder in tests.
using HeartbeatStateWriter = std::function<void(const std::string& message, bool accepted)>;

// One heartbeat attempt, reported through the state file and the log. Throws only when the
// state file cannot be written.
void SendHeartbeat(const Settings& settings);
void SendHeartbeat(const Settings& settings, const HeartbeatStateWriter& writeState);

// The wait between attempts, in ticks at which g_running is checked.
struct HeartbeatSchedule {
  int ticks = 30;
  std::chrono::milliseconds tick{1000};
};

// Calls SendHeartbeat about every 30 seconds until g_running is cleared (noticed within 1 s).
void RunHeartbeatLoop(const Settings& settings);

// The loop itself: waits `schedule`, then runs `attempt`, until g_running is cleared. An
// attempt that throws is logged at WARN and the loop goes on, so a full disk never takes the
// heartbeat thread (and with it the process) down.
void RunPeriodically(const std::function<void()>& attempt, const HeartbeatSchedule& schedule);

}  // namespace larkspire
