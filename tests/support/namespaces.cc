#include "support/namespaces.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void ThrowUnlessZero(int status, const std::string& command) {
  if (status != 0) {
    throw std::runtime_error("command failed with status " + std::to_string(status) + ": " +
                             command);
  }
}

// The child's whole life: its answer goes to `out` prefixed with "ok\n" or "error\n".
[[noreturn]] void RunChild(int out, const std::function<std::string()>& body) {
  std::string report;
  try {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
      ThrowErrno("unshare");
    }
    // Nothing mounted from here on may propagate back to the host.
    Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
    // The inherited /sys shows the host's interfaces; a sysfs mounted now shows ours.
    ::umount2("/sys", MNT_DETACH);
    Mount("sysfs", "/sys", "sysfs", 0);
    Mount("scratch", "/tmp", "tmpfs", 0, "mode=0700");
    report = "ok\n" + body();
  } catch (const std::exception& error) {
    report = std::string("error\n") + error.what();
  }
  WriteAll(out, report);
  std::fflush(nullptr);
  ::_exit(0);
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
    readEnd.Reset();
    RunChild(writeEnd.get(), body);
  }
  writeEnd.Reset();
  // Read to the end of the pipe, which comes when the child has exited.
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
  throw std::runtime_error(report.starts_with("error\n")
                               ? "in the namespace child: " + report.substr(6)
                               : "namespace child gave no answer");
}

void RunOrThrow(const std::string& command) {
  ThrowUnlessZero(std::system(command.c_str()), command);
}

std::string CaptureOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ThrowErrno("popen " + command);
  }
  std::string output;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    output.append(buffer, got);
  }
  ThrowUnlessZero(::pclose(pipe), command);
  return output;
}

void MarkAsHardware(const std::string& interfaceName) {
  char folder[PATH_MAX];
  if (::realpath(("/sys/class/net/" + interfaceName).c_str(), folder) == nullptr) {
    ThrowErrno("realpath /sys/class/net/" + interfaceName);
  }
  const std::string extra = "/tmp/hw-" + interfaceName;
  if (::mkdir(extra.c_str(), 0755) != 0 || ::mkdir((extra + "/device").c_str(), 0755) != 0) {
    ThrowErrno("mkdir " + extra + "/device");
  }
  // A read-only overlay: the extra folder on top of the live sysfs folder.
  Mount("hardware", folder, "overlay", 0, "lowerdir=" + extra + ":" + folder);
}

}  // namespace larkspire::testing_support
