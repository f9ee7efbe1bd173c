#pragma once

#include <cstddef>
#include <string>

#include "util/defaults.h"

namespace larkspire {

// Where the executable is assumed to live when /proc/self/exe cannot be read.
inline constexpr const char* kDefaultExecutablePath = "/opt/larkspire/edge/larkspire-edge";

// Prefix of the private directory (mkdtemp, mode 0700) that holds one update attempt: the
// downloaded package and its unpacked tree. It is removed when the attempt ends.
inline constexpr const char* kUpdateDirectoryPrefix = "/tmp/larkspire-edge-update.";

// The public keys (PEM, one or more "*.pem" files) that an update package must be signed by.
inline constexpr const char* kUpdateKeyDirectory = "/etc/larkspire/update-keys";

// A package beyond this size is refused while it downloads: the executable it carries is a
// few megabytes, and the download must not fill the disk.
inline constexpr size_t kMaxUpdatePackageBytes = 64 * 1024 * 1024;

// Negative, zero or positive as version text a is older than, equal to or newer than b.
int CompareVersionText(const std::string& a, const std::string& b);

// The shell script that installs the first regular file named larkspire-edge below
// `extractDir` over `exePath` and then restarts the service in the background. The new file
// (from a package whose signature was already verified) must answer --help with status 0
// before anything is replaced; any failing step before the restart ends the script with a
// non-zero status.
std::string BuildInstallScript(const std::string& extractDir, const std::string& exePath);

// Asks the Hub once for a forced update and installs it when it is signed by a key of
// `keyDirectory`; clears g_running after a successful install. Every error is logged as
// "Update check exception: ..." and swallowed.
void RunUpdateCheck(const std::string& configPath,
                    const std::string& keyDirectory = kUpdateKeyDirectory);

}  // namespace larkspire
