#pragma once

#include <cstdint>
#include <string>

namespace larkspire {

inline constexpr const char* kStateFilePath = "/var/lib/larkspire/edge.state.json";

// The state file text for one heartbeat outcome at `unixTime`.
std::string FormatState(const std::string& message, bool accepted, int64_t unixTime);

// Rewrites kStateFilePath (mode 0644) with the outcome of the last heartbeat attempt.
// Throws the errors of WriteFileAtomic.
void SaveState(const std::string& message, bool accepted);
// Same, at another path (tests).
void SaveStateTo(const std::string& path, const std::string& message, bool accepted);

}  // namespace larkspire
