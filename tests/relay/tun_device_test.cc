#include "relay/tun_device.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace larkspire {
namespace {

// Runs `scenario` in a forked child inside a fresh network namespace, so interfaces it
// creates never touch the host. The child reports a failure as text through a pipe.
std::string InFreshNetworkNamespace(std::string (*scenario)()) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) {
    return "pipe failed";
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    std::string failure;
    if (::unshare(CLONE_NEWNET) != 0) {
      failure = "cannot create a network namespace (run the TUN tests as root)";
    } else {
      failure = scenario();
    }
    if (!failure.empty()) {
      [[maybe_unused]] ssize_t ignored = ::write(pipeFds[1], failure.data(), failure.size());
    }
    ::_exit(failure.empty() ? 0 : 1);
  }
  ::close(pipeFds[1]);
  std::string report;
  char chunk[256];
  ssize_t n;
  while ((n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0) {
    report.append(chunk, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (report.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    report = "child ended abnormally";
  }
  return report;
}

std::string OpenSecondOpenAndClose() {
  TunDevice first;
  first.Open("larkspire0");
  if (first.name() != "larkspire0" || first.fd() < 0) {
    return "unexpected name or descriptor: " + first.name();
  }
  if (::if_nametoindex("larkspire0") == 0) {
    return "interface missing after Open";
  }
  TunDevice second;
  try {
    second.Open("larkspire0");
    return "second Open of the same name succeeded";
  } catch (const std::runtime_error& error) {
    if (std::string(error.what()).rfind("TUNSETIFF failed: ", 0) != 0) {
      return std::string("wrong error: ") + error.what();
    }
  }
  if (second.fd() != -1) {
    return "failed Open kept its descriptor";
  }
  first.Close();
  first.Close();  // harmless when already closed
  if (first.fd() != -1 || ::if_nametoindex("larkspire0") != 0) {
    return "interface survived Close";
  }
  return "";
}

TEST(TunDeviceTest, OpensOneInterfaceRefusesItsTwinAndRemovesItOnClose) {
  EXPECT_EQ(InFreshNetworkNamespace(OpenSecondOpenAndClose), "");
}

}  // namespace
}  // namespace larkspire
