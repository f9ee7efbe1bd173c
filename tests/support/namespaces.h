#pragma once

#include <functional>
#include <string>

namespace larkspire::testing_support {

// Runs `body` in a forked child with its own network namespace and a private mount namespace
// (fresh /sys for that network namespace, a private tmpfs on /tmp). The child may change
// interfaces, routes, sysctls, iptables and mounts freely: all of it vanishes with the child and
// the host never sees it. Returns what `body` returned. Throws std::runtime_error when not
// root, when the namespaces cannot be made, or with the message of an exception that `body`
// threw. Call it from a test's own thread; `body` must not start threads that outlive it.
std::string RunInFreshNamespaces(const std::function<std::string()>& body);

// For use inside `body`: runs a shell command line and throws with it when it fails.
void RunOrThrow(const std::string& command);
// For use inside `body`: standard output of a shell command line; throws when it fails.
std::string CaptureOutput(const std::string& command);
// For use inside `body`: lays a device/ entry over the interface's sysfs folder, so that the
// interface counts as hardware. Other sysfs files of the interface stay live.
void MarkAsHardware(const std::string& interfaceName);

}  // namespace larkspire::testing_support
