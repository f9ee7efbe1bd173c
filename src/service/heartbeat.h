#pragma once

#include <string>

#include "config/settings.h"

namespace larkspire {

// This edge has no remote-desktop component and always reports it absent.
inline constexpr const char* kRustDeskAbsentJson =
    "{\"enabled\":false,\"rustDeskId\":\"\",\"serviceRunning\":false,\"passwordConfigured\":false,"
    "\"message\":\"RustDesk is not included in Linux Edge v1.\"}";

std::string BuildHeartbeatBody(const Settings& settings);
std::string BuildHeartbeatPath(const Settings& settings);

// One heartbeat attempt, reported through the state file and the log. Throws only when the
// state file cannot be written.
void SendHeartbeat(const Settings& settings);

// Calls SendHeartbeat about every 30 seconds until g_running is cleared (noticed within 1 s).
void RunHeartbeatLoop(const Settings& settings);

}  // namespace larkspire
