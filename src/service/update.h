#pragma once

#include <string>

namespace larkspire {

inline constexpr const char* kEdgeVersion = "1.0.1";

// Negative, zero or positive as version text a is older than, equal to or newer than b.
int CompareVersionText(const std::string& a, const std::string& b);

// Asks the Hub once for a forced update and installs it; clears g_running after a
// successful install. Every error is logged as "Update check exception: ..." and swallowed.
void RunUpdateCheck(const std::string& configPath);

}  // namespace larkspire
