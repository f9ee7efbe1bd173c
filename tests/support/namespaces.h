#pragma once

#include <functional>
#include <string>

namespace larkspire::testing_support {

// Runs `body` in a forked child with its own network and mount namespaces (fresh /sys, a tmpfs
// on /tmp): what it changes vanishes with the child. Returns what `body` returned; throws when
// not root or with the message `body` threw. `body` must not start threads that outlive it.
std::string RunInFreshNamespaces(const std::function<std::string()>& body);

// For use inside `body`: a shell command line's standard output; throws when it fails.
std::string CaptureOutput(const std::string& command);
void RunOrThrow(const std::string& command);
// For use inside `body`: a device/ entry over the interface's sysfs folder makes it hardware.
void MarkAsHardware(const std::string& interfaceName);

}  // namespace larkspire::testing_support
