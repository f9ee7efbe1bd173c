#include "support/namespaces.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "util/fd.h"
#include "util/file.h"

namespace larkspire::testing_support {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void Mount(const char* source, const char* target, const char* type, unsigned long flags,
           const std::string& options = "") {
  if (::mount(source, target, type, flags, options.empty() ? nullptr : options.c_str()) != 0) {
    ThrowErrno(std::string("mount ") + type + " on " + target);
  }
}

}  // namespace

std::string RunInFreshNamespaces(const std::function<std::string()>& body) {
  if (::geteuid() != 0) {
    throw std::runtime_error("this test needs root for network and mount namespaces");
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    ThrowErrno("pipe2");
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    ThrowErrno("fork");
  }
  if (child == 0) {
    // The child's answer goes to the pipe prefixed with "ok\n" or "error\n".
    std::string report;
    try {
      if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        ThrowErrno("unshare");
      }
      // Nothing mounted from here on may propagate back to the host; a sysfs mounted now shows
      // this network namespace's interfaces, the inherited one the host's.
      Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
      ::umount2("/sys", MNT_DETACH);
      Mount("sysfs", "/sys", "sysfs", 0);
      Mount("scratch", "/tmp", "tmpfs", 0, "mode=0700");
      report = "ok\n" + body();
    } catch (const std::exception& error) {
      report = std::string("error\n") + error.what();
    }
    WriteAll(writeEnd.get(), report);
    std::fflush(nullptr);
    ::_exit(0);
  }
  writeEnd.Reset();
  // The pipe ends when the child has exited.
  const std::string report = ReadFile("/proc/self/fd/" + std::to_string(readEnd.get()));
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("namespace child died with wait status " + std::to_string(status));
  }
  if (report.starts_with("ok\n")) {
    return report.substr(3);
  }
  throw std::runtime_error("in the namespace child: " + report);
}

std::string CaptureOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ThrowErrno("popen " + command);
  }
  std::string output;
  char buffer[4096];
  while (const size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) {
    output.append(buffer, got);
  }
  if (const int status = ::pclose(pipe); status != 0) {
    throw std::runtime_error("status " + std::to_string(status) + " from: " + command);
  }
  return output;
}

void RunOrThrow(const std::string& command) {
  CaptureOutput(command);
}

void MarkAsHardware(const std::string& interfaceName) {
  const std::string extra = "/tmp/hw-" + interfaceName;
  std::filesystem::create_directories(extra + "/device");
  // A read-only overlay of the extra folder on the live sysfs folder (the link resolved).
  const std::string folder = "/sys/class/net/" + interfaceName;
  Mount("hardware", folder.c_str(), "overlay", 0, "lowerdir=" + extra + ":" + folder);
}

}  // namespace larkspire::testing_support
